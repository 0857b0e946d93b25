// The CORBA face of components, their ports and their execution contexts. Each servant delegates
// to the plain classes of the middleware (RTObject_impl, PortBase, ExecutionContextBase) and
// reaches them through its component's ComponentLink, so that a call arriving while the component
// goes away finds it gone instead of freed.
#ifndef RTM_REMOTE_SERVANTS_H
#define RTM_REMOTE_SERVANTS_H

#include <rtm/ExecutionContextBase.h>
#include <rtm/InPortBase.h>
#include <rtm/OutPortBase.h>
#include <rtm/RTC.h>
#include <rtm/ShmSegment.h>
#include <rtm/idl/SharedMemorySkel.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "ComponentLink.h"
#include "PeerBudget.h"

namespace RTC {

class RTObject_impl;

namespace remote {

class Registry;

// Where a servant was activated, so that it can be deactivated.
struct Activation {
    PortableServer::POA_var poa;
    PortableServer::ObjectId_var id;
    // Deactivates the object; does nothing when it was not activated or is gone already.
    void deactivate();
};

// Activates `servant` in `poa` (under `fixedId` when given) and returns its new reference.
CORBA::Object_ptr activateServant(PortableServer::POA_ptr poa, PortableServer::Servant servant,
                                  const char* fixedId, Activation& activation);

// Per connection of an input port: the object a remote output port pushes values into.
class InPortCdrServant : public virtual POA_OpenRTM::InPortCdr {
public:
    InPortCdrServant(std::shared_ptr<InPortEndpoint> endpoint, bool littleEndian,
                     std::string connection);
    InPortCdrServant(const InPortCdrServant&) = delete;
    InPortCdrServant& operator=(const InPortCdrServant&) = delete;

    // Takes the received buffer over into the port's ring without copying it.
    OpenRTM::PortStatus put(const OpenRTM::CdrData& data) override;

private:
    const std::shared_ptr<InPortEndpoint> m_endpoint;
    const bool m_littleEndian;
    const std::string m_connection;  // the connector id
};

// Per connection of an output port to a remote input port: pushes each written value to the
// peer's InPortCdr. Called by the writing thread only.
class RemoteConnector : public OutPortConnector {
public:
    RemoteConnector(const ConnectorInfo& info, OpenRTM::InPortCdr_ptr peer);

    OpenRTM::PortStatus put(const CORBA::Octet* bytes, CORBA::ULong length) override;
    bool dead() const override { return m_dead; }

private:
    OpenRTM::InPortCdr_var m_peer;
    bool m_dead = false;
};

// Runs `put`, a call on `peer` carrying or announcing `length` octets, within a time limit that
// grows with the length. A failure answers PORT_ERROR, and sets `dead` when the peer has gone or
// hangs; a failure that may concern this value only (a message-size limit) leaves it alone.
OpenRTM::PortStatus guardedPut(CORBA::Object_ptr peer, CORBA::ULong length,
                               const std::function<OpenRTM::PortStatus()>& put, bool& dead);
// True when `peer` still answers within a second.
bool peerAnswers(CORBA::Object_ptr peer);

// Per shared-memory connection of an input port: the writer announces its segment through
// open_memory() and each value through put(), which copies the value out of the segment into the
// port's buffer. Everything the segment holds is checked against what is really there; a value
// that fails answers PORT_ERROR, with one line on standard error for the first and every
// thousandth after.
class PortSharedMemoryServant : public virtual POA_OpenRTM::PortSharedMemory {
public:
    PortSharedMemoryServant(std::shared_ptr<InPortEndpoint> endpoint, bool littleEndian,
                            std::string connection);
    PortSharedMemoryServant(const PortSharedMemoryServant&) = delete;
    PortSharedMemoryServant& operator=(const PortSharedMemoryServant&) = delete;

    // The connection has ended: closes the segment and unlinks its name, so that none outlives
    // its connection whichever side goes first; later calls are refused.
    void end();

