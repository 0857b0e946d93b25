#include "ManagerConfiguration.h"

#include <coil/stringutil.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <vector>

namespace RTC {

namespace {

// The middleware's defaults, for the keys this middleware reads. The "manager." keys come in the
// order the manager's profile lists them. manager.modules.abs_path_allowed is NO where the
// middleware says YES: absolute module paths are the process's own choice (see ModuleManager).
// clang-format off
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
// clang-format on

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

const char** ManagerConfiguration::defaults() { return const_cast<const char**>(kDefaultConfig); }

void ManagerConfiguration::read(int argc, char** argv, coil::Properties& config) {
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
        config.load(in);
        config.setProperty("config_file", path);
        loaded = true;
        break;
    }
    if (!loaded && !file.empty()) {
        std::cerr << "manager: cannot read configuration file \"" << file << "\"" << std::endl;
        if (!ignoreMissingFile) std::exit(255);
    }
    utsname un;
    if (::uname(&un) == 0) {
        config.setDefault("os.name", un.sysname);
        config.setDefault("os.release", un.release);
        config.setDefault("os.version", un.version);
        config.setDefault("os.arch", un.machine);
        config.setDefault("os.hostname", un.nodename);
    }
    config.setProperty("manager.pid", std::to_string(::getpid()));
    if (master) config.setProperty("manager.is_master", "YES");
    for (const std::string& o : overrides) {
        std::string key, value;
        if (splitOption(o, key, value))
            config.setProperty(key, value);
        else
            std::cerr << "manager: ignoring option -o \"" << o << "\" (expected key:value)\n";
    }
    // The instance name is a format of its own: "manager_%p" -> "manager_<pid>".
    std::string instance = config.getProperty("manager.instance_name");
    for (std::string::size_type at = instance.find("%p"); at != std::string::npos;
         at = instance.find("%p", at))
        instance.replace(at, 2, std::to_string(::getpid()));
    config.setProperty("manager.instance_name", instance);
}

}  // namespace RTC
