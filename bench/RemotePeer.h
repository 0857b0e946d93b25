// The client side of the loopback benchmarks: an ORB of this process that takes large messages,
// a component program started on loopback with its reference, the input port object of its first
// port, and what /proc says about a process.
#pragma once

#include <rtm/RTC.h>

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Processes.h"

namespace benchpeer {

// Above the largest CDR value the benchmarks send (29.5 MB for a 1280x720 map); omniORB's default
// is 2 MB. Both ORBs of a connection get it.
const char* const kMaxMessage = "134217728";

// This process's ORB, on loopback, with kMaxMessage; made on first use.
CORBA::ORB_ptr orb();

// A component program built beside the benchmark, on loopback, with no naming service and the
// middleware's default execution rate unless `options` say otherwise.
std::unique_ptr<remotetest::Component> startComponent(
    const std::string& program, const std::vector<std::string>& options = {},
    const std::map<std::string, std::string>& env = {});

// Connects the component's first port with a push connector of its own over `interfaceType`
// ("corba_cdr", "shared_memory"), little-endian, and returns the object the port published for
// it; nil on failure, with `why`. `extra` adds connector properties ("dataport.buffer.length").
CORBA::Object_ptr connectFirstPortOver(
    const std::string& componentIor, const char* interfaceType, std::string& why,
    const std::map<std::string, std::string>& extra = {});
// Connects the component's first port with a corba_cdr push connector of its own (no output port:
// this process plays one) and returns the port's InPortCdr object; nil on failure, with `why`.
OpenRTM::InPortCdr_ptr connectFirstPort(const std::string& componentIor, std::string& why);

// utime + stime of `pid` in seconds; negative when unreadable.
double cpuSeconds(pid_t pid);
// VmRSS of `pid` in kB; negative when unreadable.
long residentKb(pid_t pid);

}  // namespace benchpeer