    void open_memory(CORBA::ULongLong memory_size, const char* shm_address) override;
    // Segments are created by the writing side only.
    void create_memory(CORBA::ULongLong memory_size, const char* shm_address) override;
    void close_memory(CORBA::Boolean unlink) override;
    // Accepted and ignored: an input port that is pushed to has no partner to forward to.
    void setInterface(OpenRTM::PortSharedMemory_ptr sm) override;
    // Accepted and ignored: the connection's negotiated byte order holds, as the middleware's own
    // input port does.
    void setEndian(CORBA::Boolean endian) override;
    OpenRTM::PortStatus put() override;
    // Nothing to give: values are pushed to this side.
    OpenRTM::PortStatus get() override;

private:
    void refuse(const std::string& reason);

    const std::shared_ptr<InPortEndpoint> m_endpoint;
    const bool m_littleEndian;
    const std::string m_connection;
    // Guards the members below.
    std::mutex m_mutex;
    SegmentReader m_segment;
    // The buffer the next value is read into; the port's buffer hands one back for each value.
    OpenRTM::CdrData m_spare;
    unsigned long long m_refused = 0;
    bool m_ended = false;
};

// Per connection of an output port to a remote input port over shared memory: encodes each value
// straight into a segment of its own, growing it for a value that does not fit, and announces it
// to the peer's PortSharedMemory (setEndian, open_memory when the segment is new, put). The
// segment is unlinked when the connection ends. Called by the writing thread only.
class SharedMemoryConnector : public OutPortConnector {
public:
    SharedMemoryConnector(const ConnectorInfo& info, OpenRTM::PortSharedMemory_ptr peer);
    ~SharedMemoryConnector() override;

    OpenRTM::PortStatus put(const CORBA::Octet* bytes, CORBA::ULong length) override;
    bool encodesItself() const override { return true; }
    OpenRTM::PortStatus putValue(const CdrEncoder& value) override;
    bool dead() const override { return m_dead; }

private:
    // Makes the segment hold at least `valueLength` octets of value, recreating it when it must
    // grow; the peer is told to close the old one first. False when the system refuses.
    bool reserve(std::size_t valueLength);
    // Writes the header, announces a new segment, and calls put.
    OpenRTM::PortStatus announce(std::size_t valueLength);
    void failed(const std::string& what);

    OpenRTM::PortSharedMemory_var m_peer;
    SegmentWriter m_segment;
    const std::size_t m_defaultSize;
    bool m_peerOpened = false;
    bool m_dead = false;
    unsigned long long m_failures = 0;
};

// A context owned by someone outside this process that a component takes part in; forwards to
// its object. Adding and removing the component belong to that context, so they only succeed.
class ForeignContext : public ExecutionContextBase {
public:
    ForeignContext(RTC::ExecutionContext_ptr context, RTC::LightweightRTObject_ptr component);

    RTC::ExecutionContext_ptr ref() const { return m_context.in(); }
    // From now on the calls to the context share `budget`; once it is spent they are not made
    // and answer as for a context that has gone.
    void limitTo(const PeerBudget& budget);

    bool is_running() override;
    ReturnCode_t start() override;
    ReturnCode_t stop() override;
    double get_rate() override;
    ReturnCode_t set_rate(double rate) override;
    ReturnCode_t add_component(RTObject_impl* comp) override;
    ReturnCode_t remove_component(RTObject_impl* comp) override;
    ReturnCode_t activate_component(RTObject_impl* comp) override;
    ReturnCode_t deactivate_component(RTObject_impl* comp) override;
    ReturnCode_t reset_component(RTObject_impl* comp) override;
    LifeCycleState get_component_state(RTObject_impl* comp) override;
    ExecutionKind get_kind() override;
    RTObject_impl* getOwner() const override { return nullptr; }
    void setOwner(RTObject_impl*) override {}

private:
    // Sets the next call's time-out; false when no call is to be made.
    bool callable();

