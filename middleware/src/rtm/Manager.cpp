#include <rtm/Manager.h>
#include <rtm/PeriodicExecutionContext.h>

#include "LocalSocket.h"
#include "ManagerConfiguration.h"
#include "ModuleManager.h"
#include "remote/ManagerFace.h"
#include "remote/Registry.h"

#include <coil/stringutil.h>
#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

namespace RTC {

Manager* Manager::s_instance = nullptr;

namespace {

// Written by the signal handler, read by the watcher thread.
int g_signalPipe = -1;

void onSignal(int) {
    const char byte = 's';
    if (g_signalPipe >= 0) {
        const int saved = errno;
        (void)!::write(g_signalPipe, &byte, 1);
        errno = saved;
    }
}

bool isYes(const std::string& value) { return coil::toBool(value, "YES", "NO", false); }

// The port of a "host:port" address; 2810 when there is none.
std::string masterPort(const std::string& address) {
    const auto colon = address.rfind(':');
    std::string port = colon == std::string::npos ? "" : address.substr(colon + 1);
    coil::eraseBothEndsBlank(port);
    if (port.empty() || port.find_first_not_of("0123456789") != std::string::npos) return "2810";
    return port;
}

std::vector<std::string> splitWords(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    std::string w;
    while (in >> w) words.push_back(w);
    return words;
}

// The items of a list separated by "," or ";", without blanks or empty items.
std::vector<std::string> splitList(const std::string& text) {
    std::vector<std::string> items;
    for (const std::string& part : coil::split(text, ",", true))
        for (const std::string& item : coil::split(part, ";", true)) items.push_back(item);
    return items;
}

}  // namespace

Manager::Manager() { m_config.setDefaults(ManagerConfiguration::defaults()); }

Manager::~Manager() = default;

namespace {

// A port receiving HD values over corba_cdr gets each in a fresh buffer of tens of megabytes from
// the ORB. glibc serves such sizes with mmap from the threads' own arenas and unmaps them when
// freed, so every value costs a page fault per page and the zeroing of each page (at 1920x1080,
// some five times the decoding). One arena with no mmap threshold and no trimming lets a freed
// buffer serve the next value. Left alone when the user tunes malloc through the environment.
void keepLargeBuffersForReuse() {
    const char* tunables = std::getenv("GLIBC_TUNABLES");
    if (std::getenv("MALLOC_ARENA_MAX") || std::getenv("MALLOC_MMAP_THRESHOLD_") ||
        (tunables && std::strstr(tunables, "malloc")))
        return;
    mallopt(M_ARENA_MAX, 1);
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
}

}  // namespace

Manager* Manager::init(int argc, char** argv) {
    if (s_instance) return s_instance;
    keepLargeBuffersForReuse();
    s_instance = new Manager();
    ManagerConfiguration::read(argc, argv, s_instance->m_config);
    s_instance->initORB();
    s_instance->installSignalHandlers();
    s_instance->loadModuleList("manager.preload.modules", /*quiet=*/true);
    return s_instance;
}

Manager& Manager::instance() { return *s_instance; }

void Manager::initORB() {
    std::vector<std::string> args{"manager"};
    const std::string corbaArgs = m_config.getProperty("corba.args");
    for (const std::string& w : splitWords(corbaArgs)) args.push_back(w);
    std::string endpoints = m_config.getProperty("corba.endpoints");
    if (endpoints.empty()) endpoints = m_config.getProperty("corba.endpoint");
    std::vector<std::string> listen = splitList(endpoints);
    // A master listens first on the port of corba.master_manager, so that
    // corbaloc:iiop:<host>:<port>/manager reaches it: on the host of the first endpoint, so that
    // "corba.endpoints: 127.0.0.1:" keeps the whole process on loopback (the middleware listens
    // there on every interface), and on every interface when no endpoint is given.
    if (isYes(m_config.getProperty("manager.is_master"))) {
        const std::string first = listen.empty() ? std::string() : listen.front();
        const auto colon = first.rfind(':');
        const std::string host = colon == std::string::npos ? first : first.substr(0, colon);
        listen.insert(listen.begin(),
                      host + ":" + masterPort(m_config.getProperty("corba.master_manager")));
    }
    for (const std::string& ep : listen) {
        args.push_back("-ORBendPoint");
        args.push_back("giop:tcp:" + ep);
    }
    // One 640x480 depth map is about 9.8 MB of CDR, far above omniORB's 2 MiB default; a
    // 1920x1080 one (32 octets a point) is 66 MB, just over 64 MiB.
    if (corbaArgs.find("giopMaxMsgSize") == std::string::npos) {
        args.push_back("-ORBgiopMaxMsgSize");
        args.push_back("134217728");
    }
    std::vector<std::string> withSocket;
    std::string why;
    const std::string socketDir =
        LocalSocket::endpointsConfigured(corbaArgs) ? std::string() : LocalSocket::directory(&why);
    if (!socketDir.empty()) {
        LocalSocket::removeStale(socketDir);
        withSocket = args;
        // An endpoint given replaces omniORB's default one, which is therefore named too.
        if (listen.empty()) withSocket.insert(withSocket.end(), {"-ORBendPoint", "giop:tcp::"});
        withSocket.insert(withSocket.end(),
                          {"-ORBendPoint", "giop:unix:", "-ORBunixTransportDirectory", socketDir});
    } else if (!why.empty()) {
        std::cerr << "manager: no Unix socket for peers on this host, they use TCP: " << why
                  << std::endl;
    }
    // omniORB opens its endpoints when the root POA is first asked for.
    const auto start = [this](std::vector<std::string> words) {
        std::vector<char*> argv;
        for (std::string& w : words) argv.push_back(&w[0]);
        argv.push_back(nullptr);
        int argc = static_cast<int>(words.size());
        m_orb = CORBA::ORB_init(argc, argv.data());
        CORBA::Object_var obj = m_orb->resolve_initial_references("RootPOA");
        m_poa = PortableServer::POA::_narrow(obj);
    };
    try {
        if (!withSocket.empty()) {
            try {
                start(withSocket);
            } catch (const CORBA::Exception& e) {
                std::cerr << "manager: cannot listen on a Unix socket in " << socketDir << " ("
                          << e._name() << "); peers on this host use TCP" << std::endl;
                if (!CORBA::is_nil(m_orb)) m_orb->destroy();
                m_orb = CORBA::ORB::_nil();
                m_poa = PortableServer::POA::_nil();
            }
        }
        if (CORBA::is_nil(m_poa)) start(args);
        m_poaManager = m_poa->the_POAManager();
        m_remote = new remote::Registry(*this);
        m_modules = new ModuleManager(m_config);
        if (isYes(m_config.getProperty("manager.corba_servant")))
            m_face = new remote::ManagerFace(*this, *m_remote);
    } catch (const CORBA::Exception& e) {
        std::cerr << "manager: cannot initialise the ORB (" << e._name()
                  << "); check corba.args and corba.endpoints" << std::endl;
        std::exit(1);
    }
}

void Manager::installSignalHandlers() {
    if (::pipe(m_signalPipe) != 0) return;
    g_signalPipe = m_signalPipe[1];
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    const int readEnd = m_signalPipe[0];
    m_signalWatcher = std::thread([this, readEnd] {
        char byte = 0;
        while (::read(readEnd, &byte, 1) < 0 && errno == EINTR) {
        }
        if (byte == 's') terminate();
    });
}

void Manager::setModuleInitProc(ModuleInitProc proc) { m_initProc = proc; }

bool Manager::activateManager() {
    try {
        m_poaManager->activate();
    } catch (const CORBA::Exception&) {
        return false;
    }
    loadModuleList("manager.modules.preload", /*quiet=*/false);
    if (m_initProc) m_initProc(this);
    for (const std::string& item : splitList(m_config.getProperty("manager.components.precreate")))
        if (!createComponent(item.c_str()))
            std::cerr << "manager: cannot create \"" << item << "\" (manager.components.precreate)"
                      << std::endl;
    if (!m_config.getProperty("manager.components.preconnect").empty())
        std::cerr << "manager: manager.components.preconnect is not supported; connect with rtctl"
                  << std::endl;
    for (const std::string& name :
         splitList(m_config.getProperty("manager.components.preactivation"))) {
        RTObject_impl* comp = getComponent(name.c_str());
        ExecutionContextBase* ec = comp ? comp->getContextObject(0) : nullptr;
        if (!ec || ec->activate_component(comp) != RTC::RTC_OK)
            std::cerr << "manager: cannot activate \"" << name
                      << "\" (manager.components.preactivation)" << std::endl;
    }
    return true;
}

void Manager::loadModuleList(const std::string& key, bool quiet) {
    for (const std::string& item : splitList(m_config.getProperty(key))) {
        std::string file, init, error;
        m_modules->parsePreloadItem(item, file, init);
        if (!loadModule(file, init, error) && !quiet)
            std::cerr << "manager: cannot load module \"" << file << "\" (" << key << "): " << error
                      << std::endl;
    }
}

bool Manager::noComponents() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_components.empty();
}

