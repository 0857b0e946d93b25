// The manager's record of its components' CORBA faces: activation, naming, reference output.
#ifndef RTM_REMOTE_REGISTRY_H
#define RTM_REMOTE_REGISTRY_H

#include <rtm/RTC.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include "NameBinder.h"
#include "PeerBudget.h"

namespace RTC {

class Manager;
class RTObject_impl;
class ExecutionContextBase;

namespace remote {

class ComponentServant;
class ContextServant;
class PortServant;

// How long calls to peers may take: ports of a connection, and the naming services. A series of
// such calls made for one request (a connection's chain of ports, ending every connection of a
// component) shares this limit as a whole.
constexpr CORBA::ULong kPeerCallTimeoutMs = 5000;
constexpr std::chrono::milliseconds kPeerCallLimit{kPeerCallTimeoutMs};
// Every call to a peer made once the manager has begun to end shares this much time.
constexpr std::chrono::milliseconds kEndingBudget{3000};
// The most ports one connection may join.
constexpr CORBA::ULong kMaxConnectorPorts = 16;
// The most contexts of other processes one component takes part in.
constexpr std::size_t kMaxForeignContexts = 16;

// One per manager, created once its ORB and POA exist. attach() and detach() run on the
// manager's threads; the lookups run on any thread.
class Registry {
public:
    explicit Registry(Manager& manager);
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    // Activates the component's objects, binds it in the naming services when naming is
    // enabled, and writes its reference where "corba.ior_file" says. With
    // "naming.update.enable" YES, names missing later (a naming service started afterwards, or
    // restarted) are bound again every "naming.update.interval" seconds.
    void attach(RTObject_impl* comp);
    // Unbinds the component's names, ends its ports' connections with their peers, waits for the
    // calls in progress and deactivates its objects. Harmless for an unknown component.
    void detach(RTObject_impl* comp);
    void detachAll();
    // Binds an object of the process that is not a component (the manager's own) under `paths`
    // as a component's names are bound, and binds them again when they go missing, until
    // unbindObject(). Does nothing when naming is off.
    void bindObject(CORBA::Object_ptr obj, const std::vector<std::string>& paths);
    void unbindObject(CORBA::Object_ptr obj);

    // From now on every budget() ends within kEndingBudget: the manager is ending.
    void beginEnding();
    // A budget of `total` for a series of calls to peers, cut short while the manager ends.
    PeerBudget budget(std::chrono::milliseconds total) const;

    Manager& manager() { return m_manager; }
    CORBA::ORB_ptr orb() const { return m_orb.in(); }
    PortableServer::POA_ptr poa() const { return m_poa.in(); }

    // The servant of a component of this process, or null.
    PortableServer::Servant_var<ComponentServant> servantOf(const RTObject_impl* comp);
    // The servant behind a reference when it is an object of this process, else null.
    PortableServer::Servant_var<ComponentServant> localComponent(CORBA::Object_ptr ref);
    PortableServer::Servant_var<ContextServant> localContext(CORBA::Object_ptr ref);
    PortableServer::Servant_var<PortServant> localPort(CORBA::Object_ptr ref);
    // New references to objects of this process's components; nil when unknown.
    RTC::RTObject_ptr componentRef(const RTObject_impl* comp);
    RTC::ExecutionContextService_ptr contextRef(ExecutionContextBase* context);
    std::vector<PortableServer::Servant_var<ComponentServant>> servants();

private:
    template <class T>
    PortableServer::Servant_var<T> local(CORBA::Object_ptr ref);
    void writeReferences(const ComponentServant* added);
    void updateNames();

    Manager& m_manager;
    CORBA::ORB_var m_orb;
    PortableServer::POA_var m_poa;
    // omniORB's POA whose object keys are the object ids, for corbaloc URLs; nil unless
    // "corba.corbaloc" is YES.
    PortableServer::POA_var m_insPoa;
    std::unique_ptr<NameBinder> m_naming;
    // When the manager's ending budget runs out, as steady-clock ticks; the clock's largest
    // value while it is not ending.
    std::atomic<PeerBudget::Clock::rep> m_endBy{
        PeerBudget::Clock::time_point::max().time_since_epoch().count()};

    struct Entry {
        ComponentServant* servant;
        std::vector<std::string> paths;
        std::vector<NameBinder::Binding> names;
        std::string ior;
    };
    // Held while names are bound or unbound, so that the updating thread never binds a
    // component that is being detached. Also guards m_objects: what bindObject() keeps bound.
    std::mutex m_namingMutex;
    struct Named {
        CORBA::Object_var object;
        std::vector<std::string> paths;
        std::vector<NameBinder::Binding> names;
    };
    std::vector<Named> m_objects;
    // Guards m_entries, the attached components in order of attachment.
    std::mutex m_mutex;
    std::vector<Entry> m_entries;

    // Guards m_stopUpdates; m_updateWake ends the updating thread's waits.
    std::mutex m_updateMutex;
    std::condition_variable m_updateWake;
    bool m_stopUpdates = false;
    std::thread m_updater;
};

}  // namespace remote
}  // namespace RTC

#endif