    RTC::ExecutionContext_var m_context;
    RTC::LightweightRTObject_var m_component;
    // Guards m_budget.
    std::mutex m_mutex;
    PeerBudget m_budget;
};

// A data port as RTC::PortService, following the connection protocol: connect() on any port of
// a profile starts notify_connect() along profile.ports; each port publishes its interfaces,
// passes the profile on, subscribes to what the others published, and keeps the profile.
class PortServant : public virtual POA_RTC::PortService {
public:
    PortServant(Registry& registry, std::shared_ptr<ComponentLink> link, PortBase* port,
                RTC::RTObject_ptr owner);
    ~PortServant() override;
    PortServant(const PortServant&) = delete;
    PortServant& operator=(const PortServant&) = delete;

    // Called once, right after activation.
    void activated(Activation activation, RTC::PortService_ptr ref);
    RTC::PortService_ptr ref() const { return m_ref.in(); }
    PortBase* port() const { return m_port; }
    // Ends every connection, telling the peers within `budget`. The caller holds a Use of the
    // link.
    void disconnectEverything(const PeerBudget& budget);
    // Deactivates the port's object and those of its connections.
    virtual void deactivate();
    // The profile as get_port_profile() gives it. The caller holds a Use of the link.
    RTC::PortProfile* profile();

    RTC::PortProfile* get_port_profile() override;
    RTC::ConnectorProfileList* get_connector_profiles() override;
    RTC::ConnectorProfile* get_connector_profile(const char* connector_id) override;
    RTC::ReturnCode_t connect(RTC::ConnectorProfile& connector_profile) override;
    RTC::ReturnCode_t disconnect(const char* connector_id) override;
    RTC::ReturnCode_t disconnect_all() override;
    RTC::ReturnCode_t notify_connect(RTC::ConnectorProfile& connector_profile) override;
    RTC::ReturnCode_t notify_disconnect(const char* connector_id) override;

protected:
    // Adds what peers need to reach this port to profile.properties.
    virtual ReturnCode_t publishInterfaces(RTC::ConnectorProfile& profile) = 0;
    // Sets the connection up from what the peers published.
    virtual ReturnCode_t subscribeInterfaces(const RTC::ConnectorProfile& profile) = 0;
    // Undoes publishing and subscribing for one connection; harmless when there is nothing.
    virtual void unsubscribeInterfaces(const std::string& id) = 0;

    static ConnectorInfo infoOf(const RTC::ConnectorProfile& profile);

    Registry& m_registry;

private:
    // The link's component still has this port.
    bool present(ComponentLink::Use& use) const;
    RTC::ConnectorProfileList currentProfiles();
    ReturnCode_t checkProfile(const RTC::ConnectorProfile& profile) const;
    // Index of this port in profile.ports, or the length when it is not there.
    CORBA::ULong indexIn(const RTC::ConnectorProfile& profile) const;
    ReturnCode_t connectNext(RTC::ConnectorProfile& profile);
    void disconnectNext(const RTC::ConnectorProfile& profile, const std::string& id,
                        const PeerBudget& budget);
    // This port's part of ending a connection: forgets it and tells the next port.
    ReturnCode_t leave(const std::string& id, const PeerBudget& budget);
    // Forgets the connection here and undoes it; false when it was not known.
    bool forget(const std::string& id, RTC::ConnectorProfile* profile);
    ReturnCode_t disconnectOne(const std::string& id, const PeerBudget& budget);

    const std::shared_ptr<ComponentLink> m_link;
    PortBase* const m_port;
    const RTC::RTObject_var m_owner;
    Activation m_activation;
    RTC::PortService_var m_ref;

