#include "Probe.h"

#include <rtm/RemoteUtil.h>
#include <rtm/ShmSegment.h>
#include <rtm/idl/SharedMemorySkel.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <mutex>
#include <stdexcept>

namespace rtctl {

namespace {

// Running figures of one quantity.
struct Spread {
    unsigned long long n = 0;
    double sum = 0, sumSquares = 0, min = 0, max = 0;

    void add(double v) {
        if (n == 0 || v < min) min = v;
        if (n == 0 || v > max) max = v;
        ++n;
        sum += v;
        sumSquares += v * v;
    }
    void into(double& mean, double& lo, double& hi, double& dev) const {
        if (n == 0) return;
        mean = sum / n;
        lo = min;
        hi = max;
        dev = std::sqrt(std::max(0.0, sumSquares / n - mean * mean));
    }
};

double wallClock() {
    timespec t{};
    ::clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

std::string ms(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f ms", seconds * 1e3);
    return text;
}

unsigned long readULong(const unsigned char* p, bool littleEndian) {
    return littleEndian
               ? (static_cast<unsigned long>(p[0]) | static_cast<unsigned long>(p[1]) << 8 |
                  static_cast<unsigned long>(p[2]) << 16 | static_cast<unsigned long>(p[3]) << 24)
               : (static_cast<unsigned long>(p[3]) | static_cast<unsigned long>(p[2]) << 8 |
                  static_cast<unsigned long>(p[1]) << 16 | static_cast<unsigned long>(p[0]) << 24);
}

}  // namespace

bool timeStampOf(const unsigned char* bytes, std::size_t length, bool littleEndian,
                 double& seconds) {
    if (bytes == nullptr || length < 8) return false;
    seconds = static_cast<double>(readULong(bytes, littleEndian)) +
              static_cast<double>(readULong(bytes + 4, littleEndian)) * 1e-9;
    return true;
}

std::string describe(Measure measure, const ProbeFigures& f) {
    char text[256];
    const std::string count = " (" + std::to_string(f.values) + " values)";
    switch (measure) {
        case Measure::Rate:
            if (f.gaps == 0) {
                std::snprintf(text, sizeof text, "rate %.2f Hz",
                              f.seconds > 0 ? f.values / f.seconds : 0.0);
                return text + count;
            }
            std::snprintf(text, sizeof text,
                          "rate %.2f Hz: interval mean %s, min %s, max %s, dev %s",
                          f.seconds > 0 ? f.values / f.seconds : 0.0, ms(f.gapMean).c_str(),
                          ms(f.gapMin).c_str(), ms(f.gapMax).c_str(), ms(f.gapDev).c_str());
            return text + count;
        case Measure::Delay:
            if (f.values == 0) return "delay: no values";
            std::snprintf(text, sizeof text, "delay mean %s, min %s, max %s, dev %s",
                          ms(f.delayMean).c_str(), ms(f.delayMin).c_str(), ms(f.delayMax).c_str(),
                          ms(f.delayDev).c_str());
            return text + count;
        case Measure::Bandwidth: {
            const unsigned long long all = f.values + f.shortValues;
            std::snprintf(text, sizeof text, "bandwidth %.3f MB/s, mean value %.1f kB",
                          f.seconds > 0 ? f.bytes / f.seconds / 1e6 : 0.0,
                          all > 0 ? static_cast<double>(f.bytes) / all / 1e3 : 0.0);
            return text + count;
        }
    }
    return std::string();
}

// What the probe's objects share with it; they may outlive it in the POA until it is destroyed.
struct Probe::State {
    std::mutex mutex;  // guards every member below
    bool littleEndian = true;
    bool connected = false;
    std::string connectorId;
    RTC::ConnectorProfile profile;
    RTC::PortService_var self;
    std::chrono::steady_clock::time_point since = std::chrono::steady_clock::now();
    bool anyArrival = false;
    std::chrono::steady_clock::time_point lastArrival;
    Spread gaps, delays;
    unsigned long long bytes = 0;
    unsigned long long shortValues = 0;
    unsigned long long shortTotal = 0;
    unsigned long long total = 0;
    // Set before any value can arrive, then only read.
    ValueSink sink;