void Manager::runManager(bool no_block) {
    if (no_block) return;
    // A process that is not the master and hosts nothing ends by itself after a while.
    const bool autoEnd = !isYes(m_config.getProperty("manager.is_master")) &&
                         isYes(m_config.getProperty("manager.shutdown_auto"));
    const double seconds = std::atof(m_config.getProperty("manager.auto_shutdown_duration").c_str());
    const auto period = std::chrono::milliseconds(static_cast<long>(seconds * 1000));
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        auto woken = [this] { return m_shutdownRequested || !m_exited.empty(); };
        if (autoEnd && period.count() > 0) {
            if (!m_wake.wait_for(lock, period, woken)) {
                if (m_components.empty()) break;
                continue;
            }
        } else {
            m_wake.wait(lock, woken);
        }
        if (m_shutdownRequested) break;
        lock.unlock();
        disposeExited();
        lock.lock();
    }
    lock.unlock();
    shutdown();
}

void Manager::terminate() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_shutdownRequested = true;
    }
    m_wake.notify_all();
}

bool Manager::isShutdown() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_shutdownDone;
}

void Manager::disposeExited() {
    std::vector<RTObject_impl*> exited;
    bool none = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        exited.swap(m_exited);
    }
    for (RTObject_impl* comp : exited) deleteComponent(comp);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        none = m_components.empty();
    }
    if (none && isYes(m_config.getProperty("manager.shutdown_on_nortcs")) &&
        !isYes(m_config.getProperty("manager.is_master")))
        terminate();
}

