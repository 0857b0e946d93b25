#include "ViewerPeer.h"

#include <rtm/RemoteUtil.h>
#include <sys/wait.h>

#include <cstring>
#include <fstream>
#include <thread>

#include "Orb.h"
#include "Servants.h"
#include "StereoPattern.h"

namespace faults {

const ViewerKind kMorvane{"Morvane", MORVANE_PATH, "Morvane0"};
const ViewerKind kKaleth{"Kaleth", KALETH_PATH, "Kaleth0"};

OpenRTM::CdrData cdr(const testsupport::Bytes& bytes) {
    OpenRTM::CdrData d;
    d.length(static_cast<CORBA::ULong>(bytes.size()));
    if (!bytes.empty()) std::memcpy(d.get_buffer(), bytes.data(), bytes.size());
    return d;
}

testsupport::Bytes goodValue(const ViewerKind& kind, CORBA::ULong sec, long width, long height) {
    if (&kind == &kMorvane) {
        QOR::TimedStereoData map;
        pattern::fill(map, sec, width, height);
        return testsupport::encode(map);
    }
    QOR::TimedImageData frame;
    frame.tm.sec = sec;
    frame.data.nChannels = 3;
    frame.data.depth = 8;
    frame.data.width = width;
    frame.data.height = height;
    frame.data.widthStep = width * 3;
    frame.data.imageSize = width * height * 3;
    frame.data.imgData.length(static_cast<CORBA::ULong>(frame.data.imageSize));
    for (CORBA::ULong i = 0; i < frame.data.imgData.length(); ++i)
        frame.data.imgData[i] = static_cast<CORBA::Char>(i * 7 + sec);
    return testsupport::encode(frame);
}

RTC::ConnectorProfile profileFor(const std::vector<RTC::PortService_ptr>& ports) {
    RTC::ConnectorProfile p;
    p.name = CORBA::string_dup("faults");
    p.connector_id = CORBA::string_dup("");
    p.ports.length(static_cast<CORBA::ULong>(ports.size()));
    for (CORBA::ULong i = 0; i < p.ports.length(); ++i)
        p.ports[i] = RTC::PortService::_duplicate(ports[i]);
    RTC::remote::setNV(p.properties, "dataport.interface_type", "corba_cdr");
    RTC::remote::setNV(p.properties, "dataport.dataflow_type", "push");
    RTC::remote::setNV(p.properties, "dataport.subscription_type", "flush");
    return p;
}

RTC::RTObject_ptr componentAt(const std::string& ior) {
    CORBA::Object_var obj = testsupport::orb()->string_to_object(ior.c_str());
    RTC::RTObject_ptr comp = RTC::RTObject::_narrow(obj);
    if (!CORBA::is_nil(comp)) omniORB::setClientCallTimeout(comp, 20000);
    return comp;
}

RTC::PortService_ptr firstPort(RTC::RTObject_ptr comp) {
    RTC::PortServiceList_var ports = comp->get_ports();
    if (ports->length() == 0) return RTC::PortService::_nil();
    RTC::PortService_ptr port = RTC::PortService::_duplicate(ports[0].in());
    omniORB::setClientCallTimeout(port, 20000);
    return port;
}

RTC::ExecutionContext_ptr ownContext(RTC::RTObject_ptr comp) {
    RTC::ExecutionContextList_var ecs = comp->get_owned_contexts();
    if (ecs->length() == 0) return RTC::ExecutionContext::_nil();
    RTC::ExecutionContext_ptr ec = RTC::ExecutionContext::_duplicate(ecs[0].in());
    omniORB::setClientCallTimeout(ec, 20000);
    return ec;
}

OpenRTM::InPortCdr_ptr inPortOf(const RTC::ConnectorProfile& connected) {
    const CORBA::Any* ref = RTC::remote::findNV(connected.properties, "dataport.corba_cdr.inport_ref");
    OpenRTM::InPortCdr_ptr typed = OpenRTM::InPortCdr::_nil();
    if (!ref || !(*ref >>= typed)) return OpenRTM::InPortCdr::_nil();
    OpenRTM::InPortCdr_ptr in = OpenRTM::InPortCdr::_duplicate(typed);
    omniORB::setClientCallTimeout(in, 20000);
    return in;
}

Viewer::Viewer(const ViewerKind& kind, const std::string& naming,
               const std::vector<std::string>& options,
               const std::map<std::string, std::string>& env, const std::string& transport)
    : m_kind(kind),
      m_transport(transport),
      m_program(new remotetest::Component(kind.program, naming, options, env)) {
    testsupport::rootPoa();
    if (m_program->ior().empty()) {
        m_problem = "no reference printed:\n" + m_program->output();
        return;
    }
    comp = componentAt(m_program->ior());
    if (CORBA::is_nil(comp)) {
        m_problem = "not a component";
        return;
    }
    port = firstPort(comp);
    ec = ownContext(comp);
    if (CORBA::is_nil(port) || CORBA::is_nil(ec)) m_problem = "no port or no context";
    else if (!reconnectProbe()) m_problem = "probe connection refused";
}

Viewer::~Viewer() = default;

bool Viewer::reconnectProbe() {
    RTC::ConnectorProfile p = profileFor({port.in()});
    RTC::remote::setNV(p.properties, "dataport.interface_type", m_transport.c_str());
    RTC::remote::setNV(p.properties, "dataport.buffer.length", "1");
    RTC::remote::setNV(p.properties, "dataport.buffer.write.full_policy", "do_nothing");
    if (port->connect(p) != RTC::RTC_OK) return false;
    if (m_transport != "shared_memory") {
        probe = inPortOf(p);
        return !CORBA::is_nil(probe);
    }
    std::string ior;
    RTC::remote::findString(p.properties, "dataport.corba_cdr.inport_ior", ior);
    CORBA::Object_var obj = testsupport::orb()->string_to_object(ior.c_str());
    OpenRTM::PortSharedMemory_var in = OpenRTM::PortSharedMemory::_narrow(obj);
    if (CORBA::is_nil(in)) return false;
    RTC::ConnectorInfo info;
    info.id = p.connector_id.in();
    m_shmProbe.reset(new RTC::remote::SharedMemoryConnector(info, in));
    return true;
}

bool Viewer::activate() { return ec->activate_component(comp) == RTC::RTC_OK; }

RTC::LifeCycleState Viewer::state() { return ec->get_component_state(comp); }

bool Viewer::deliver(const OpenRTM::CdrData& value, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const OpenRTM::PortStatus s =
            m_shmProbe ? m_shmProbe->put(value.get_buffer(), value.length()) : probe->put(value);
        if (s == OpenRTM::PORT_OK) return true;
        if (s != OpenRTM::BUFFER_FULL || std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
}

bool Viewer::takesGood(std::chrono::milliseconds limit) {
    const OpenRTM::CdrData good = cdr(goodValue(m_kind, ++m_sec));
    return deliver(good, limit) && deliver(good, limit);
}

::testing::AssertionResult Viewer::healthy() {
    if (!m_program->process().running())
        return ::testing::AssertionFailure() << "the program ended:\n" << m_program->output();
    try {
        const RTC::LifeCycleState s = state();
        if (s != RTC::ACTIVE_STATE) return ::testing::AssertionFailure() << "state " << s;
        if (!takesGood()) return ::testing::AssertionFailure() << "a good value was not taken";
    } catch (const CORBA::Exception& e) {
        return ::testing::AssertionFailure() << "call failed: " << e._name();
    }
    return ::testing::AssertionSuccess();
}

int Viewer::stop(int sig, std::chrono::milliseconds limit) {
    testsupport::ChildProcess& p = m_program->process();
    p.signal(sig);
    // Drain its output so that a chatty program cannot block on a full pipe while ending.
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::string line;
    while (p.running() && std::chrono::steady_clock::now() < deadline) p.readLine(line, 50ms);
    if (!p.wait(0ms) || !WIFEXITED(p.status())) return -1;
    return WEXITSTATUS(p.status());
}

long Viewer::rssKiB() {
    std::ifstream status("/proc/" + std::to_string(m_program->process().pid()) + "/status");
    std::string word;
    while (status >> word)
        if (word == "VmRSS:") {
            long kib = -1;
            status >> kib;
            return kib;
        }
    return -1;
}

}  // namespace faults
