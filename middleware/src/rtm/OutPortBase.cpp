#include <rtm/OutPortBase.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>

namespace RTC {

namespace {

// Hands each value to an input port of the same process, copied into the port's buffer.
class LocalConnector : public OutPortConnector {
public:
    LocalConnector(const ConnectorInfo& info, std::shared_ptr<InPortEndpoint> endpoint)
        : OutPortConnector(info), m_endpoint(std::move(endpoint)) {}

    OpenRTM::PortStatus put(const CORBA::Octet* bytes, CORBA::ULong length) override {
        OpenRTM::CdrData borrowed(length, length, const_cast<CORBA::Octet*>(bytes), false);
        const OpenRTM::PortStatus s = m_endpoint->put(borrowed, littleEndian(), info().id);
        if (s == OpenRTM::PORT_ERROR) m_dead = true;
        return s;
    }
    bool dead() const override { return m_dead; }

private:
    std::shared_ptr<InPortEndpoint> m_endpoint;
    bool m_dead = false;
};

}  // namespace

bool firstEndianIsLittle(const std::string& value) {
    const auto little = value.find("little");
    const auto big = value.find("big");
    if (big == std::string::npos) return true;
    return little != std::string::npos && little < big;
}

OutPortConnector::OutPortConnector(const ConnectorInfo& info)
    : m_info(info),
      m_littleEndian(
          firstEndianIsLittle(info.properties.getProperty("dataport.serializer.cdr.endian"))) {}

OutPortConnector::~OutPortConnector() = default;

OutPortBase::OutPortBase(const char* name, const char* data_type) : PortBase(name) {
    m_properties.setProperty("port.port_type", "DataOutPort");
    m_properties.setProperty("dataport.data_type", data_type);
    m_properties.setProperty("dataport.subscription_type", "flush,new,periodic");
    m_properties.setProperty("dataport.dataflow_type", "push");
    m_properties.setProperty("dataport.interface_type", "corba_cdr,shared_memory");
    // write() encodes in whichever byte order a connection asks for.
    m_properties.setProperty("dataport.serializer.cdr.endian", "little,big");
}

OutPortBase::~OutPortBase() = default;

std::string OutPortBase::connectLocal(InPortBase& inport, ConnectorInfo info) {
    if (info.id.empty()) info.id = newConnectorId();
    if (info.name.empty()) info.name = std::string(getName()) + "_" + inport.getName();
    info.properties.setProperty("dataport.interface_type", "local");
    info.properties.setProperty("dataport.dataflow_type", "push");
    inport.acceptConnector(info);
    addConnection(std::unique_ptr<OutPortConnector>(new LocalConnector(info, inport.endpoint())));
    return info.id;
}

void OutPortBase::addConnection(std::unique_ptr<OutPortConnector> connector) {
    addConnector(connector->info());
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connections.push_back(std::shared_ptr<OutPortConnector>(std::move(connector)));
}

bool OutPortBase::disconnect(const std::string& id) {
    // Ended outside the lock: ending a connection may call its peer.
    std::vector<std::shared_ptr<OutPortConnector>> ended;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto keep = std::stable_partition(m_connections.begin(), m_connections.end(),
                                          [&](const std::shared_ptr<OutPortConnector>& c) {
                                              return c->info().id != id;
                                          });
        ended.assign(keep, m_connections.end());
        m_connections.erase(keep, m_connections.end());
    }
    return eraseConnector(id);
}

unsigned long long OutPortBase::delivered() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_delivered;
}

unsigned long long OutPortBase::droppedConnections() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_dropped;
}

const OutPortBase::Encoding& OutPortBase::encoded(const CdrEncoder& value, bool littleEndian) {
    Encoding& e = littleEndian ? m_little : m_big;
    if (e.made) return e;
    // Made on first use: a stream takes the ORB's code sets when it is constructed, and a port
    // may be constructed before the ORB exists.
    if (!e.stream) e.stream.reset(new GrowingCdrStream(littleEndian));
    e.stream->rewind(littleEndian);
    value.encode(*e.stream);
    e.made = true;
    return e;
}

bool OutPortBase::deliver(const CdrEncoder& value) {
    std::vector<std::shared_ptr<OutPortConnector>> connections;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        connections = m_connections;
    }
    m_little.made = m_big.made = false;
    bool all = true;
    std::vector<std::string> dead;
    for (const auto& c : connections) {
        OpenRTM::PortStatus s;
        if (c->encodesItself()) {
            s = c->putValue(value);
        } else {
            const Encoding& e = encoded(value, c->littleEndian());
            s = c->put(e.stream->data(), static_cast<CORBA::ULong>(e.stream->length()));
        }
        if (s != OpenRTM::PORT_OK) all = false;
        if (c->dead()) dead.push_back(c->info().id);
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_delivered += connections.size();
        m_dropped += dead.size();
    }
    for (const std::string& id : dead) disconnect(id);
    return all;
}

std::string newConnectorId() {
    static std::mutex s_mutex;
    static std::mt19937_64 s_random{std::random_device{}()};
    std::lock_guard<std::mutex> lock(s_mutex);
    const unsigned long long a = s_random(), b = s_random();
    char text[37];
    std::snprintf(text, sizeof text, "%08llx-%04llx-4%03llx-%04llx-%012llx", a >> 32,
                  (a >> 16) & 0xffff, a & 0xfff, ((b >> 48) & 0x3fff) | 0x8000,
                  b & 0xffffffffffffULL);
    return text;
}

}  // namespace RTC