void Manager::notifyExited(RTObject_impl* comp) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_exited.push_back(comp);
    }
    m_wake.notify_all();
}

void Manager::shutdown() {
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_shutdownStarted) {
            // Another thread is shutting down: wait for it, unless that would be this thread.
            if (m_signalWatcher.get_id() != std::this_thread::get_id())
                m_wake.wait(lock, [this] { return m_shutdownDone; });
            return;
        }
        m_shutdownStarted = true;
        m_shutdownRequested = true;
    }
    m_wake.notify_all();
    // Peers that never answer hold up the end for this long at most, all of them together.
    if (m_remote) m_remote->beginEnding();
    // Masters and slaves told, and the manager's names unbound, while calls still come in.
    if (m_face) m_face->shutdown();
    // Names unbound and peers disconnected while the ORB still serves their calls back.
    if (m_remote) m_remote->detachAll();
    // No new requests, and those in progress finish, before components go away. Holding rather
    // than deactivating lets components still deactivate objects of their own as they finalise;
    // the held requests are refused when the POA goes.
    try {
        m_poaManager->hold_requests(true);
    } catch (const CORBA::Exception&) {
    }
    std::vector<Component> components;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        components = m_components;
    }
    for (auto it = components.rbegin(); it != components.rend(); ++it) deleteComponent(it->comp);
    delete m_face;
    m_face = nullptr;
    delete m_remote;
    m_remote = nullptr;
    // Objects that components activated themselves (service servants) go with the POA; the ORB
    // refuses to shut down while any is still in its object table.
    try {
        m_poa->destroy(true, true);
    } catch (const CORBA::Exception&) {
    }
    try {
        m_orb->destroy();
    } catch (const CORBA::Exception&) {
    }
    if (m_signalPipe[1] >= 0) {
        const char byte = 'q';
        (void)!::write(m_signalPipe[1], &byte, 1);
    }
    if (m_signalWatcher.joinable()) {
        if (m_signalWatcher.get_id() == std::this_thread::get_id())
            m_signalWatcher.detach();
        else
            m_signalWatcher.join();
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_shutdownDone = true;
    }
    m_wake.notify_all();
}

