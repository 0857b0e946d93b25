// Runs the programs the manager needs beside itself: profilers of modules, and host processes a
// master starts for its components. Nothing goes through a shell: a command is its words, and
// the first word is looked up on the PATH.
#ifndef RTM_PROCESSLAUNCHER_H
#define RTM_PROCESSLAUNCHER_H

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

namespace RTC {

class ProcessLauncher {
public:
    ProcessLauncher() = default;
    ProcessLauncher(const ProcessLauncher&) = delete;
    ProcessLauncher& operator=(const ProcessLauncher&) = delete;

    // A command of the configuration as the words of its argv; quotes have no meaning.
    static std::vector<std::string> commandWords(const std::string& command);
    // The first of `siblings` that is an executable in the running program's directory, as a
    // path; `command` itself when none is.
    static std::string besideProgram(const std::string& command,
                                     std::initializer_list<const char*> siblings);
    // Runs `argv` with its input and errors on /dev/null and returns what it wrote to its
    // output, ending it once it has taken `limit` or written `maxBytes`.
    static std::string output(std::vector<std::string> argv, std::chrono::milliseconds limit,
                              std::size_t maxBytes);

    // Starts `argv` detached in a session of its own: it is no child of this process, so it
    // outlives nothing of ours and leaves no zombie. Returns its pid, or -1 with `error` saying
    // why it could not be run.
    pid_t start(std::vector<std::string> argv, std::string& error);
    // How many processes started here still run; those that have ended are forgotten.
    std::size_t running();
    // Ends a process started here.
    void end(pid_t pid);

private:
    // Guards m_started.
    std::mutex m_mutex;
    std::vector<pid_t> m_started;
};

}  // namespace RTC

#endif
