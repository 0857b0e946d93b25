#include <rtm/Manager.h>
#include <rtm/PeriodicExecutionContext.h>

#include "ModuleManager.h"
#include "remote/ManagerFace.h"
#include "remote/Registry.h"

#include <coil/stringutil.h>
#include <malloc.h>
#include <signal.h>
#include <sys/utsname.h>
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

// The middleware's defaults, for the keys this middleware reads. The "manager." keys come in the
// order the manager's profile lists them. manager.modules.abs_path_allowed is NO where the
// middleware says YES: absolute module paths are the process's own choice (see ModuleManager).
const char* const kDefaultConfig[] = {
    "config.version", "1.0.0",
    "openrtm.version", "OpenRTM-aist-1.0.0",
    "manager.instance_name", "manager",
    "manager.name", "manager",
    "manager.naming_formats", "%h.host_cxt/%n.mgr",
    "manager.pid", "",
    "manager.modules.load_path", "./",
    "manager.modules.abs_path_allowed", "NO",
    "manager.modules.C++.manager_cmd", "rtcd",
    "manager.modules.C++.profile_cmd", "rtcprof",
    "manager.modules.C++.suffixes", "so",
    "manager.modules.C++.load_paths", "",
    "manager.modules.Python.manager_cmd", "rtcd_python",
    "manager.modules.Python.profile_cmd", "rtcprof_python",
    "manager.modules.Python.suffixes", "py",
    "manager.modules.Python.load_paths", "",
    "manager.modules.Python3.manager_cmd", "rtcd_python3",
    "manager.modules.Python3.profile_cmd", "rtcprof_python3",
    "manager.modules.Python3.suffixes", "py",
    "manager.modules.Python3.load_paths", "",
    "manager.modules.Java.manager_cmd", "rtcd_java",
    "manager.modules.Java.profile_cmd", "rtcprof_java",
    "manager.modules.Java.suffixes", "class",
    "manager.modules.Java.load_paths", "",
    "manager.modules.search_auto", "YES",
    "manager.modules.preload", "",
    "manager.modules.config_path", "",
    "manager.modules.download_allowed", "",
    "manager.modules.init_func_suffix", "",
    "manager.modules.init_func_prefix", "",
    "manager.is_master", "NO",
    "manager.corba_servant", "YES",
    "manager.shutdown_on_nortcs", "YES",
    "manager.shutdown_auto", "YES",
    "manager.auto_shutdown_duration", "10.0",
    "manager.termination_waittime", "0.5",
    "manager.components.naming_policy", "process_unique",
    "manager.components.precreate", "",
    "manager.components.preconnect", "",
    "manager.components.preactivation", "",
    "manager.command", "rtcd",
    "manager.nameservers", "default",
    "manager.language", "C++",
    "manager.supported_languages", "C++, Python, Python3, Java",
    "manager.preload.modules", "",
    "manager.local_service.enabled_services", "",
    "manager.local_service.modules", "",
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
    "corba.master_manager", "localhost:2810",
    "corba.update_master_manager.enable", "YES",
    "corba.update_master_manager.interval", "10.0",
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

// "key:value" of a -o option; false when it has no separator.
bool splitOption(const std::string& option, std::string& key, std::string& value) {
    const auto colon = option.find(':');
    if (colon == std::string::npos) return false;
    key = option.substr(0, colon);
    value = option.substr(colon + 1);
    coil::eraseBothEndsBlank(key);
    coil::eraseBothEndsBlank(value);
    return !key.empty();
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

void usage() {
    std::cerr << "Options (all optional):\n"
                 "  -f FILE        configuration file (default $RTC_MANAGER_CONFIG, ./rtc.conf,\n"
                 "                 /etc/rtc.conf, ...); a missing FILE ends the program\n"
                 "  -i             carry on without the file named by -f\n"
                 "  -o KEY:VALUE   set a configuration value; repeatable\n"
                 "  -d             run as the master manager (manager.is_master YES)\n"
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
    s_instance->loadModuleList("manager.preload.modules", /*quiet=*/true);
    return s_instance;
}

Manager& Manager::instance() { return *s_instance; }

void Manager::initConfig(int argc, char** argv) {
    std::string file;
    bool master = false;
    bool ignoreMissingFile = false;
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
            master = true;
        } else if (arg == "-i") {
            ignoreMissingFile = true;
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
    std::vector<std::string> candidates;
    if (!file.empty()) {
        candidates.push_back(file);
    } else {
        if (const char* env = std::getenv("RTC_MANAGER_CONFIG"))
            if (*env) candidates.push_back(env);
        for (const char* path : {"./rtc.conf", "/etc/rtc.conf", "/etc/rtc/rtc.conf",
                                 "/usr/local/etc/rtc.conf", "/usr/local/etc/rtc/rtc.conf"})
            candidates.push_back(path);
    }
    bool loaded = false;
    for (const std::string& path : candidates) {
        std::ifstream in(path);
        if (!in) continue;
        m_config.load(in);
        m_config.setProperty("config_file", path);
        loaded = true;
        break;
    }
    if (!loaded && !file.empty()) {
        std::cerr << "manager: cannot read configuration file \"" << file << "\"" << std::endl;
        if (!ignoreMissingFile) std::exit(255);
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
    if (master) m_config.setProperty("manager.is_master", "YES");
    for (const std::string& o : overrides) {
        std::string key, value;
        if (splitOption(o, key, value))
            m_config.setProperty(key, value);
        else
            std::cerr << "manager: ignoring option -o \"" << o << "\" (expected key:value)\n";
    }
    // The instance name is a format of its own: "manager_%p" -> "manager_<pid>".
    std::string instance = m_config.getProperty("manager.instance_name");
    for (std::string::size_type at = instance.find("%p"); at != std::string::npos;
         at = instance.find("%p", at))
        instance.replace(at, 2, std::to_string(::getpid()));
    m_config.setProperty("manager.instance_name", instance);
}

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
