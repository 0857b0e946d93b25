// An execution context: drives the components attached to it through their lifecycle.
#ifndef RTM_EXECUTIONCONTEXTBASE_H
#define RTM_EXECUTIONCONTEXTBASE_H

#include <rtm/RTC.h>

namespace RTC {

class RTObject_impl;

// Callable from any thread; the components' callbacks run on the context's own thread.
class ExecutionContextBase {
public:
    ExecutionContextBase() = default;
    virtual ~ExecutionContextBase();
    ExecutionContextBase(const ExecutionContextBase&) = delete;
    ExecutionContextBase& operator=(const ExecutionContextBase&) = delete;

    virtual bool is_running() = 0;
    virtual ReturnCode_t start() = 0;
    virtual ReturnCode_t stop() = 0;
    // Execution rate in Hz.
    virtual double get_rate() = 0;
    virtual ReturnCode_t set_rate(double rate) = 0;
    virtual ReturnCode_t add_component(RTObject_impl* comp) = 0;
    virtual ReturnCode_t remove_component(RTObject_impl* comp) = 0;
    virtual ReturnCode_t activate_component(RTObject_impl* comp) = 0;
    virtual ReturnCode_t deactivate_component(RTObject_impl* comp) = 0;
    virtual ReturnCode_t reset_component(RTObject_impl* comp) = 0;
    virtual LifeCycleState get_component_state(RTObject_impl* comp) = 0;
    virtual ExecutionKind get_kind() = 0;
    // The component that created the context, or null.
    virtual RTObject_impl* getOwner() const = 0;
    virtual void setOwner(RTObject_impl* owner) = 0;
};

}  // namespace RTC

#endif