    void arrived(const OpenRTM::CdrData& data) {
        const auto now = std::chrono::steady_clock::now();
        const double wall = wallClock();
        if (sink) {
            timespec t{};
            ::clock_gettime(CLOCK_REALTIME, &t);
            bool little = true;
            {
                std::lock_guard<std::mutex> lock(mutex);
                little = littleEndian;
            }
            sink(data.get_buffer(), data.length(), little,
                 static_cast<std::uint64_t>(t.tv_sec) * 1000000000u +
                     static_cast<std::uint64_t>(t.tv_nsec));
        }
        std::lock_guard<std::mutex> lock(mutex);
        bytes += data.length();
        double stamp = 0;
        if (!timeStampOf(data.get_buffer(), data.length(), littleEndian, stamp)) {
            ++shortValues;
            // First and then every thousandth, so that a flood of them cannot flood the terminal.
            if (shortTotal++ % 1000 == 0)
                std::cerr << "rtctl: skipping a value of " << data.length()
                          << " bytes, shorter than a time stamp (" << shortTotal << " so far)"
                          << std::endl;
            return;
        }
        ++total;
        if (anyArrival) gaps.add(std::chrono::duration<double>(now - lastArrival).count());
        anyArrival = true;
        lastArrival = now;
        delays.add(wall - stamp);
    }
};

namespace {

class ProbeInPort : public virtual POA_OpenRTM::InPortCdr {
public:
    explicit ProbeInPort(std::shared_ptr<Probe::State> state) : m_state(std::move(state)) {}
    OpenRTM::PortStatus put(const OpenRTM::CdrData& data) override {
        m_state->arrived(data);
        return OpenRTM::PORT_OK;
    }

private:
    std::shared_ptr<Probe::State> m_state;
};

// The reading side of the shared-memory transport: the writer creates the segment, announces it
// with open_memory and calls put for each value it wrote there.
class ProbeSharedMemory : public virtual POA_OpenRTM::PortSharedMemory {
public:
    explicit ProbeSharedMemory(std::shared_ptr<Probe::State> state) : m_state(std::move(state)) {}

    void open_memory(CORBA::ULongLong size, const char* name) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::string reason;
        if (!m_segment.open(name != nullptr ? name : "", size, reason))
            std::cerr << "rtctl: the writer's segment is refused: " << reason << std::endl;
    }
    void create_memory(CORBA::ULongLong, const char*) override {
        throw CORBA::NO_IMPLEMENT(0, CORBA::COMPLETED_NO);
    }
    void close_memory(CORBA::Boolean unlink) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_segment.close(unlink);
    }
    void setInterface(OpenRTM::PortSharedMemory_ptr) override {}
    // The order negotiated at connect is the one used, as the middleware's own readers do.
    void setEndian(CORBA::Boolean) override {}
    OpenRTM::PortStatus put() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::string reason;
        bool little = true;
        {
            std::lock_guard<std::mutex> stateLock(m_state->mutex);
            little = m_state->littleEndian;
        }
        if (!m_segment.read(m_value, little, reason)) {
            if (m_refused++ % 1000 == 0)
                std::cerr << "rtctl: a value in shared memory is refused: " << reason << " ("
                          << m_refused << " so far)" << std::endl;
            return OpenRTM::PORT_ERROR;
        }
        m_state->arrived(m_value);
        return OpenRTM::PORT_OK;
    }
    OpenRTM::PortStatus get() override { return OpenRTM::PORT_ERROR; }

private:
    std::shared_ptr<Probe::State> m_state;
    std::mutex m_mutex;  // guards the members below
    RTC::SegmentReader m_segment;
    OpenRTM::CdrData m_value;
    unsigned long long m_refused = 0;
};

// The probe's port as the output port sees it during the connection protocol: the last of the
// connector's ports, which publishes the object the output port pushes to: its InPortCdr, or its
// PortSharedMemory.
class ProbePort : public virtual POA_RTC::PortService {
public:
    ProbePort(std::shared_ptr<Probe::State> state, CORBA::ORB_ptr orb, OpenRTM::InPortCdr_ptr in,
              OpenRTM::PortSharedMemory_ptr shm, std::string dataType)
        : m_state(std::move(state)),
          m_in(OpenRTM::InPortCdr::_duplicate(in)),
          m_shm(OpenRTM::PortSharedMemory::_duplicate(shm)),
          m_dataType(std::move(dataType)) {
        CORBA::String_var inIor = orb->object_to_string(in);
        CORBA::String_var shmIor = orb->object_to_string(shm);
        m_inIor = inIor.in();
        m_shmIor = shmIor.in();
    }