    // Guards m_profiles and m_pending: the connections this port has joined, and those it is
    // joining (between notify_connect's start and end).
    std::mutex m_mutex;
    std::map<std::string, RTC::ConnectorProfile> m_profiles;
    std::set<std::string> m_pending;
};

class InPortServant : public PortServant {
public:
    InPortServant(Registry& registry, std::shared_ptr<ComponentLink> link, InPortBase* port,
                  RTC::RTObject_ptr owner);
    ~InPortServant() override;
    void deactivate() override;

protected:
    ReturnCode_t publishInterfaces(RTC::ConnectorProfile& profile) override;
    ReturnCode_t subscribeInterfaces(const RTC::ConnectorProfile& profile) override;
    void unsubscribeInterfaces(const std::string& id) override;

private:
    struct Consumer {
        PortableServer::ServantBase* servant;
        // Set for a shared-memory connection.
        PortSharedMemoryServant* shm;
        Activation activation;
    };
    void release(Consumer& consumer);
    InPortBase* const m_in;
    // Guards m_consumers: the InPortCdr object of each connection, by connector id.
    std::mutex m_consumersMutex;
    std::map<std::string, Consumer> m_consumers;
};

class OutPortServant : public PortServant {
public:
    OutPortServant(Registry& registry, std::shared_ptr<ComponentLink> link, OutPortBase* port,
                   RTC::RTObject_ptr owner);

protected:
    ReturnCode_t publishInterfaces(RTC::ConnectorProfile& profile) override;
    ReturnCode_t subscribeInterfaces(const RTC::ConnectorProfile& profile) override;
    void unsubscribeInterfaces(const std::string& id) override;

private:
    OutPortBase* const m_out;
};

// An execution context as RTC::ExecutionContextService. Components named by reference must be
// components of this process.
class ContextServant : public virtual POA_RTC::ExecutionContextService {
public:
    ContextServant(Registry& registry, std::shared_ptr<ComponentLink> ownerLink,
                   ExecutionContextBase* context);
    ContextServant(const ContextServant&) = delete;
    ContextServant& operator=(const ContextServant&) = delete;

    void activated(Activation activation, RTC::ExecutionContextService_ptr ref);
    RTC::ExecutionContextService_ptr ref() const { return m_ref.in(); }
    ExecutionContextBase* context() const { return m_context; }
    void deactivate() { m_activation.deactivate(); }

    CORBA::Boolean is_running() override;
    RTC::ReturnCode_t start() override;
    RTC::ReturnCode_t stop() override;
    CORBA::Double get_rate() override;
    RTC::ReturnCode_t set_rate(CORBA::Double rate) override;
    RTC::ReturnCode_t add_component(RTC::LightweightRTObject_ptr comp) override;
    RTC::ReturnCode_t remove_component(RTC::LightweightRTObject_ptr comp) override;
    RTC::ReturnCode_t activate_component(RTC::LightweightRTObject_ptr comp) override;
    RTC::ReturnCode_t deactivate_component(RTC::LightweightRTObject_ptr comp) override;
    RTC::ReturnCode_t reset_component(RTC::LightweightRTObject_ptr comp) override;
    RTC::LifeCycleState get_component_state(RTC::LightweightRTObject_ptr comp) override;
    RTC::ExecutionKind get_kind() override;
    RTC::ExecutionContextProfile* get_profile() override;

private:
    // The context, while its owner still owns it.
    ExecutionContextBase* present(ComponentLink::Use& use) const;
    // Runs `operation` on the context while its owner is held in use; OBJECT_NOT_EXIST once the
    // owner or the context has gone.
    template <class Operation>
    decltype(auto) withContext(Operation operation);
    ReturnCode_t changeState(RTC::LightweightRTObject_ptr comp,
                             ReturnCode_t (ExecutionContextBase::*change)(RTObject_impl*));

    Registry& m_registry;
    const std::shared_ptr<ComponentLink> m_ownerLink;
    ExecutionContextBase* const m_context;
    Activation m_activation;
    RTC::ExecutionContextService_var m_ref;
};

// A component's SDO Configuration object. The configuration sets live in the component's
// ConfigAdmin; the device profile and organizations, which only this face knows, live here.
class ConfigurationServant : public virtual POA_SDOPackage::Configuration {
public:
    explicit ConfigurationServant(std::shared_ptr<ComponentLink> link);
    ConfigurationServant(const ConfigurationServant&) = delete;
    ConfigurationServant& operator=(const ConfigurationServant&) = delete;

    void activated(Activation activation, SDOPackage::Configuration_ptr ref);
    SDOPackage::Configuration_ptr ref() const { return m_ref.in(); }
    void deactivate() { m_activation.deactivate(); }
    // What set_device_profile() and add_organization() stored, for the component's SDO face.
    SDOPackage::DeviceProfile* deviceProfile();
    SDOPackage::OrganizationList* organizations();

