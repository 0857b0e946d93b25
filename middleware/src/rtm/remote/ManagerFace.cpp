#include "ManagerFace.h"

#include <coil/stringutil.h>
#include <rtm/Manager.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>

#include "ManagerServant.h"
#include "NameBinder.h"
#include "Registry.h"
#include "Servants.h"

namespace RTC {
namespace remote {

namespace {

// How long a call to a master that may not be there may take: the registration of every
// process goes to localhost:2810 by default, and must cost nothing when nobody is there.
constexpr CORBA::ULong kMasterProbeTimeoutMs = 2000;

// The face of this process's manager while its registration thread may run.
std::mutex s_faceMutex;
ManagerFace* s_face = nullptr;

// A process may end without shutting its manager down; the thread must not be inside the ORB
// while the ORB's own teardown runs at exit.
void stopRegistrationAtExit() {
    std::lock_guard<std::mutex> lock(s_faceMutex);
    if (s_face) s_face->stopRegistration();
}

}  // namespace

ManagerFace::ManagerFace(RTC::Manager& manager, Registry& registry)
    : m_manager(manager), m_registry(registry) {
    coil::Properties& config = manager.getConfig();
    const bool master = coil::toBool(config.getProperty("manager.is_master"), "YES", "NO", false);
    CORBA::ORB_ptr orb = registry.orb();
    try {
        CORBA::Object_var obj = orb->resolve_initial_references("omniINSPOA");
        m_poa = PortableServer::POA::_narrow(obj);
        m_servant = new ManagerServant(manager, registry, master);
        m_id = PortableServer::string_to_ObjectId(config.getProperty("manager.name").c_str());
        m_poa->activate_object_with_id(m_id.in(), m_servant);
        CORBA::Object_var ref = m_poa->id_to_reference(m_id.in());
        RTM::Manager_var self = RTM::Manager::_narrow(ref);
        m_servant->setSelf(self);
    } catch (const CORBA::Exception& e) {
        std::cerr << "manager: cannot activate the manager object (" << e._name()
                  << "); the manager is not reachable from outside" << std::endl;
        if (m_servant) m_servant->_remove_ref();
        m_servant = nullptr;
        return;
    }
    if (master && coil::toBool(config.getProperty("naming.enable"), "YES", "NO", false)) {
        coil::Properties self;
        self.setProperty("instance_name", config.getProperty("manager.instance_name"));
        std::vector<std::string> paths;
        for (const std::string& format :
             coil::split(config.getProperty("manager.naming_formats"), ",", true))
            paths.push_back(NameBinder::expand(format, self, config));
        // Kept bound like the components' names: a naming service restarted empty gets it back.
        registry.bindObject(m_servant->self(), paths);
    }
    // Calls come in from here on: whoever reaches the manager also finds its names.
    try {
        PortableServer::POAManager_var pm = m_poa->the_POAManager();
        pm->activate();
    } catch (const CORBA::Exception& e) {
        std::cerr << "manager: cannot serve the manager object (" << e._name() << ")" << std::endl;
    }
    if (!master) {
        // Read here, so that the thread never reads the configuration while others write it.
        const std::string address = "corbaloc::" + config.getProperty("corba.master_manager") +
                                    "/" + config.getProperty("manager.name");
        const bool retry = coil::toBool(config.getProperty("corba.update_master_manager.enable"),
                                        "YES", "NO", false);
        const double seconds =
            std::atof(config.getProperty("corba.update_master_manager.interval").c_str());
        const auto period =
            std::chrono::milliseconds(static_cast<long>(std::max(seconds, 0.1) * 1000));
        m_registrar = std::thread(
            [this, address, retry, period] { registerWithMaster(address, retry, period); });
        static std::once_flag s_atExit;
        std::call_once(s_atExit, [] { std::atexit(stopRegistrationAtExit); });
        std::lock_guard<std::mutex> lock(s_faceMutex);
        s_face = this;
    }
}

ManagerFace::~ManagerFace() {
    {
        std::lock_guard<std::mutex> lock(s_faceMutex);
        if (s_face == this) s_face = nullptr;
    }
    shutdown();
    if (!m_servant) return;
    try {
        m_poa->deactivate_object(m_id.in());
    } catch (const CORBA::Exception&) {
    }
    m_servant->_remove_ref();
}

void ManagerFace::registerWithMaster(const std::string& address, bool retry,
                                     std::chrono::milliseconds period) {
    CORBA::ORB_var orb = m_manager.getORB();
    std::unique_lock<std::mutex> lock(m_mutex);
    do {
        lock.unlock();
        m_servant->dropDeadMasters();
        if (m_servant->masters().empty()) {
            try {
                CORBA::Object_var obj = orb->string_to_object(address.c_str());
                omniORB::setClientCallTimeout(obj, kMasterProbeTimeoutMs);
                RTM::Manager_var master = RTM::Manager::_narrow(obj);
                // Set again: the narrowed reference may be a new one, without the timeout.
                if (!CORBA::is_nil(master))
                    omniORB::setClientCallTimeout(master, kMasterProbeTimeoutMs);
                if (!CORBA::is_nil(master) && !master->_is_equivalent(m_servant->self()) &&
                    m_servant->add_master_manager(master) == RTC::RTC_OK)
                    master->add_slave_manager(m_servant->self());
            } catch (const CORBA::Exception&) {
                // Nobody there (yet), or not a manager.
            }
        }
        lock.lock();
    } while (retry && !m_wake.wait_for(lock, period, [this] { return m_stop; }));
}

void ManagerFace::stopRegistration() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    std::lock_guard<std::mutex> lock(m_joinMutex);
    if (m_registrar.joinable()) m_registrar.join();
}

void ManagerFace::shutdown() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_shutDown) return;
        m_shutDown = true;
    }
    stopRegistration();
    if (!m_servant) return;
    RTM::Manager_ptr self = m_servant->self();
    // Links a peer added may lead nowhere: they share one limit in all.
    const PeerBudget budget = m_registry.budget(kPeerCallLimit);
    for (RTM::Manager_var& slave : m_servant->slaves()) {
        if (!budget.limit(slave, kPeerCallTimeoutMs)) break;
        try {
            slave->remove_master_manager(self);
        } catch (const CORBA::Exception&) {
        }
    }
    for (RTM::Manager_var& master : m_servant->masters()) {
        if (!budget.limit(master, kPeerCallTimeoutMs)) break;
        try {
            master->remove_slave_manager(self);
        } catch (const CORBA::Exception&) {
        }
    }
    m_registry.unbindObject(self);
}

}  // namespace remote
}  // namespace RTC
