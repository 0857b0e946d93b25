// A real viewer program in a child process, and a raw peer of it built from our IDL.
//
// How a value is known to be taken: the peer holds a connection whose properties give the port a
// ring of one slot that refuses when full. A second store of a value therefore succeeds only once
// the component's execution context has taken the first one from the ring, read it and run its
// display cycle on it. With the process alive and the component ACTIVE, that is the evidence that
// values are shown; the program itself prints nothing per value.
#pragma once

#include <gtest/gtest.h>
#include <rtm/RTC.h>

#include <StereoCameraService.hh>

#include <memory>
#include <string>
#include <vector>

#include "Cdr.h"
#include "Processes.h"

namespace RTC {
class OutPortConnector;
}

namespace faults {

using namespace std::chrono_literals;

struct ViewerKind {
    const char* name;      // for test names
    const char* program;   // absolute path
    const char* instance;  // "Morvane0"
};
extern const ViewerKind kMorvane;
extern const ViewerKind kKaleth;

OpenRTM::CdrData cdr(const testsupport::Bytes& bytes);
// A well-formed value for the viewer: a 5x4 depth map or a 4x2 BGR frame, stamped with `sec`.
testsupport::Bytes goodValue(const ViewerKind& kind, CORBA::ULong sec, long width = 5,
                             long height = 4);
// A connector profile for a push connection over corba_cdr between `ports`.
RTC::ConnectorProfile profileFor(const std::vector<RTC::PortService_ptr>& ports);
RTC::RTObject_ptr componentAt(const std::string& ior);
RTC::PortService_ptr firstPort(RTC::RTObject_ptr comp);
RTC::ExecutionContext_ptr ownContext(RTC::RTObject_ptr comp);
OpenRTM::InPortCdr_ptr inPortOf(const RTC::ConnectorProfile& connected);

class Viewer {
public:
    // Started on Qt's offscreen platform unless `env` says otherwise; `options` as -o pairs. The
    // probe connection uses `transport`: "corba_cdr", or "shared_memory" with the middleware's
    // own writer, as a camera of this host would hold it.
    Viewer(const ViewerKind& kind, const std::string& naming = "",
           const std::vector<std::string>& options = {},
           const std::map<std::string, std::string>& env = {{"QT_QPA_PLATFORM", "offscreen"}},
           const std::string& transport = "corba_cdr");
    ~Viewer();

    // Empty when the program, its component, port and context all answered.
    const std::string& problem() const { return m_problem; }
    remotetest::Component& program() { return *m_program; }
    const ViewerKind& kind() const { return m_kind; }

    bool activate();
    RTC::LifeCycleState state();
    // Stores `value` in the port's ring, retrying while the ring is full; false when it stays full
    // beyond `limit` or the call fails.
    bool deliver(const OpenRTM::CdrData& value, std::chrono::milliseconds limit = 10s);
    // A good value is stored and then taken by the component.
    bool takesGood(std::chrono::milliseconds limit = 10s);
    // Alive, ACTIVE, and taking good values.
    ::testing::AssertionResult healthy();
    // Connects the probe again (a connection's buffer properties apply to the whole port).
    bool reconnectProbe();
    // Ends the program with `sig`; its exit status, or -1 when it did not exit by itself in time.
    int stop(int sig, std::chrono::milliseconds limit);
    long rssKiB();

    RTC::RTObject_var comp;
    RTC::PortService_var port;
    RTC::ExecutionContext_var ec;
    OpenRTM::InPortCdr_var probe;

private:
    const ViewerKind& m_kind;
    const std::string m_transport;
    std::unique_ptr<remotetest::Component> m_program;
    // The probe's shared-memory writer, which owns its segment; ends before the program.
    std::unique_ptr<RTC::OutPortConnector> m_shmProbe;
    std::string m_problem;
    CORBA::ULong m_sec = 1000;
};

}  // namespace faults