    RTC::PortProfile* get_port_profile() override {
        RTC::PortProfile_var p = new RTC::PortProfile;
        p->name = CORBA::string_dup("rtctl.probe");
        std::lock_guard<std::mutex> lock(m_state->mutex);
        p->port_ref = RTC::PortService::_duplicate(m_state->self.in());
        p->owner = RTC::RTObject::_nil();
        if (m_state->connected) {
            p->connector_profiles.length(1);
            p->connector_profiles[0] = m_state->profile;
        }
        RTC::remote::setNV(p->properties, "port.port_type", "DataInPort");
        RTC::remote::setNV(p->properties, "dataport.data_type", m_dataType.c_str());
        RTC::remote::setNV(p->properties, "dataport.subscription_type", "Any");
        RTC::remote::setNV(p->properties, "dataport.dataflow_type", "push");
        RTC::remote::setNV(p->properties, "dataport.interface_type", "corba_cdr,shared_memory");
        RTC::remote::setNV(p->properties, "dataport.serializer.cdr.endian", "little,big");
        return p._retn();
    }
    RTC::ConnectorProfileList* get_connector_profiles() override {
        RTC::ConnectorProfileList_var list = new RTC::ConnectorProfileList;
        std::lock_guard<std::mutex> lock(m_state->mutex);
        if (m_state->connected) {
            list->length(1);
            list[0] = m_state->profile;
        }
        return list._retn();
    }
    RTC::ConnectorProfile* get_connector_profile(const char* id) override {
        RTC::ConnectorProfile_var p = new RTC::ConnectorProfile;
        std::lock_guard<std::mutex> lock(m_state->mutex);
        if (m_state->connected && m_state->connectorId == (id ? id : ""))
            p.inout() = m_state->profile;
        return p._retn();
    }
    // Connections are made and ended from the output port's side only.
    RTC::ReturnCode_t connect(RTC::ConnectorProfile&) override { return RTC::UNSUPPORTED; }
    RTC::ReturnCode_t disconnect(const char*) override { return RTC::UNSUPPORTED; }
    RTC::ReturnCode_t disconnect_all() override { return RTC::UNSUPPORTED; }

    RTC::ReturnCode_t notify_connect(RTC::ConnectorProfile& profile) override {
        std::string endian;
        RTC::remote::findString(profile.properties, "dataport.serializer.cdr.endian", endian);
        const std::string first = endian.substr(0, endian.find(','));
        std::string interfaceType, dataflow;
        RTC::remote::findString(profile.properties, "dataport.interface_type", interfaceType);
        RTC::remote::findString(profile.properties, "dataport.dataflow_type", dataflow);
        if (dataflow != "push") return RTC::BAD_PARAMETER;
        // Either transport's object goes under the corba_cdr keys, as the middleware has it.
        CORBA::Any ref;
        if (interfaceType == "corba_cdr") {
            RTC::remote::setNV(profile.properties, "dataport.corba_cdr.inport_ior",
                               m_inIor.c_str());
            ref <<= OpenRTM::InPortCdr::_duplicate(m_in.in());
        } else if (interfaceType == "shared_memory") {
            RTC::remote::setNV(profile.properties, "dataport.corba_cdr.inport_ior",
                               m_shmIor.c_str());
            ref <<= OpenRTM::PortSharedMemory::_duplicate(m_shm.in());
        } else {
            return RTC::BAD_PARAMETER;
        }
        RTC::remote::setNV(profile.properties, "dataport.corba_cdr.inport_ref", ref);
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->littleEndian = first.find("big") == std::string::npos;
        m_state->connectorId = profile.connector_id.in();
        m_state->profile = profile;
        m_state->connected = true;
        return RTC::RTC_OK;
    }
    RTC::ReturnCode_t notify_disconnect(const char* id) override {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        if (m_state->connectorId == (id ? id : "")) m_state->connected = false;
        return RTC::RTC_OK;
    }

private:
    std::shared_ptr<Probe::State> m_state;
    OpenRTM::InPortCdr_var m_in;
    OpenRTM::PortSharedMemory_var m_shm;
    const std::string m_dataType;
    std::string m_inIor;
    std::string m_shmIor;
};

}  // namespace

Probe::Probe(CORBA::ORB_ptr orb, PortableServer::POA_ptr poa, std::vector<std::string> settings)
    : m_orb(CORBA::ORB::_duplicate(orb)),
      m_poa(PortableServer::POA::_duplicate(poa)),
      m_settings(std::move(settings)),
      m_state(std::make_shared<State>()) {}

