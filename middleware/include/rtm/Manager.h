// The manager: one per process. Reads the middleware's command line and configuration, owns the
// ORB, the factories and the components, and runs until shut down.
#ifndef RTM_MANAGER_H
#define RTM_MANAGER_H

#include <coil/Properties.h>
#include <rtm/Factory.h>
#include <rtm/RTC.h>
#include <rtm/RTObject.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace RTC {

typedef void (*ModuleInitProc)(Manager* manager);

class ModuleManager;

namespace remote {
class Registry;
class ManagerFace;
}

class Manager {
public:
    // Creates the manager on first call, from the command line (-f file, -o "key:value", -d
    // master, -p port, -a no manager object, -i, -h) and the configuration file (-f, else
    // $RTC_MANAGER_CONFIG, ./rtc.conf, /etc/rtc.conf, /etc/rtc/rtc.conf, /usr/local/etc/rtc.conf,
    // /usr/local/etc/rtc/rtc.conf); later calls return the same manager.
    static Manager* init(int argc, char** argv);
    // The manager init() created; init() must have been called.
    static Manager& instance();

    Manager(const Manager&) = delete;
    Manager& operator=(const Manager&) = delete;

    void setModuleInitProc(ModuleInitProc proc);
    // Activates the ORB's POA manager, loads "manager.modules.preload", calls the module init
    // procedure, then creates "manager.components.precreate" and activates
    // "manager.components.preactivation".
    bool activateManager();
    // Blocks until the manager shuts down (no_block false), or returns at once (no_block true)
    // while the ORB serves requests on its own threads.
    void runManager(bool no_block = false);
    // Finalises every component, joins the execution threads and destroys the ORB. Runs once;
    // also on SIGINT and SIGTERM. A blocked runManager() returns afterwards.
    void shutdown();
    // Asks for shutdown() from any thread, a signal handler's included; returns at once.
    void terminate();
    bool isShutdown() const;

    bool registerFactory(coil::Properties& profile, RtcNewFunc new_func, RtcDeleteFunc delete_func);
    std::vector<std::string> getFactoryIds();
    // `comp_args` is "<id>[?key=value&key=value...]", <id> an implementation id or
    // "RTC:<vendor>:<category>:<implementation_id>:<language>:<version>" whose empty fields match
    // anything ("Morvane?instance_name=left"). The query's keys override the component's
    // properties. A type with no factory is looked for among the loadable modules when
    // "manager.modules.search_auto" is YES. Null on any failure.
    RTObject_impl* createComponent(const char* comp_args);
    // Finalises and disposes of one component.
    void deleteComponent(RTObject_impl* comp);
    // Takes a component out of the manager's care and out of reach from outside: its names are
    // unbound, its connections with peers ended and its CORBA objects deactivated. The component
    // itself is left alone (not exited, not destroyed). For a process that has to end at once,
    // called from a component's execution thread, which a concurrent shutdown() waits for;
    // false for an unknown component.
    bool unregisterComponent(RTObject_impl* comp);
    std::vector<RTObject_impl*> getComponents();
    // Profiles of the registered factories, in registration order.
    std::vector<coil::Properties> getFactoryProfiles();

    // Modules (shared objects exporting an init function); see ModuleManager. load() reports a
    // failure in `error`; unload() takes the absolute path that getLoadedModules() lists.
    bool loadModule(const std::string& name, const std::string& initFunc, std::string& error);
    // As loadModule(), telling refusals apart: PRECONDITION_NOT_MET when the configuration does
    // not allow loading from that path, BAD_PARAMETER when nothing loadable is there.
    ReturnCode_t tryLoadModule(const std::string& name, const std::string& initFunc,
                               std::string& error);
    bool unloadModule(const std::string& path);
    std::vector<std::string> getLoadedModules();
    std::vector<coil::Properties> getLoadableModules();
    RTObject_impl* getComponent(const char* instance_name);

    // The process's own configuration: defaults, file and command line. It is complete once
    // init() returns and never changes afterwards, so any thread may read it without a lock.
    coil::Properties& getConfig();
    // The own configuration with the changes made through the manager object on top; a copy.
    coil::Properties getConfiguration();
    // Records a change asked for through the manager object. It shows in getConfiguration() and
    // in the components created afterwards, never in getConfig(); which keys may change is the
    // caller's policy. False, changing nothing, for a key not changed before once `maxChanges`
    // keys have been.
    bool setConfiguration(const std::string& key, const std::string& value, std::size_t maxChanges);
    // True when `comp_args` names a component type that a host process started with this
    // manager's load path could make: one of the loadable modules of the requested language.
    bool loadableType(const std::string& comp_args);
    CORBA::ORB_ptr getORB();
    PortableServer::POA_ptr getPOA();
    PortableServer::POAManager_ptr getPOAManager();

    // Called by a component whose exit() has run, from any thread: disposes of it on the
    // manager's thread, and shuts the manager down when it was the last one and
    // "manager.shutdown_on_nortcs" is YES.
    void notifyExited(RTObject_impl* comp);

private:
    Manager();
    ~Manager();
    void initORB();
    void installSignalHandlers();
    void disposeExited();
    void loadModuleList(const std::string& key, bool quiet);
    bool noComponents();

    struct Factory {
        coil::Properties profile;
        RtcNewFunc create;
        RtcDeleteFunc destroy;
        int created = 0;
    };
    struct Component {
        RTObject_impl* comp;
        Factory* factory;
    };

    coil::Properties m_config;
    // Guards m_changes, the keys set through the manager object.
    std::mutex m_configMutex;
    coil::Properties m_changes;
    std::size_t m_changeCount = 0;
    ModuleInitProc m_initProc = nullptr;
    CORBA::ORB_var m_orb;
    PortableServer::POA_var m_poa;
    PortableServer::POAManager_var m_poaManager;

    // Guards the factory and component lists and the shutdown state; m_wake signals the
    // manager's thread (shutdown requested, a component exited).
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::vector<Factory*> m_factories;
    std::vector<Component> m_components;
    std::vector<RTObject_impl*> m_exited;
    bool m_shutdownRequested = false;
    bool m_shutdownStarted = false;
    bool m_shutdownDone = false;
    std::thread m_signalWatcher;
    int m_signalPipe[2] = {-1, -1};
    // The components' CORBA objects and names; created with the ORB, destroyed with it.
    remote::Registry* m_remote = nullptr;
    // The manager's own CORBA object, its names and its master and slave links; null when
    // "manager.corba_servant" is NO.
    remote::ManagerFace* m_face = nullptr;
    ModuleManager* m_modules = nullptr;

    static Manager* s_instance;
    friend class RTObject_impl;
};

}  // namespace RTC

#endif
