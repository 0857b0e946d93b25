#include "LocalSocket.h"

#include <dirent.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>

extern char** environ;

namespace RTC {

namespace {

// A socket's name holds 107 characters; omniORB adds "/<pid>-<time>" to the directory.
constexpr std::size_t kMaxDirectory = 80;

bool mentionsEndpoint(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text.find("endpoint") != std::string::npos;
}

}  // namespace

std::string LocalSocket::directory(std::string* why) {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp";
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    const uid_t uid = ::geteuid();
    const passwd* user = ::getpwuid(uid);
    dir += "/omni-" + (user != nullptr ? std::string(user->pw_name) : std::to_string(uid));
    const auto refuse = [&](const char* reason) {
        if (why != nullptr) *why = dir + " " + reason;
        return std::string();
    };
    if (dir.size() > kMaxDirectory) return refuse("is too long a path for a socket");
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return std::string();
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) return std::string();
    if (!S_ISDIR(st.st_mode)) return refuse("is not a directory");
    if (st.st_uid != uid) return refuse("belongs to another user");
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return refuse("is writable by other users (chmod go-w it)");
    return dir;
}

void LocalSocket::removeStale(const std::string& dir) {
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return;
    while (const dirent* entry = ::readdir(d)) {
        const std::string name = entry->d_name;
        const auto dash = name.find('-');
        if (dash == 0 || dash == std::string::npos || dash > 10 ||
            name.find_first_not_of("0123456789") != dash ||
            name.find_first_not_of("0123456789", dash + 1) != std::string::npos)
            continue;
        const long pid = std::strtol(name.substr(0, dash).c_str(), nullptr, 10);
        if (pid <= 0 || ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        const std::string path = dir + "/" + name;
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_uid == ::geteuid())
            ::unlink(path.c_str());
    }
    ::closedir(d);
}

bool LocalSocket::endpointsConfigured(const std::string& corbaArgs) {
    if (mentionsEndpoint(corbaArgs)) return true;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        const std::string entry(*e);
        if (entry.compare(0, 3, "ORB") == 0 && mentionsEndpoint(entry.substr(0, entry.find('='))))
            return true;
    }
    const char* file = std::getenv("OMNIORB_CONFIG");
    std::ifstream in(file != nullptr ? file : "/etc/omniORB.cfg");
    std::string line;
    while (std::getline(in, line)) {
        const auto first = line.find_first_not_of(" \t");
        if (first != std::string::npos && line[first] != '#' && mentionsEndpoint(line)) return true;
    }
    return false;
}

}  // namespace RTC