bool Manager::registerFactory(coil::Properties& profile, RtcNewFunc new_func,
                              RtcDeleteFunc delete_func) {
    if (!new_func || !delete_func) return false;
    const std::string id = profile.getProperty("implementation_id");
    if (id.empty()) return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (Factory* f : m_factories)
        if (f->profile.getProperty("implementation_id") == id) return false;
    auto* f = new Factory;
    f->profile = profile;
    f->create = new_func;
    f->destroy = delete_func;
    m_factories.push_back(f);
    return true;
}

std::vector<std::string> Manager::getFactoryIds() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> ids;
    for (Factory* f : m_factories) ids.push_back(f->profile.getProperty("implementation_id"));
    return ids;
}

namespace {

// What a create_component argument asks for: implementation_id always, vendor, category and
// version only when given.
struct Wanted {
    std::string vendor, category, id, language, version;
    bool matches(const coil::Properties& profile) const {
        return profile.getProperty("implementation_id") == id &&
               (vendor.empty() || profile.getProperty("vendor") == vendor) &&
               (category.empty() || profile.getProperty("category") == category) &&
               (version.empty() || profile.getProperty("version") == version);
    }
};

// Splits "<id>[?k=v&...]"; false when it cannot name a component type.
bool parseComponentArgs(std::string args, Wanted& wanted, coil::Properties& query) {
    coil::eraseBothEndsBlank(args);
    if (!args.empty() && (args.back() == '&' || args.back() == '?')) args.pop_back();
    if (args.empty() || std::count(args.begin(), args.end(), '?') > 1) return false;
    const auto q = args.find('?');
    const std::string id = args.substr(0, q);
    if (id.find(':') == std::string::npos) {
        wanted.id = id;
    } else {
        std::vector<std::string> f;
        std::string::size_type start = 0;
        for (;;) {
            const auto colon = id.find(':', start);
            f.push_back(id.substr(start, colon - start));
            if (colon == std::string::npos) break;
            start = colon + 1;
        }
        if (f.size() != 6 || f[0] != "RTC") return false;
        wanted = Wanted{f[1], f[2], f[3], f[4], f[5]};
    }
    if (wanted.id.empty()) return false;
    if (q != std::string::npos) {
        std::istringstream in(args.substr(q + 1));
        std::string item;
        while (std::getline(in, item, '&')) {
            // An item with no "=" or more than one says nothing certain: it is dropped.
            if (std::count(item.begin(), item.end(), '=') != 1) continue;
            const auto eq = item.find('=');
            std::string key = item.substr(0, eq);
            std::string value = item.substr(eq + 1);
            coil::eraseBothEndsBlank(key);
            coil::eraseBothEndsBlank(value);
            query.setProperty(key, value);
        }
    }
    return true;
}

// Manager keys a new component takes over (exact keys, or branches ending in ".").
const char* const kInheritedKeys[] = {
    "config.version", "openrtm.name", "openrtm.version", "os.", "corba.endpoints",
    "corba.endpoints_ipv4", "corba.endpoints_ipv6", "corba.id", "exec_cxt.periodic.type",
    "exec_cxt.periodic.rate", "exec_cxt.event_driven.type", "exec_cxt.sync_transition",
    "exec_cxt.sync_activation", "exec_cxt.sync_deactivation", "exec_cxt.sync_reset",
    "exec_cxt.transition_timeout", "exec_cxt.activation_timeout",
    "exec_cxt.deactivation_timeout", "exec_cxt.reset_timeout", "exec_cxt.cpu_affinity",
    "logger.enable", "logger.log_level", "naming.enable", "naming.type", "naming.formats",
    "sdo.service.", "manager.instance_name"};

// The section "<section>.*" of `config`, then the file its "config_file" names in the process's
// own configuration `own` (never one named from outside).
void mergeSection(const coil::Properties& config, const coil::Properties& own,
                  const std::string& section, coil::Properties& props) {
    const coil::Properties* node = config.findNode(section);
    if (!node) return;
    props << *node;
    const coil::Properties* ownNode = own.findNode(section);
    const std::string file = ownNode ? ownNode->getProperty("config_file") : std::string();
    if (file.empty()) return;
    std::ifstream in(file);
    if (in)
        props.load(in);
    else
        std::cerr << "manager: cannot read " << section << ".config_file \"" << file << "\""
                  << std::endl;
}

}  // namespace

