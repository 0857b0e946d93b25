#include "Processes.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <thread>

namespace remotetest {

NamingService::NamingService(int port) {
    char dir[] = "/tmp/remote-test-naming-XXXXXX";
    if (::mkdtemp(dir)) m_dir = dir;
    if (port == 0) port = testsupport::freeLoopbackPort();
    m_address = "127.0.0.1:" + std::to_string(port);
    m_process.reset(new testsupport::ChildProcess(
        {"/usr/bin/omniNames", "-start", std::to_string(port), "-logdir", m_dir, "-ORBendPoint",
         "giop:tcp:" + m_address},
        {}, /*captureStderr=*/true));
    m_ready = m_process->waitForLine("Checkpointing completed", 10s);
}

NamingService::~NamingService() {
    m_process.reset();
    if (!m_dir.empty()) {
        const std::string rm = "rm -rf '" + m_dir + "'";
        (void)!std::system(rm.c_str());
    }
}

Component::Component(const std::string& program, const std::string& naming,
                     const std::vector<std::string>& options,
                     const std::map<std::string, std::string>& env) {
    const std::string path = program[0] == '/' ? program : testsupport::executableDir() + "/" + program;
    std::vector<std::string> argv = {path,
                                     "-o", "logger.enable:NO",
                                     "-o", "corba.endpoints:127.0.0.1:",
                                     "-o", "corba.ior_file:-",
                                     "-o", "exec_cxt.periodic.rate:50"};
    if (naming.empty()) {
        argv.insert(argv.end(), {"-o", "naming.enable:NO"});
    } else {
        argv.insert(argv.end(), {"-o", "naming.enable:YES", "-o", "corba.nameservers:" + naming});
    }
    for (const std::string& o : options) argv.insert(argv.end(), {"-o", o});
    m_process.reset(new testsupport::ChildProcess(argv, env, /*captureStderr=*/true));
    bool printed = true;
    for (const std::string& o : options)
        if (o.compare(0, 15, "corba.ior_file:") == 0) printed = o == "corba.ior_file:-";
    std::string line;
    if (printed && m_process->waitForLine(" IOR:", 20s, &line))
        m_ior = line.substr(line.find("IOR:"));
}

std::vector<unsigned long> Component::received(std::size_t count, std::chrono::milliseconds limit,
                                               bool* allIntact) {
    std::vector<unsigned long> secs;
    if (allIntact) *allIntact = true;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::string line;
    while (secs.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !m_process->readLine(line, left)) break;
        if (line.compare(0, 4, "got ") != 0) continue;
        secs.push_back(std::strtoul(line.c_str() + 4, nullptr, 10));
        if (allIntact && line.find(" ok") == std::string::npos) *allIntact = false;
    }
    return secs;
}

std::unique_ptr<testsupport::ChildProcess> startRtctl(const std::string& naming,
                                                      const std::vector<std::string>& args) {
    std::vector<std::string> argv = {RTCTL_PATH};
    if (!naming.empty()) argv.insert(argv.end(), {"-n", naming});
    argv.insert(argv.end(), args.begin(), args.end());
    return std::unique_ptr<testsupport::ChildProcess>(
        new testsupport::ChildProcess(argv, {}, /*captureStderr=*/true));
}

ToolResult rtctl(const std::string& naming, const std::vector<std::string>& args,
                 std::chrono::milliseconds limit) {
    const std::unique_ptr<testsupport::ChildProcess> started = startRtctl(naming, args);
    testsupport::ChildProcess& tool = *started;
    ToolResult result;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::string line;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !tool.readLine(line, left)) break;
    }
    result.output = tool.output();
    if (tool.wait(5s) && WIFEXITED(tool.status())) result.status = WEXITSTATUS(tool.status());
    return result;
}

bool listed(const std::string& naming, const std::vector<std::string>& names,
            std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    do {
        const ToolResult r = rtctl(naming, {"list"}, 10s);
        bool all = r.status == 0;
        for (const std::string& n : names) all = all && r.output.find(n) != std::string::npos;
        if (all) return true;
        std::this_thread::sleep_for(100ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

std::string hostName() {
    char name[256] = {};
    ::gethostname(name, sizeof name - 1);
    return name;
}

}  // namespace remotetest
