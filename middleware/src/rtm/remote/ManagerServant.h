// The manager's CORBA face, RTM::Manager: a thin servant over the core Manager, plus what only
// exists remotely (the links to master and slave managers) and the master's policy for the host
// processes it starts.
#ifndef RTM_REMOTE_MANAGERSERVANT_H
#define RTM_REMOTE_MANAGERSERVANT_H

#include <rtm/RTC.h>
#include <rtm/idl/ManagerSkel.h>

#include <mutex>
#include <string>
#include <vector>

#include "../ProcessLauncher.h"

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

}  // namespace remote
}  // namespace RTC

#endif