    CORBA::Boolean set_device_profile(const SDOPackage::DeviceProfile& dProfile) override;
    CORBA::Boolean add_service_profile(const SDOPackage::ServiceProfile& sProfile) override;
    CORBA::Boolean add_organization(SDOPackage::Organization_ptr organization_object) override;
    CORBA::Boolean remove_service_profile(const char* id) override;
    CORBA::Boolean remove_organization(const char* organization_id) override;
    SDOPackage::ParameterList* get_configuration_parameters() override;
    SDOPackage::NVList* get_configuration_parameter_values() override;
    CORBA::Any* get_configuration_parameter_value(const char* name) override;
    CORBA::Boolean set_configuration_parameter(const char* name, const CORBA::Any& value) override;
    SDOPackage::ConfigurationSetList* get_configuration_sets() override;
    SDOPackage::ConfigurationSet* get_configuration_set(const char* config_id) override;
    CORBA::Boolean set_configuration_set_values(
        const SDOPackage::ConfigurationSet& configuration_set) override;
    SDOPackage::ConfigurationSet* get_active_configuration_set() override;
    CORBA::Boolean add_configuration_set(
        const SDOPackage::ConfigurationSet& configuration_set) override;
    CORBA::Boolean remove_configuration_set(const char* config_id) override;
    CORBA::Boolean activate_configuration_set(const char* config_id) override;

private:
    // Runs `f` on the component's ConfigAdmin; OBJECT_NOT_EXIST once the component has gone.
    template <class F>
    decltype(auto) withSets(F f);

    const std::shared_ptr<ComponentLink> m_link;
    Activation m_activation;
    SDOPackage::Configuration_var m_ref;

    // Guards m_deviceProfile and m_organizations.
    std::mutex m_mutex;
    SDOPackage::DeviceProfile m_deviceProfile;
    std::vector<SDOPackage::Organization_var> m_organizations;
};

// A component as OpenRTM::DataFlowComponent, with the servants of its ports and owned contexts.
class ComponentServant : public virtual POA_OpenRTM::DataFlowComponent {
public:
    ComponentServant(Registry& registry, RTObject_impl* comp);
    ~ComponentServant() override;
    ComponentServant(const ComponentServant&) = delete;
    ComponentServant& operator=(const ComponentServant&) = delete;

    // Activates the component's object (under `fixedId` in `poa` when given, else in the
    // registry's POA), and those of its ports and owned contexts.
    void activate(PortableServer::POA_ptr poa, const char* fixedId);
    // Ends the connections of every port with their peers and leaves contexts of others; then
    // waits for the calls in progress, and deactivates every object. Calls find the component
    // gone afterwards.
    void retire();

    RTC::RTObject_ptr ref() const { return m_ref.in(); }
    // For identity only: use the component through link().
    RTObject_impl* component() const { return m_comp; }
    const std::shared_ptr<ComponentLink>& link() const { return m_link; }

    // New references (the caller releases them); nil once retired or when unknown. The caller
    // holds a Use of the link.
    RTC::PortService_ptr portRef(PortBase* port);
    RTC::ExecutionContextService_ptr ownedContextRef(ExecutionContextBase* context);
    RTC::ExecutionContext_ptr contextRef(ExecutionContextBase* context);
    // The context a reference names for this component, or null.
    ExecutionContextBase* contextFor(RTC::ExecutionContext_ptr ref);
    // The servant of `port`, created when needed; null once retired.
    PortServant* portServant(PortBase* port);

    RTC::ReturnCode_t initialize() override;
    RTC::ReturnCode_t finalize() override;
    CORBA::Boolean is_alive(RTC::ExecutionContext_ptr exec_context) override;
    RTC::ReturnCode_t exit() override;
    RTC::ExecutionContextHandle_t attach_context(RTC::ExecutionContext_ptr exec_context) override;
    RTC::ReturnCode_t detach_context(RTC::ExecutionContextHandle_t exec_handle) override;
    RTC::ExecutionContext_ptr get_context(RTC::ExecutionContextHandle_t exec_handle) override;
    RTC::ExecutionContextList* get_owned_contexts() override;
    RTC::ExecutionContextList* get_participating_contexts() override;
    RTC::ExecutionContextHandle_t get_context_handle(RTC::ExecutionContext_ptr cxt) override;

