#include "ProcessLauncher.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>

namespace RTC {

namespace {

std::vector<char*> argvOf(std::vector<std::string>& argv) {
    std::vector<char*> cargv;
    for (std::string& a : argv) cargv.push_back(&a[0]);
    cargv.push_back(nullptr);
    return cargv;
}

}  // namespace

std::vector<std::string> ProcessLauncher::commandWords(const std::string& command) {
    std::istringstream in(command);
    std::vector<std::string> words;
    std::string w;
    while (in >> w) words.push_back(w);
    return words;
}

std::string ProcessLauncher::besideProgram(const std::string& command,
                                           std::initializer_list<const char*> siblings) {
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return command;
    const std::string dir = exe.parent_path().string();
    for (const char* sibling : siblings) {
        const std::string path = dir + "/" + sibling;
        if (::access(path.c_str(), X_OK) == 0) return path;
    }
    return command;
}

std::string ProcessLauncher::output(std::vector<std::string> argv, std::chrono::milliseconds limit,
                                    std::size_t maxBytes) {
    if (argv.empty()) return "";
    std::vector<char*> cargv = argvOf(argv);
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return "";
    const int devnull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        if (devnull >= 0) {
            ::dup2(devnull, 0);
            ::dup2(devnull, 2);
        }
        ::execvp(cargv[0], cargv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    if (devnull >= 0) ::close(devnull);
    std::string text;
    if (pid > 0) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        char buf[4096];
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || text.size() >= maxBytes) break;
            pollfd p{out[0], POLLIN, 0};
            const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) break;
            const ssize_t n = ::read(out[0], buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            text.append(buf, static_cast<std::size_t>(n));
        }
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    ::close(out[0]);
    return text;
}

pid_t ProcessLauncher::start(std::vector<std::string> argv, std::string& error) {
    if (argv.empty()) {
        error = "no command";
        return -1;
    }
    std::vector<char*> cargv = argvOf(argv);
    // Started twice removed; a pipe closed by exec tells whether the command could be run at
    // all, another gives its pid.
    int report[2], pidPipe[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        return -1;
    }
    if (::pipe2(pidPipe, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        ::close(report[0]);
        ::close(report[1]);
        return -1;
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(report[0]);
        ::close(pidPipe[0]);
        const pid_t grandchild = ::fork();
        if (grandchild == 0) {
            ::setsid();
            ::execvp(cargv[0], cargv.data());
            const int err = errno;
            (void)!::write(report[1], &err, sizeof err);
            ::_exit(127);
        }
        (void)!::write(pidPipe[1], &grandchild, sizeof grandchild);
        ::_exit(0);
    }
    const int forkError = errno;
    ::close(report[1]);
    ::close(pidPipe[1]);
    pid_t started = -1;
    int err = 0;
    if (child > 0 && ::read(pidPipe[0], &started, sizeof started) != sizeof started) started = -1;
    const bool failed = child > 0 && ::read(report[0], &err, sizeof err) == sizeof err;
    ::close(report[0]);
    ::close(pidPipe[0]);
    if (child > 0) ::waitpid(child, nullptr, 0);
    if (child < 0 || failed || started <= 0) {
        error = std::strerror(child < 0 ? forkError : err);
        return -1;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_started.push_back(started);
    return started;
}

std::size_t ProcessLauncher::running() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_started.erase(std::remove_if(m_started.begin(), m_started.end(),
                                   [](pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }),
                    m_started.end());
    return m_started.size();
}

void ProcessLauncher::end(pid_t pid) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (std::find(m_started.begin(), m_started.end(), pid) != m_started.end()) ::kill(pid, SIGKILL);
}

}  // namespace RTC
