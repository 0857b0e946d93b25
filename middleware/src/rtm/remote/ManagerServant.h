// The manager's CORBA face, RTM::Manager: a thin servant over the core Manager, plus what only
// exists remotely (the links to master and slave managers, the manager's names).
#ifndef RTM_REMOTE_MANAGERSERVANT_H
#define RTM_REMOTE_MANAGERSERVANT_H

#include <rtm/RTC.h>
#include <rtm/idl/ManagerSkel.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../ProcessLauncher.h"
#include "NameBinder.h"

namespace RTC {

class Manager;

namespace remote {

class Registry;

class ManagerServant : public virtual POA_RTM::Manager {
public:
    ManagerServant(RTC::Manager& manager, Registry& registry, bool master);
    ManagerServant(const ManagerServant&) = delete;
    ManagerServant& operator=(const ManagerServant&) = delete;

    void setSelf(RTM::Manager_ptr self) { m_self = RTM::Manager::_duplicate(self); }
    RTM::Manager_ptr self() const { return m_self.in(); }
    // Copies of the link lists, for the registration thread and for shutdown.
    std::vector<RTM::Manager_var> masters();
    std::vector<RTM::Manager_var> slaves();
    // Drops links whose manager no longer answers.
    void dropDeadMasters();

    RTC::ReturnCode_t load_module(const char* pathname, const char* initfunc) override;
    RTC::ReturnCode_t unload_module(const char* pathname) override;
    RTM::ModuleProfileList* get_loadable_modules() override;
    RTM::ModuleProfileList* get_loaded_modules() override;
    RTM::ModuleProfileList* get_factory_profiles() override;
    RTC::RTObject_ptr create_component(const char* module_name) override;
    RTC::ReturnCode_t delete_component(const char* instance_name) override;
    RTC::RTCList* get_components() override;
    RTC::ComponentProfileList* get_component_profiles() override;
    RTC::RTCList* get_components_by_name(const char* name) override;
    RTM::ManagerProfile* get_profile() override;
    RTM::NVList* get_configuration() override;
    RTC::ReturnCode_t set_configuration(const char* name, const char* value) override;
    CORBA::Boolean is_master() override;
    RTM::ManagerList* get_master_managers() override;
    RTC::ReturnCode_t add_master_manager(RTM::Manager_ptr mgr) override;
    RTC::ReturnCode_t remove_master_manager(RTM::Manager_ptr mgr) override;
    RTM::ManagerList* get_slave_managers() override;
    RTC::ReturnCode_t add_slave_manager(RTM::Manager_ptr mgr) override;
    RTC::ReturnCode_t remove_slave_manager(RTM::Manager_ptr mgr) override;
    RTC::ReturnCode_t fork() override;
    RTC::ReturnCode_t shutdown() override;
    RTC::ReturnCode_t restart() override;
    CORBA::Object_ptr get_service(const char* name) override;

private:
    // A master creates in its slaves: those matching the request first, then a new one.
    RTC::RTObject_ptr createInSlave(const std::string& args);
    // Starts a host process with this manager's command and load path, waits for it to register
    // and creates there; a host that does not register in time is ended.
    RTC::RTObject_ptr launchSlaveAndCreate(const std::string& args);

    RTC::Manager& m_manager;
    Registry& m_registry;
    const bool m_master;
    RTM::Manager_var m_self;
    // Guards m_masters and m_slaves.
    std::mutex m_mutex;
    std::vector<RTM::Manager_var> m_masters;
    std::vector<RTM::Manager_var> m_slaves;
    // The host processes this master started itself.
    ProcessLauncher m_hosts;
    // Held while a host process is started and awaited.
    std::mutex m_startMutex;
};

// The manager object of a process: activated under the object key "manager.name" at every
// endpoint, bound in naming when the manager is the master, and, when it is not, registered with
// the master at "corba.master_manager" by a thread that retries while no master answers.
class ManagerFace {
public:
    ManagerFace(RTC::Manager& manager, Registry& registry);
    ~ManagerFace();
    ManagerFace(const ManagerFace&) = delete;
    ManagerFace& operator=(const ManagerFace&) = delete;

    // Tells the masters and slaves that this manager goes, unbinds its names and stops the
    // registration thread. Runs once; the object stays active until destruction.
    void shutdown();
    // Ends the registration thread, waiting for a call in progress. Any thread but that one.
    void stopRegistration();

private:
    // Registers with the master at `address` now and, when `retry`, every `period` while no
    // master answers.
    void registerWithMaster(const std::string& address, bool retry,
                            std::chrono::milliseconds period);

    RTC::Manager& m_manager;
    Registry& m_registry;
    ManagerServant* m_servant = nullptr;
    PortableServer::POA_var m_poa;
    PortableServer::ObjectId_var m_id;

    // Guards m_stop; m_wake ends the registration thread's waits.
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    bool m_shutDown = false;
    // Guards joining m_registrar, which shutdown and the end of the process may both try.
    std::mutex m_joinMutex;
    std::thread m_registrar;
};

}  // namespace remote
}  // namespace RTC

#endif
