// The manager's module loader: finds shared objects along the configured load paths, loads them,
// calls their init functions, and lists what could be loaded. Reads the "manager.modules.*" keys
// of the process's own configuration, which nothing from outside can change: modules come only
// from below "manager.modules.load_path", or from any absolute path when
// "manager.modules.abs_path_allowed" is YES, and the profile commands run without a shell.
#ifndef RTM_MODULEMANAGER_H
#define RTM_MODULEMANAGER_H

#include <coil/Properties.h>
#include <rtm/RTC.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace RTC {

class Manager;

class ModuleManager {
public:
    // `config` is the manager's configuration; it outlives this object.
    explicit ModuleManager(coil::Properties& config);
    ~ModuleManager();
    ModuleManager(const ModuleManager&) = delete;
    ModuleManager& operator=(const ModuleManager&) = delete;

    // Finds `name`, loads it (once; a second load of the same file only runs the init function
    // again) and calls `initFunc` with `manager`. An empty `initFunc` is derived from the name:
    // the text before its first "." followed by "Init". On failure returns false with a one-line
    // reason: PRECONDITION_NOT_MET when the path is not allowed (a URL, a ".." part, an absolute
    // path outside the load path while absolute paths are not allowed), BAD_PARAMETER when
    // nothing loadable is there. A file that loaded but lacks the function stays loaded.
    ReturnCode_t load(const std::string& name, const std::string& initFunc, Manager* manager,
                      std::string& error);
    // Forgets the module whose absolute path is `path`; false when none is loaded from there.
    // Its code stays mapped, because factories and IDL registrations made by its init function
    // may still be in use.
    bool unload(const std::string& path);
    // Absolute paths of the loaded modules, in loading order.
    std::vector<std::string> loaded();
    // Profiles of the modules found along the load paths of every supported language, each with
    // "module_file_name", "module_file_path" and "language" added. Profiles come from running
    // the language's profile command (split into words, no shell) on each file, for at most a
    // few seconds each; results are kept until the file goes.
    std::vector<coil::Properties> loadable();

    // The init function the loader calls when none is named: "Morvane.so" -> "MorvaneInit".
    static std::string initFuncFor(const std::string& name);
    // A preload item, "file" or "file(InitFunc)", as a file name (with "." and the first C++
    // suffix appended when it has no ".") and an init function (empty when not given).
    void parsePreloadItem(const std::string& item, std::string& file, std::string& initFunc);

private:
    ReturnCode_t find(const std::string& name, std::string& path, std::string& error);
    std::string profileCommand(const std::string& language);

    coil::Properties& m_config;
    // Guards m_modules and m_profiles.
    std::mutex m_mutex;
    struct Module {
        std::string path;
        void* handle;
    };
    std::vector<Module> m_modules;
    struct Probe {
        bool ok;
        coil::Properties profile;
    };
    std::map<std::string, Probe> m_profiles;  // by absolute file path
};

}  // namespace RTC

#endif
