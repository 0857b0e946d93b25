#include <rtm/Manager.h>
#include <rtm/PeriodicExecutionContext.h>

#include "remote/Registry.h"

#include <malloc.h>
#include <signal.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

namespace RTC {

Manager* Manager::s_instance = nullptr;

namespace {

// The middleware's defaults, for the keys this middleware reads.
const char* const kDefaultConfig[] = {
    "config.version", "1.0.0",
    "openrtm.version", "OpenRTM-aist-1.0.0",
    "manager.name", "manager",
    "manager.instance_name", "manager",
    "manager.naming_formats", "%h.host_cxt/%n.mgr",
    "manager.shutdown_on_nortcs", "YES",
    "manager.shutdown_auto", "YES",
    "manager.corba_servant", "YES",
    "logger.enable", "YES",
    "logger.file_name", "./rtc%p.log",
    "logger.date_format", "%b %d %H:%M:%S",
    "logger.log_level", "INFO",
    "naming.enable", "YES",
    "naming.type", "corba",
    "naming.formats", "%h.host_cxt/%n.rtc",
    "naming.update.enable", "YES",
    "naming.update.interval", "10.0",
    "corba.args", "",
    "corba.endpoint", "",
    "corba.endpoints", "",
    "corba.id", "omniORB",
    "corba.nameservers", "localhost",
    "exec_cxt.periodic.type", "PeriodicExecutionContext",
    "exec_cxt.periodic.rate", "1000",
    "",
};

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

std::string trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return "";
    const auto e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

// "key:value" of a -o option; false when it has no separator.
bool splitOption(const std::string& option, std::string& key, std::string& value) {
    const auto colon = option.find(':');
    if (colon == std::string::npos) return false;
    key = trim(option.substr(0, colon));
    value = trim(option.substr(colon + 1));
    return !key.empty();
}

std::vector<std::string> splitWords(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    std::string w;
    while (in >> w) words.push_back(w);
    return words;
}

std::vector<std::string> splitList(const std::string& text) {
    std::vector<std::string> items;
    std::string cur;
    for (char c : text) {
        if (c == ',' || c == ';') {
            if (!trim(cur).empty()) items.push_back(trim(cur));
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!trim(cur).empty()) items.push_back(trim(cur));
    return items;
}

void usage() {
    std::cerr << "Options (all optional):\n"
                 "  -f FILE        configuration file (default ./rtc.conf, then /etc/rtc.conf)\n"
                 "  -o KEY:VALUE   set a configuration value; repeatable\n"
                 "  -d             ignore configuration files, use the defaults\n"
                 "  -p PORT        listen on this TCP port (corba.endpoints :PORT)\n"
                 "  -a             create no manager servant\n"
                 "  -h             this help\n";
}

}  // namespace

Manager::Manager() {
    m_config.setDefaults(const_cast<const char**>(kDefaultConfig));
}

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
    s_instance->initConfig(argc, argv);
    s_instance->initORB();
    s_instance->installSignalHandlers();
    return s_instance;
}

Manager& Manager::instance() { return *s_instance; }

void Manager::initConfig(int argc, char** argv) {
    std::string file;
    bool useFiles = true;
    std::vector<std::string> overrides;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i] ? argv[i] : "";
        auto next = [&](std::string& out) {
            if (arg.size() > 2) {
                out = arg.substr(2);
                return true;
            }
            if (i + 1 < argc) {
                out = argv[++i];
                return true;
            }
            std::cerr << "manager: option " << arg << " needs a value\n";
            return false;
        };
        std::string value;
        if (arg.compare(0, 2, "-f") == 0) {
            if (next(value)) file = value;
        } else if (arg.compare(0, 2, "-o") == 0) {
            if (next(value)) overrides.push_back(value);
        } else if (arg == "-d") {
            useFiles = false;
        } else if (arg.compare(0, 2, "-p") == 0) {
            if (next(value)) overrides.push_back("corba.endpoints::" + value);
        } else if (arg == "-a") {
            overrides.push_back("manager.corba_servant:NO");
        } else if (arg == "-h" || arg == "--help") {
            usage();
            std::exit(0);
        } else {
            std::cerr << "manager: ignoring unknown argument \"" << arg << "\"\n";
        }
    }
    if (useFiles) {
        std::vector<std::string> candidates;
        if (!file.empty())
            candidates.push_back(file);
        else
            candidates = {"./rtc.conf", "/etc/rtc.conf"};
        bool loaded = false;
        for (const std::string& path : candidates) {
            std::ifstream in(path);
            if (!in) continue;
            m_config.load(in);
            m_config.setProperty("config_file", path);
            loaded = true;
            break;
        }
        if (!loaded && !file.empty())
            std::cerr << "manager: cannot read configuration file \"" << file << "\"\n";
    }
    for (const std::string& o : overrides) {
        std::string key, value;
        if (splitOption(o, key, value))
            m_config.setProperty(key, value);
        else
            std::cerr << "manager: ignoring option -o \"" << o << "\" (expected key:value)\n";
    }
    utsname un;
    if (::uname(&un) == 0) {
        m_config.setDefault("os.name", un.sysname);
        m_config.setDefault("os.release", un.release);
        m_config.setDefault("os.version", un.version);
        m_config.setDefault("os.arch", un.machine);
        m_config.setDefault("os.hostname", un.nodename);
    }
    m_config.setProperty("manager.pid", std::to_string(::getpid()));
}