RTObject_impl* Manager::createComponent(const char* comp_args) {
    Wanted wanted;
    coil::Properties query;
    if (!comp_args || !parseComponentArgs(comp_args, wanted, query)) return nullptr;
    // Routing keys are for a master; here the component is made in this process.
    for (const char* key : {"manager_name", "manager_address"})
        if (query.hasKey(key)) delete query.removeNode(key);

    auto findFactory = [&]() -> Factory* {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (Factory* f : m_factories)
            if (wanted.matches(f->profile)) return f;
        return nullptr;
    };
    Factory* factory = findFactory();
    if (!factory && isYes(m_config.getProperty("manager.modules.search_auto"))) {
        for (const coil::Properties& module : getLoadableModules()) {
            if (!wanted.matches(module)) continue;
            std::string error;
            if (!loadModule(module.getProperty("module_file_name"), "", error))
                std::cerr << "manager: cannot load module \""
                          << module.getProperty("module_file_path") << "\": " << error << std::endl;
            break;
        }
        factory = findFactory();
    }
    int number = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_shutdownRequested || !factory) return nullptr;
        number = factory->created++;
    }

    const coil::Properties config = getConfiguration();
    coil::Properties props(factory->profile);
    for (const char* key : kInheritedKeys) {
        const std::string k = key;
        if (k.back() == '.') {
            if (const coil::Properties* node = config.findNode(k.substr(0, k.size() - 1))) {
                coil::Properties branch;
                branch.getNode(k.substr(0, k.size() - 1)) << *node;
                props << branch;
            }
        } else if (!config.getProperty(k).empty()) {
            props.setProperty(k, config.getProperty(k));
        }
    }
    props << query;
    if (props.getProperty("instance_name").empty())
        props.setProperty("instance_name", props.getProperty("type_name") + std::to_string(number));
    const std::string category = props.getProperty("category");
    if (!category.empty()) {
        mergeSection(config, m_config, category + "." + props.getProperty("type_name"), props);
        mergeSection(config, m_config, category + "." + props.getProperty("instance_name"), props);
    }

    RTObject_impl* comp = factory->create(this);
    if (!comp) return nullptr;
    comp->setProperties(props);
    if (comp->initialize() != RTC::RTC_OK) {
        factory->destroy(comp);
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_components.push_back(Component{comp, factory});
    }
    if (m_remote) m_remote->attach(comp);
    return comp;
}

