// Common declarations of the middleware: the ORB and the generated types of its interfaces.
#ifndef RTM_RTC_H
#define RTM_RTC_H

#include <omniORB4/CORBA.h>
#include <rtm/idl/BasicDataTypeSkel.h>
#include <rtm/idl/DataPortSkel.h>
#include <rtm/idl/OpenRTMSkel.h>
#include <rtm/idl/RTCSkel.h>
#include <rtm/idl/SDOPackageSkel.h>

namespace RTC {
// Execution context handle as the component callbacks receive it.
typedef ExecutionContextHandle_t UniqueId;
}  // namespace RTC

#endif