void Manager::initORB() {
    std::vector<std::string> args{"manager"};
    const std::string corbaArgs = m_config.getProperty("corba.args");
    for (const std::string& w : splitWords(corbaArgs)) args.push_back(w);
    std::string endpoints = m_config.getProperty("corba.endpoints");
    if (endpoints.empty()) endpoints = m_config.getProperty("corba.endpoint");
    for (const std::string& ep : splitList(endpoints)) {
        args.push_back("-ORBendPoint");
        args.push_back("giop:tcp:" + ep);
    }
    // One 640x480 depth map is about 9.8 MB of CDR, far above omniORB's 2 MiB default; a
    // 1920x1080 one (32 octets a point) is 66 MB, just over 64 MiB.
    if (corbaArgs.find("giopMaxMsgSize") == std::string::npos) {
        args.push_back("-ORBgiopMaxMsgSize");
        args.push_back("134217728");
    }
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    int argc = static_cast<int>(args.size());
    try {
        m_orb = CORBA::ORB_init(argc, argv.data());
        CORBA::Object_var obj = m_orb->resolve_initial_references("RootPOA");
        m_poa = PortableServer::POA::_narrow(obj);
        m_poaManager = m_poa->the_POAManager();
        m_remote = new remote::Registry(*this);
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
    if (m_initProc) m_initProc(this);
    return true;
}

void Manager::runManager(bool no_block) {
    if (no_block) return;
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_shutdownRequested || !m_exited.empty(); });
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
    std::string flag = m_config.getProperty("manager.shutdown_on_nortcs");
    std::transform(flag.begin(), flag.end(), flag.begin(), ::toupper);
    if (none && flag == "YES") terminate();
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

RTObject_impl* Manager::createComponent(const char* comp_args) {
    if (!comp_args) return nullptr;
    const std::string args = comp_args;
    const auto q = args.find('?');
    const std::string type = trim(args.substr(0, q));
    coil::Properties params;
    if (q != std::string::npos) {
        std::istringstream in(args.substr(q + 1));
        std::string pair;
        while (std::getline(in, pair, '&')) {
            const auto eq = pair.find('=');
            if (eq == std::string::npos) continue;
            params.setProperty(trim(pair.substr(0, eq)), trim(pair.substr(eq + 1)));
        }
    }
    Factory* factory = nullptr;
    int number = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_shutdownRequested) return nullptr;
        for (Factory* f : m_factories) {
            if (f->profile.getProperty("implementation_id") == type ||
                f->profile.getProperty("type_name") == type) {
                factory = f;
                break;
            }
        }
        if (!factory) return nullptr;
        number = factory->created++;
    }
    RTObject_impl* comp = factory->create(this);
    if (!comp) return nullptr;

    coil::Properties props(factory->profile);
    for (const char* key : {"exec_cxt.periodic.type", "exec_cxt.periodic.rate"})
        if (props.getProperty(key).empty()) props.setProperty(key, m_config.getProperty(key));
    props << params;
    if (props.getProperty("instance_name").empty())
        props.setProperty("instance_name", props.getProperty("type_name") + std::to_string(number));
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
CORBA::ORB_ptr Manager::getORB() { return CORBA::ORB::_duplicate(m_orb); }
PortableServer::POA_ptr Manager::getPOA() { return PortableServer::POA::_duplicate(m_poa); }
PortableServer::POAManager_ptr Manager::getPOAManager() {
    return PortableServer::POAManager::_duplicate(m_poaManager);
}

}  // namespace RTC