std::vector<coil::Properties> Manager::getFactoryProfiles() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<coil::Properties> out;
    for (Factory* f : m_factories) out.push_back(f->profile);
    return out;
}

bool Manager::loadModule(const std::string& name, const std::string& initFunc, std::string& error) {
    return tryLoadModule(name, initFunc, error) == RTC::RTC_OK;
}

ReturnCode_t Manager::tryLoadModule(const std::string& name, const std::string& initFunc,
                                    std::string& error) {
    return m_modules->load(name, initFunc, this, error);
}

bool Manager::loadableType(const std::string& comp_args) {
    Wanted wanted;
    coil::Properties query;
    if (!parseComponentArgs(comp_args, wanted, query)) return false;
    const std::string language = wanted.language.empty() ? "C++" : wanted.language;
    for (const coil::Properties& module : getLoadableModules())
        if (wanted.matches(module) && module.getProperty("language") == language) return true;
    return false;
}

bool Manager::unloadModule(const std::string& path) { return m_modules->unload(path); }

std::vector<std::string> Manager::getLoadedModules() { return m_modules->loaded(); }

std::vector<coil::Properties> Manager::getLoadableModules() { return m_modules->loadable(); }

void Manager::deleteComponent(RTObject_impl* comp) {
    Factory* factory = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = std::find_if(m_components.begin(), m_components.end(),
                               [&](const Component& c) { return c.comp == comp; });
        if (it == m_components.end()) return;
        factory = it->factory;
        m_components.erase(it);
    }
    // Out of reach from outside before it goes.
    if (m_remote) m_remote->detach(comp);
    if (comp->isInitialized()) comp->exit();
    factory->destroy(comp);
}

bool Manager::unregisterComponent(RTObject_impl* comp) {
    auto known = [&] {
        return std::find_if(m_components.begin(), m_components.end(),
                            [&](const Component& c) { return c.comp == comp; });
    };
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (known() == m_components.end()) return false;
    }
    // Still listed while detaching: a shutdown meanwhile then stops at this component's thread
    // instead of destroying the registry under it.
    if (m_remote) m_remote->detach(comp);
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = known();
    if (it != m_components.end()) m_components.erase(it);
    return true;
}

std::vector<RTObject_impl*> Manager::getComponents() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<RTObject_impl*> out;
    for (const Component& c : m_components) out.push_back(c.comp);
    return out;
}

RTObject_impl* Manager::getComponent(const char* instance_name) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const Component& c : m_components)
        if (std::strcmp(c.comp->getInstanceName(), instance_name) == 0) return c.comp;
    return nullptr;
}

coil::Properties& Manager::getConfig() { return m_config; }

coil::Properties Manager::getConfiguration() {
    coil::Properties config(m_config);
    std::lock_guard<std::mutex> lock(m_configMutex);
    config << m_changes;
    return config;
}

bool Manager::setConfiguration(const std::string& key, const std::string& value,
                               std::size_t maxChanges) {
    std::lock_guard<std::mutex> lock(m_configMutex);
    if (!m_changes.findNode(key)) {
        if (m_changeCount >= maxChanges) return false;
        ++m_changeCount;
    }
    m_changes.setProperty(key, value);
    return true;
}
CORBA::ORB_ptr Manager::getORB() { return CORBA::ORB::_duplicate(m_orb); }
PortableServer::POA_ptr Manager::getPOA() { return PortableServer::POA::_duplicate(m_poa); }
PortableServer::POAManager_ptr Manager::getPOAManager() {
    return PortableServer::POAManager::_duplicate(m_poaManager);
}

}  // namespace RTC
