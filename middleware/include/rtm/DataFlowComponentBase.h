// The base of data-flow components: an RT component driven by a periodic execution context.
#ifndef RTM_DATAFLOWCOMPONENTBASE_H
#define RTM_DATAFLOWCOMPONENTBASE_H

#include <rtm/RTObject.h>

namespace RTC {

class DataFlowComponentBase : public RTObject_impl {
public:
    explicit DataFlowComponentBase(Manager* manager);
    ~DataFlowComponentBase() override;
    void init();
};

}  // namespace RTC

#endif
