#include "ModuleManager.h"

#include <coil/stringutil.h>
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <set>
#include <sstream>
#include <system_error>

#include "ProcessLauncher.h"

namespace fs = std::filesystem;

namespace RTC {

class Manager;

namespace {

typedef void (*InitFunc)(Manager*);

std::string absolutePath(const fs::path& p) {
    std::error_code ec;
    fs::path a = fs::absolute(p, ec);
    return (ec ? p : a).lexically_normal().string();
}

bool isFile(const fs::path& p) {
    std::error_code ec;
    return fs::is_regular_file(p, ec);
}

// Every regular file below `dir`, depth first; unreadable directories are skipped.
template <class Visit>
void walk(const fs::path& dir, Visit visit) {
    std::error_code ec;
    fs::recursive_directory_iterator it(dir, fs::directory_options::skip_permission_denied, ec),
        end;
    for (; !ec && it != end; it.increment(ec))
        if (isFile(it->path())) visit(it->path());
}

// True when `path` (absolute, normal) lies below the directory `dir`.
bool isBelow(const std::string& path, const std::string& dir) {
    std::string d = absolutePath(dir);
    if (d.empty() || d.back() != '/') d += '/';
    return path.compare(0, d.size(), d) == 0;
}

bool hasParentPart(const std::string& name) {
    for (const fs::path& part : fs::path(name))
        if (part == "..") return true;
    return false;
}

// How long a profile command may take, and how much of its output is read.
constexpr auto kProfileTimeLimit = std::chrono::seconds(10);
constexpr std::size_t kProfileOutputLimit = 1 << 20;

}  // namespace

ModuleManager::ModuleManager(coil::Properties& config) : m_config(config) {}

// Handles stay open: see unload().
ModuleManager::~ModuleManager() = default;

std::string ModuleManager::initFuncFor(const std::string& name) {
    return name.substr(0, name.find('.')) + "Init";
}

void ModuleManager::parsePreloadItem(const std::string& item, std::string& file,
                                     std::string& initFunc) {
    file = item;
    coil::eraseBothEndsBlank(file);
    initFunc.clear();
    const auto open = file.find('(');
    if (open != std::string::npos && file.back() == ')') {
        initFunc = file.substr(open + 1, file.size() - open - 2);
        coil::eraseBothEndsBlank(initFunc);
        file.erase(open);
        coil::eraseBothEndsBlank(file);
    }
    if (file.find('.') == std::string::npos) {
        const std::vector<std::string> suffixes =
            coil::split(m_config.getProperty("manager.modules.C++.suffixes", "so"), ",", true);
        file += "." + (suffixes.empty() ? std::string("so") : suffixes.front());
    }
}

ReturnCode_t ModuleManager::find(const std::string& name, std::string& path, std::string& error) {
    if (name.empty()) {
        error = "no module named";
        return RTC::BAD_PARAMETER;
    }
    if (name.find("://") != std::string::npos) {
        error = "downloading modules is not allowed";
        return RTC::PRECONDITION_NOT_MET;
    }
    // Names stay below the directory they are looked up in, whatever the links on the way.
    if (hasParentPart(name)) {
        error = "\"..\" is not allowed in module paths";
        return RTC::PRECONDITION_NOT_MET;
    }
    const std::vector<std::string> dirs =
        coil::split(m_config.getProperty("manager.modules.load_path"), ",", true);
    if (name[0] == '/') {
        const std::string abs = absolutePath(name);
        const bool inLoadPath = std::any_of(dirs.begin(), dirs.end(),
                                            [&](const std::string& d) { return isBelow(abs, d); });
        if (!inLoadPath && !coil::toBool(m_config.getProperty("manager.modules.abs_path_allowed"),
                                         "YES", "NO", false)) {
            error =
                "absolute paths outside manager.modules.load_path are not allowed "
                "(manager.modules.abs_path_allowed is NO)";
            return RTC::PRECONDITION_NOT_MET;
        }
        if (!isFile(abs)) {
            error = "no such file";
            return RTC::BAD_PARAMETER;
        }
        path = abs;
        return RTC::RTC_OK;
    }
    for (const std::string& dir : dirs) {
        if (isFile(fs::path(dir) / name)) {
            path = absolutePath(fs::path(dir) / name);
            return RTC::RTC_OK;
        }
        std::error_code ec;
        fs::recursive_directory_iterator it(dir, fs::directory_options::skip_permission_denied, ec),
            end;
        for (; !ec && it != end; it.increment(ec))
            if (it->is_directory(ec) && isFile(it->path() / name)) {
                path = absolutePath(it->path() / name);
                return RTC::RTC_OK;
            }
    }
    error = "not found in manager.modules.load_path (" +
            m_config.getProperty("manager.modules.load_path") + ")";
    return RTC::BAD_PARAMETER;
}

ReturnCode_t ModuleManager::load(const std::string& name, const std::string& initFunc,
                                 Manager* manager, std::string& error) {
    std::string path;
    const ReturnCode_t found = find(name, path, error);
    if (found != RTC::RTC_OK) return found;
    void* handle = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const Module& m : m_modules)
            if (m.path == path) handle = m.handle;
        if (!handle) {
            // Local, so that two modules built with the same IDL types keep their own; never
            // unmapped, see unload().
            handle = ::dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL | RTLD_NODELETE);
            if (!handle) {
                const char* why = ::dlerror();
                error = why ? why : "cannot load";
                return RTC::BAD_PARAMETER;
            }
            m_modules.push_back(Module{path, handle});
        }
    }
    const std::string func = initFunc.empty() ? initFuncFor(name) : initFunc;
    ::dlerror();
    void* symbol = ::dlsym(handle, func.c_str());
    // dlsym also finds what the module's dependencies define ("abort", "exit"): only a function
    // of the module itself is its init function.
    Dl_info where;
    if (symbol && (::dladdr(symbol, &where) == 0 || !where.dli_fname || path != where.dli_fname))
        symbol = nullptr;
    if (!symbol) {
        error = "no init function \"" + func + "\" in " + path;
        return RTC::BAD_PARAMETER;
    }
    reinterpret_cast<InitFunc>(symbol)(manager);
    return RTC::RTC_OK;
}

