#include "ModuleManager.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <set>
#include <sstream>
#include <system_error>

namespace fs = std::filesystem;

namespace RTC {

class Manager;

namespace {

typedef void (*InitFunc)(Manager*);

std::string trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

std::vector<std::string> commaList(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string item;
    while (std::getline(in, item, ','))
        if (!trim(item).empty()) out.push_back(trim(item));
    return out;
}

bool yes(std::string v) {
    std::transform(v.begin(), v.end(), v.begin(), [](unsigned char c) { return std::toupper(c); });
    return v == "YES";
}

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

// The directory of the running program, where tools of the same build live.
std::string programDir() {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : exe.parent_path().string();
}

}  // namespace

ModuleManager::ModuleManager(coil::Properties& config) : m_config(config) {}

// Handles stay open: see unload().
ModuleManager::~ModuleManager() = default;

std::string ModuleManager::initFuncFor(const std::string& name) {
    return name.substr(0, name.find('.')) + "Init";
}

void ModuleManager::parsePreloadItem(const std::string& item, std::string& file,
                                     std::string& initFunc) {
    file = trim(item);
    initFunc.clear();
    const auto open = file.find('(');
    if (open != std::string::npos && file.back() == ')') {
        initFunc = trim(file.substr(open + 1, file.size() - open - 2));
        file = trim(file.substr(0, open));
    }
    if (file.find('.') == std::string::npos) {
        const std::vector<std::string> suffixes =
            commaList(m_config.getProperty("manager.modules.C++.suffixes", "so"));
        file += "." + (suffixes.empty() ? std::string("so") : suffixes.front());
    }
}

std::string ModuleManager::find(const std::string& name, std::string& error) {
    if (name.find("://") != std::string::npos) {
        error = "downloading modules is not allowed";
        return "";
    }
    if (!name.empty() && name[0] == '/') {
        if (!yes(m_config.getProperty("manager.modules.abs_path_allowed"))) {
            error = "absolute module paths are not allowed (manager.modules.abs_path_allowed)";
            return "";
        }
        if (isFile(name)) return absolutePath(name);
        error = "no such file";
        return "";
    }
    const std::vector<std::string> dirs =
        commaList(m_config.getProperty("manager.modules.load_path"));
    for (const std::string& dir : dirs) {
        if (isFile(fs::path(dir) / name)) return absolutePath(fs::path(dir) / name);
        std::error_code ec;
        fs::recursive_directory_iterator it(dir, fs::directory_options::skip_permission_denied, ec),
            end;
        for (; !ec && it != end; it.increment(ec))
            if (it->is_directory(ec) && isFile(it->path() / name))
                return absolutePath(it->path() / name);
    }
    error = "not found in manager.modules.load_path (" +
            m_config.getProperty("manager.modules.load_path") + ")";
    return "";
}

bool ModuleManager::load(const std::string& name, const std::string& initFunc, Manager* manager,
                         std::string& error) {
    const std::string path = find(name, error);
    if (path.empty()) return false;
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
                return false;
            }
            m_modules.push_back(Module{path, handle});
        }
    }
    const std::string func = initFunc.empty() ? initFuncFor(name) : initFunc;
    ::dlerror();
    void* symbol = ::dlsym(handle, func.c_str());
    if (!symbol) {
        error = "no init function \"" + func + "\" in " + path;
        return false;
    }
    reinterpret_cast<InitFunc>(symbol)(manager);
    return true;
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
    if (language == "C++" && cmd == "rtcprof") {
        const std::string dir = programDir();
        for (const char* sibling : {"rtcprof", "qor-rtcprof"})
            if (!dir.empty() && ::access((dir + "/" + sibling).c_str(), X_OK) == 0)
                return dir + "/" + sibling;
    }
    return cmd;
}

std::vector<coil::Properties> ModuleManager::loadable() {
    std::vector<coil::Properties> out;
    std::set<std::string> seen;
    for (const std::string& language :
         commaList(m_config.getProperty("manager.supported_languages"))) {
        const std::string base = "manager.modules." + language + ".";
        std::set<std::string> suffixes;
        for (const std::string& s : commaList(m_config.getProperty(base + "suffixes")))
            suffixes.insert(s);
        if (suffixes.empty()) continue;
        std::vector<std::string> dirs = commaList(m_config.getProperty(base + "load_paths"));
        for (const std::string& d : commaList(m_config.getProperty("manager.modules.load_path")))
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
                if (!command.empty()) {
                    const std::string line = command + " \"" + path + "\" 2>/dev/null";
                    if (FILE* pipe = ::popen(line.c_str(), "r")) {
                        std::string text;
                        char buf[4096];
                        size_t n;
                        while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) text.append(buf, n);
                        ::pclose(pipe);
                        std::istringstream in(text);
                        probe.profile.load(in);
                    }
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
