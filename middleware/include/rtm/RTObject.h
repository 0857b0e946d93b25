// The component base: lifecycle, callbacks and ports of one RT component.
#ifndef RTM_RTOBJECT_H
#define RTM_RTOBJECT_H

#include <coil/Properties.h>
#include <rtm/ConfigAdmin.h>
#include <rtm/RTC.h>
#include <rtm/SdoServiceAdmin.h>

#include <mutex>
#include <string>
#include <vector>

namespace RTC {

class Manager;
class PortBase;
class InPortBase;
class OutPortBase;
class ExecutionContextBase;

// Owned by the manager, which creates and disposes of it through the factory pair. The callbacks
// run on the thread of the execution context that drives the component (onInitialize and
// onFinalize on the thread that initialises or finalises it).
class RTObject_impl {
public:
    explicit RTObject_impl(Manager* manager);
    virtual ~RTObject_impl();
    RTObject_impl(const RTObject_impl&) = delete;
    RTObject_impl& operator=(const RTObject_impl&) = delete;

    // Component callbacks; the base versions do nothing and return RTC_OK.
    virtual ReturnCode_t onInitialize();
    virtual ReturnCode_t onFinalize();
    virtual ReturnCode_t onStartup(RTC::UniqueId exec_handle);
    virtual ReturnCode_t onShutdown(RTC::UniqueId exec_handle);
    virtual ReturnCode_t onActivated(RTC::UniqueId exec_handle);
    virtual ReturnCode_t onDeactivated(RTC::UniqueId exec_handle);
    virtual ReturnCode_t onExecute(RTC::UniqueId exec_handle);
    virtual ReturnCode_t onAborting(RTC::UniqueId exec_handle);
    virtual ReturnCode_t onError(RTC::UniqueId exec_handle);
    virtual ReturnCode_t onReset(RTC::UniqueId exec_handle);
    virtual ReturnCode_t onStateUpdate(RTC::UniqueId exec_handle);
    virtual ReturnCode_t onRateChanged(RTC::UniqueId exec_handle);

    // The component actions: each calls its callback, and turns an exception thrown from it into
    // RTC_ERROR so that nothing a component throws escapes into the middleware. When the callback
    // succeeds, the observers are told of the change in state ("ACTIVE:<handle>", "INACTIVE:",
    // "ERROR:", "FINALIZE:0") or in the context ("STARTUP:<handle>", "SHUTDOWN:",
    // "RATE_CHANGED:").
    ReturnCode_t on_initialize();
    ReturnCode_t on_finalize();
    ReturnCode_t on_startup(UniqueId exec_handle);
    ReturnCode_t on_shutdown(UniqueId exec_handle);
    ReturnCode_t on_activated(UniqueId exec_handle);
    ReturnCode_t on_deactivated(UniqueId exec_handle);
    ReturnCode_t on_aborting(UniqueId exec_handle);
    ReturnCode_t on_error(UniqueId exec_handle);
    ReturnCode_t on_reset(UniqueId exec_handle);
    ReturnCode_t on_execute(UniqueId exec_handle);
    ReturnCode_t on_state_update(UniqueId exec_handle);
    ReturnCode_t on_rate_changed(UniqueId exec_handle);

    // Lifecycle. initialize() runs onInitialize and, when it succeeds, activates the
    // configuration set named by "configuration.active_config" (else "default"), then creates and
    // starts the component's own execution context (handle 0): the component is then inactive
    // in it.
    // exit() deactivates the component, stops its context and finalises it.
    ReturnCode_t initialize();
    ReturnCode_t finalize();
    ReturnCode_t exit();
    bool is_alive(ExecutionContextBase* exec_context);
    bool isInitialized() const;

    // Registers a port under `name`; the port keeps the component as its owner. False when a port
    // of that name exists already. The observers are told "ADD:<port name>", and on removal
    // "REMOVE:<port name>".
    bool addInPort(const char* name, InPortBase& inport);
    bool addOutPort(const char* name, OutPortBase& outport);
    bool removeInPort(InPortBase& port);
    bool removeOutPort(OutPortBase& port);
    // Ports in registration order; they stay owned by the component class.
    std::vector<PortBase*> getPorts() const;
    // The ports' references, as the component's CORBA object lists them: a new list the caller
    // deletes; empty while the component has no CORBA object.
    PortServiceList* get_ports();
    PortBase* findPort(const std::string& name) const;

    const char* getInstanceName() const;
    void setInstanceName(const char* instance_name);
    const char* getTypeName() const;
    const char* getDescription() const;
    const char* getVersion() const;
    const char* getVendor() const;
    const char* getCategory() const;
    coil::Properties& getProperties();
    // Merges `prop` into the component's properties.
    void setProperties(const coil::Properties& prop);
    // The configuration sets, kept in the "conf" branch of the properties.
    ConfigAdmin& getConfigService() { return m_configsets; }
    // The observers tools gave the component; they are told of its changes.
    SdoServiceAdmin& getSdoServiceAdmin() { return m_sdoservice; }

    // The context behind `ec_id` (an exec_handle passed to a callback), as get_context returns
    // it: a new reference the caller releases, nil for an unknown handle or while the component
    // has no CORBA object (before it is registered, after it is unregistered, or with
    // "manager.corba_servant" NO). Unlike OpenRTM-aist's, whose object exists from construction,
    // this one is nil in onInitialize and may be in onStartup: ask in onActivated or later.
    ExecutionContext_ptr getExecutionContext(RTC::UniqueId ec_id);
    // The same context as the middleware's own object (the stand-in's internals and tests): owned
    // ones have handles from 0, those the component only takes part in from 1000. Null for an
    // unknown handle.
    ExecutionContextBase* getContextObject(RTC::UniqueId ec_id) const;
    std::vector<ExecutionContextBase*> getOwnedContexts() const;
    // The handle of `ec` for this component, or -1.
    UniqueId getContextHandle(const ExecutionContextBase* ec) const;
    // Takes part in a context owned by someone else; returns its handle.
    UniqueId attachContext(ExecutionContextBase* ec);
    ReturnCode_t detachContext(UniqueId ec_id);
    // This component's state in its own (first) execution context.
    LifeCycleState getState() const;

    Manager* getManager() const { return m_pManager; }

protected:
    Manager* m_pManager;
    coil::Properties m_properties;
    ConfigAdmin m_configsets;
    SdoServiceAdmin m_sdoservice;

private:
    // Tells the observers "<what><h>" under `kind` when `result` is RTC_OK; returns `result`.
    ReturnCode_t told(OpenRTM::StatusKind kind, const char* what, UniqueId h, ReturnCode_t result);
    bool addPort(const char* name, PortBase& port);
    bool removePort(PortBase& port);

    // Guards the port list, the context lists and the lifecycle flags below.
    mutable std::mutex m_mutex;
    std::vector<PortBase*> m_ports;
    std::vector<ExecutionContextBase*> m_ownedContexts;
    std::vector<ExecutionContextBase*> m_participatingContexts;
    bool m_initialized = false;
    bool m_finalized = false;
};

}  // namespace RTC

#endif
