// A child process for tests: started with fork/exec, its standard output readable line by line
// with a time limit, ended with a signal and reaped in the destructor.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

class ChildProcess {
public:
    // Starts argv[0] (a path) with the given arguments and extra environment variables.
    explicit ChildProcess(const std::vector<std::string>& argv,
                          const std::map<std::string, std::string>& env = {},
                          bool captureStderr = false);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Reads one line of standard output (without the newline); false on end of file or time-out.
    bool readLine(std::string& line, std::chrono::milliseconds limit);
    // Reads lines until one contains `needle`; false if none does within the limit.
    bool waitForLine(const std::string& needle, std::chrono::milliseconds limit,
                     std::string* found = nullptr);
    // Everything read so far, the lines returned included.
    const std::string& output() const { return m_seen; }

    void signal(int sig);
    // Waits for the process to end; returns false if it is still running at the limit.
    bool wait(std::chrono::milliseconds limit);
    bool running();
    // Valid after wait() returned true: the raw status from waitpid.
    int status() const { return m_status; }
    pid_t pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    int m_out = -1;
    int m_status = 0;
    bool m_reaped = false;
    std::string m_buffer;
    std::string m_seen;
};

// The directory of the running test executable; helper programs are built beside it.
std::string executableDir();

// A TCP port on 127.0.0.1 that was free a moment ago.
int freeLoopbackPort();

}  // namespace testsupport