Probe::~Probe() {
    for (const PortableServer::ObjectId_var& id : m_objects) {
        try {
            m_poa->deactivate_object(id.in());
        } catch (const CORBA::Exception&) {
            // Gone with the POA already.
        }
    }
}

void Probe::setValueSink(ValueSink sink) { m_state->sink = std::move(sink); }

void Probe::connect(RTC::PortService_ptr target, const std::string& name,
                    const std::string& dataType) {
    ProbeInPort* in = new ProbeInPort(m_state);
    m_objects.emplace_back(m_poa->activate_object(in));
    in->_remove_ref();
    CORBA::Object_var inObj = m_poa->id_to_reference(m_objects.back().in());
    OpenRTM::InPortCdr_var inRef = OpenRTM::InPortCdr::_narrow(inObj);
    ProbeSharedMemory* shm = new ProbeSharedMemory(m_state);
    m_objects.emplace_back(m_poa->activate_object(shm));
    shm->_remove_ref();
    CORBA::Object_var shmObj = m_poa->id_to_reference(m_objects.back().in());
    OpenRTM::PortSharedMemory_var shmRef = OpenRTM::PortSharedMemory::_narrow(shmObj);
    ProbePort* port = new ProbePort(m_state, m_orb, inRef.in(), shmRef.in(), dataType);
    m_objects.emplace_back(m_poa->activate_object(port));
    port->_remove_ref();
    CORBA::Object_var portObj = m_poa->id_to_reference(m_objects.back().in());
    RTC::PortService_var portRef = RTC::PortService::_narrow(portObj);
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->self = RTC::PortService::_duplicate(portRef.in());
    }

    RTC::ConnectorProfile cp;
    cp.name = CORBA::string_dup((name + "_rtctl.probe").c_str());
    cp.connector_id = CORBA::string_dup("");
    cp.ports.length(2);
    cp.ports[0] = RTC::PortService::_duplicate(target);
    cp.ports[1] = RTC::PortService::_duplicate(portRef.in());
    RTC::remote::setNV(cp.properties, "dataport.interface_type", "corba_cdr");
    RTC::remote::setNV(cp.properties, "dataport.dataflow_type", "push");
    RTC::remote::setNV(cp.properties, "dataport.subscription_type", "flush");
    RTC::remote::setNV(cp.properties, "dataport.serializer.cdr.endian", "little,big");
    if (!dataType.empty())
        RTC::remote::setNV(cp.properties, "dataport.data_type", dataType.c_str());
    for (const std::string& s : m_settings) {
        const auto eq = s.find('=');
        RTC::remote::setNV(cp.properties, s.substr(0, eq).c_str(), s.substr(eq + 1).c_str());
    }
    const RTC::ReturnCode_t r = target->connect(cp);
    if (r != RTC::RTC_OK)
        throw std::runtime_error(std::string("connect refused: ") + RTC::remote::returnCodeName(r));
    m_target = RTC::PortService::_duplicate(target);
    m_connectorId = cp.connector_id.in();
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->since = std::chrono::steady_clock::now();
}

void Probe::disconnect(std::ostream& err) {
    if (CORBA::is_nil(m_target)) return;
    RTC::PortService_var target = m_target._retn();
    try {
        const RTC::ReturnCode_t r = target->disconnect(m_connectorId.c_str());
        if (r != RTC::RTC_OK)
            err << "rtctl: disconnecting the probe refused: " << RTC::remote::returnCodeName(r)
                << std::endl;
    } catch (const CORBA::Exception& e) {
        err << "rtctl: disconnecting the probe failed (" << e._name() << ")" << std::endl;
    }
}

ProbeFigures Probe::take() {
    const auto now = std::chrono::steady_clock::now();
    ProbeFigures f;
    std::lock_guard<std::mutex> lock(m_state->mutex);
    State& s = *m_state;
    f.seconds = std::chrono::duration<double>(now - s.since).count();
    f.values = s.delays.n;
    f.gaps = s.gaps.n;
    s.gaps.into(f.gapMean, f.gapMin, f.gapMax, f.gapDev);
    s.delays.into(f.delayMean, f.delayMin, f.delayMax, f.delayDev);
    f.bytes = s.bytes;
    f.shortValues = s.shortValues;
    s.since = now;
    s.gaps = Spread();
    s.delays = Spread();
    s.bytes = 0;
    s.shortValues = 0;
    return f;
}

unsigned long long Probe::total() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->total;
}

}  // namespace rtctl
