#include <rtm/DataFlowComponentBase.h>

namespace RTC {

DataFlowComponentBase::DataFlowComponentBase(Manager* manager) : RTObject_impl(manager) {}

DataFlowComponentBase::~DataFlowComponentBase() = default;

void DataFlowComponentBase::init() {}

}  // namespace RTC