bool ModuleManager::unload(const std::string& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = std::find_if(m_modules.begin(), m_modules.end(),
                           [&](const Module& m) { return m.path == path; });
    if (it == m_modules.end()) return false;
    ::dlclose(it->handle);
    m_modules.erase(it);
    return true;
}

std::vector<std::string> ModuleManager::loaded() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> out;
    for (const Module& m : m_modules) out.push_back(m.path);
    return out;
}

std::string ModuleManager::profileCommand(const std::string& language) {
    const std::string key = "manager.modules." + language + ".profile_cmd";
    const std::string cmd = m_config.getProperty(key);
    // The bare default names the profiler of the middleware's tool set: ours sits beside the
    // program (as rtcprof in a build tree, qor-rtcprof when installed) before any on the PATH.
    if (language == "C++" && cmd == "rtcprof")
        return ProcessLauncher::besideProgram(cmd, {"rtcprof", "qor-rtcprof"});
    return cmd;
}

std::vector<coil::Properties> ModuleManager::loadable() {
    std::vector<coil::Properties> out;
    std::set<std::string> seen;
    for (const std::string& language :
         coil::split(m_config.getProperty("manager.supported_languages"), ",", true)) {
        const std::string base = "manager.modules." + language + ".";
        std::set<std::string> suffixes;
        for (const std::string& s : coil::split(m_config.getProperty(base + "suffixes"), ",", true))
            suffixes.insert(s);
        if (suffixes.empty()) continue;
        std::vector<std::string> dirs =
            coil::split(m_config.getProperty(base + "load_paths"), ",", true);
        for (const std::string& d :
             coil::split(m_config.getProperty("manager.modules.load_path"), ",", true))
            dirs.push_back(d);
        std::vector<std::string> candidates;
        for (const std::string& dir : dirs) {
            walk(dir, [&](const fs::path& p) {
                const std::string file = p.filename().string();
                const auto dot = file.rfind('.');
                if (dot == std::string::npos || !suffixes.count(file.substr(dot + 1))) return;
                const std::string abs = absolutePath(p);
                if (seen.insert(abs).second) candidates.push_back(abs);
            });
        }
        const std::string command = profileCommand(language);
        for (const std::string& path : candidates) {
            Probe probe{false, coil::Properties()};
            bool known = false;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                auto it = m_profiles.find(path);
                if (it != m_profiles.end()) {
                    probe = it->second;
                    known = true;
                }
            }
            if (!known) {
                std::vector<std::string> argv = ProcessLauncher::commandWords(command);
                if (!argv.empty()) {
                    argv.push_back(path);
                    std::istringstream in(
                        ProcessLauncher::output(argv, kProfileTimeLimit, kProfileOutputLimit));
                    probe.profile.load(in);
                }
                probe.ok = !probe.profile.getProperty("implementation_id").empty();
                if (probe.ok) {
                    probe.profile.setProperty("module_file_name",
                                              fs::path(path).filename().string());
                    probe.profile.setProperty("module_file_path", path);
                    probe.profile.setProperty("language", language);
                }
                std::lock_guard<std::mutex> lock(m_mutex);
                m_profiles[path] = probe;
            }
            if (probe.ok) out.push_back(probe.profile);
        }
    }
    // Files that have gone take their profiles with them.
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_profiles.begin(); it != m_profiles.end();)
        it = isFile(it->first) ? std::next(it) : m_profiles.erase(it);
    return out;
}

}  // namespace RTC