    RTC::ReturnCode_t on_initialize() override;
    RTC::ReturnCode_t on_finalize() override;
    RTC::ReturnCode_t on_startup(RTC::ExecutionContextHandle_t exec_handle) override;
    RTC::ReturnCode_t on_shutdown(RTC::ExecutionContextHandle_t exec_handle) override;
    RTC::ReturnCode_t on_activated(RTC::ExecutionContextHandle_t exec_handle) override;
    RTC::ReturnCode_t on_deactivated(RTC::ExecutionContextHandle_t exec_handle) override;
    RTC::ReturnCode_t on_aborting(RTC::ExecutionContextHandle_t exec_handle) override;
    RTC::ReturnCode_t on_error(RTC::ExecutionContextHandle_t exec_handle) override;
    RTC::ReturnCode_t on_reset(RTC::ExecutionContextHandle_t exec_handle) override;
    RTC::ReturnCode_t on_execute(RTC::ExecutionContextHandle_t exec_handle) override;
    RTC::ReturnCode_t on_state_update(RTC::ExecutionContextHandle_t exec_handle) override;
    RTC::ReturnCode_t on_rate_changed(RTC::ExecutionContextHandle_t exec_handle) override;

    SDOPackage::OrganizationList* get_owned_organizations() override;
    char* get_sdo_id() override;
    char* get_sdo_type() override;
    SDOPackage::DeviceProfile* get_device_profile() override;
    SDOPackage::ServiceProfileList* get_service_profiles() override;
    SDOPackage::ServiceProfile* get_service_profile(const char* id) override;
    SDOPackage::SDOService_ptr get_sdo_service(const char* id) override;
    SDOPackage::Configuration_ptr get_configuration() override;
    SDOPackage::Monitoring_ptr get_monitoring() override;
    SDOPackage::OrganizationList* get_organizations() override;
    SDOPackage::NVList* get_status_list() override;
    CORBA::Any* get_status(const char* nme) override;

    RTC::ComponentProfile* get_component_profile() override;
    RTC::PortServiceList* get_ports() override;

private:
    // Runs an action of the component (an on_xxx); the component must be there.
    template <class F>
    RTC::ReturnCode_t act(F f);
    // Runs exit() or finalize() with no other call using the component; on success the manager
    // is told that the component has ended.
    RTC::ReturnCode_t end(bool exiting);
    // Takes the other components of this process out of this component's own contexts, which
    // go when it ends. The caller holds a Use of the link.
    void releaseParticipants();
    // Takes the component out of the foreign contexts it takes part in; returns their
    // references, to be told once the component can no longer be called. The caller holds a Use.
    std::vector<RTC::ExecutionContext_var> leaveForeignContexts();
    // The calls to the foreign contexts share `budget` from now on.
    void limitForeignContexts(const PeerBudget& budget);
    static void tellForeignContexts(const std::vector<RTC::ExecutionContext_var>& contexts,
                                    RTC::LightweightRTObject_ptr self, const PeerBudget& budget);
    std::vector<PortServant*> portServants();
    void activateConfiguration();
    // The Configuration servant with a reference added, or null once retired.
    ConfigurationServant* configuration();

    Registry& m_registry;
    RTObject_impl* const m_comp;
    const std::shared_ptr<ComponentLink> m_link;
    Activation m_activation;
    RTC::RTObject_var m_ref;

    // Guards the servant lists and m_retired.
    std::mutex m_mutex;
    std::vector<PortServant*> m_ports;
    std::vector<ContextServant*> m_contexts;
    std::vector<std::unique_ptr<ForeignContext>> m_foreign;
    bool m_retired = false;
    // Made at activation, released at retirement.
    ConfigurationServant* m_configuration = nullptr;
};

}  // namespace remote
}  // namespace RTC

#endif
