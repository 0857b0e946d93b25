// The processes of the remote tests: a naming service of their own, component programs on
// loopback, and rtctl runs. Every wait is bounded.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ChildProcess.h"

namespace remotetest {

using namespace std::chrono_literals;

// omniNames on a free loopback port, with a log directory of its own; killed and cleaned up
// when destroyed.
class NamingService {
public:
    // On `port`, or on a free one when `port` is 0.
    explicit NamingService(int port = 0);
    ~NamingService();
    NamingService(const NamingService&) = delete;
    NamingService& operator=(const NamingService&) = delete;

    // "127.0.0.1:<port>", as -n and corba.nameservers take it.
    const std::string& address() const { return m_address; }
    bool ready() const { return m_ready; }

private:
    std::string m_dir;
    std::string m_address;
    std::unique_ptr<testsupport::ChildProcess> m_process;
    bool m_ready = false;
};

// One of the test component programs (stereo_producer, stereo_consumer, image_consumer), or any
// component program by absolute path, on loopback, its standard error merged into its standard
// output.
class Component {
public:
    // `naming` is a naming service address, or empty for naming.enable NO. Unless `options` name
    // a corba.ior_file, the component's reference is printed on standard output
    // ("<instance> IOR:...") and read by the constructor.
    Component(const std::string& program, const std::string& naming,
              const std::vector<std::string>& options = {},
              const std::map<std::string, std::string>& env = {});

    testsupport::ChildProcess& process() { return *m_process; }
    // The reference printed at start-up; empty when none came.
    const std::string& ior() const { return m_ior; }
    // Waits for a line containing `needle`.
    bool expect(const std::string& needle, std::chrono::milliseconds limit = 20s) {
        return m_process->waitForLine(needle, limit);
    }
    // The tm.sec of each "got" line within `limit`, until `count` lines came.
    std::vector<unsigned long> received(std::size_t count, std::chrono::milliseconds limit = 20s,
                                        bool* allIntact = nullptr);
    std::string output() const { return m_process->output(); }

private:
    std::unique_ptr<testsupport::ChildProcess> m_process;
    std::string m_ior;
};

struct ToolResult {
    int status = -1;  // exit status, or -1 when it did not end in time
    std::string output;  // standard output and standard error
};

// Runs rtctl with `args`; "-n <naming>" comes first when `naming` is not empty.
ToolResult rtctl(const std::string& naming, const std::vector<std::string>& args,
                 std::chrono::milliseconds limit = 60s);

// Starts rtctl with `args` and returns at once, its standard error merged into its output.
std::unique_ptr<testsupport::ChildProcess> startRtctl(const std::string& naming,
                                                      const std::vector<std::string>& args);

// Waits up to `limit` until `rtctl list` shows every one of `names`.
bool listed(const std::string& naming, const std::vector<std::string>& names,
            std::chrono::milliseconds limit);

std::string hostName();

}  // namespace remotetest
