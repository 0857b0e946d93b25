#include <rtm/InPortBase.h>

#include <cstdlib>

namespace RTC {

OpenRTM::PortStatus InPortEndpoint::put(OpenRTM::CdrData& data, bool littleEndian) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_port) return OpenRTM::PORT_ERROR;
    return m_port->put(data, littleEndian);
}

void InPortEndpoint::detach() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_port = nullptr;
}

InPortBase::InPortBase(const char* name, const char* data_type, int bufsize)
    : PortBase(name),
      m_ring(bufsize > 0 ? static_cast<std::size_t>(bufsize) : 1),
      m_endpoint(std::make_shared<InPortEndpoint>(this)) {
    m_properties.setProperty("port.port_type", "DataInPort");
    m_properties.setProperty("dataport.data_type", data_type);
    m_properties.setProperty("dataport.subscription_type", "Any");
    m_properties.setProperty("dataport.dataflow_type", "push");
    m_properties.setProperty("dataport.interface_type", "corba_cdr,shared_memory");
    // Either byte order decodes; the connector's first choice is used.
    m_properties.setProperty("dataport.serializer.cdr.endian", "little,big");
}

InPortBase::~InPortBase() { m_endpoint->detach(); }

OpenRTM::PortStatus InPortBase::put(OpenRTM::CdrData& data, bool littleEndian) {
    return m_ring.put(data, littleEndian);
}

void InPortBase::acceptConnector(const ConnectorInfo& info) {
    const std::string length = info.properties.getProperty("dataport.buffer.length");
    if (!length.empty()) {
        char* end = nullptr;
        const long n = std::strtol(length.c_str(), &end, 10);
        if (end != length.c_str() && *end == '\0' && n > 0 && n <= 65536)
            m_ring.setCapacity(static_cast<std::size_t>(n));
    }
    const std::string policy = info.properties.getProperty("dataport.buffer.write.full_policy");
    if (policy == "do_nothing" || policy == "block")
        m_ring.setFullPolicy(CdrRing::FullPolicy::Refuse);
    else if (policy == "overwrite")
        m_ring.setFullPolicy(CdrRing::FullPolicy::Overwrite);
    addConnector(info);
}

bool InPortBase::disconnect(const std::string& id) { return eraseConnector(id); }

bool InPortBase::isNew() const { return m_ring.unread() > 0; }

bool InPortBase::isEmpty() const { return m_ring.unread() == 0; }

CdrRing::Counters InPortBase::counters() const { return m_ring.counters(); }

unsigned long long InPortBase::undecodable() const { return m_undecodable.load(); }

bool InPortBase::takeOldest(CdrSlot& out) { return m_ring.take(out); }

void InPortBase::countUndecodable() { ++m_undecodable; }

}  // namespace RTC
