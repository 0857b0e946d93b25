#include <rtm/InPortBase.h>

#include <cstdlib>

namespace RTC {

OpenRTM::PortStatus InPortEndpoint::put(OpenRTM::CdrData& data, bool littleEndian,
                                        const std::string& connectorId) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_port) return OpenRTM::PORT_ERROR;
    return m_port->put(data, littleEndian, connectorId);
}

ConnectorListenerStatus::Enum operator|(ConnectorListenerStatus::Enum l,
                                        ConnectorListenerStatus::Enum r) {
    return static_cast<ConnectorListenerStatus::Enum>(static_cast<int>(l) | static_cast<int>(r));
}

ConnectorListenerStatus::Enum operator&(ConnectorListenerStatus::Enum l,
                                        ConnectorListenerStatus::Enum r) {
    return static_cast<ConnectorListenerStatus::Enum>(static_cast<int>(l) & static_cast<int>(r));
}

const char* ConnectorDataListener::toString(ConnectorDataListenerType type) {
    static const char* const names[] = {"ON_BUFFER_WRITE",
                                        "ON_BUFFER_FULL",
                                        "ON_BUFFER_WRITE_TIMEOUT",
                                        "ON_BUFFER_OVERWRITE",
                                        "ON_BUFFER_READ",
                                        "ON_SEND",
                                        "ON_RECEIVED",
                                        "ON_RECEIVER_FULL",
                                        "ON_RECEIVER_TIMEOUT",
                                        "ON_RECEIVER_ERROR",
                                        "CONNECTOR_DATA_LISTENER_NUM"};
    return type >= 0 && type <= CONNECTOR_DATA_LISTENER_NUM ? names[type] : "";
}

ConnectorDataListener::~ConnectorDataListener() = default;

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

InPortBase::~InPortBase() {
    m_endpoint->detach();
    for (auto& listeners : m_listeners)
        for (auto& entry : listeners)
            if (entry.second) delete entry.first;
}

OpenRTM::PortStatus InPortBase::put(OpenRTM::CdrData& data, bool littleEndian,
                                    const std::string& connectorId) {
    if (m_receivedListened.load(std::memory_order_relaxed))
        notifyReceived(data, littleEndian, connectorId);
    return m_ring.put(data, littleEndian);
}

void InPortBase::notifyReceived(OpenRTM::CdrData& data, bool littleEndian,
                                const std::string& connectorId) {
    std::lock_guard<std::mutex> lock(m_listenersMutex);
    const auto notify = [&](ConnectorInfo& info) {
        for (auto& entry : m_listeners[ON_RECEIVED]) {
            // A stream over the received bytes, read-only: the value reaches the buffer as it
            // came.
            cdrMemoryStream stream(data.get_buffer(), data.length());
            stream.setByteSwapFlag(littleEndian);
            try {
                (*entry.first)(info, stream);
            } catch (...) {
                // A listener's failure is its own; the value is still stored.
            }
        }
    };
    const auto it = m_connectorInfo.find(connectorId);
    if (it != m_connectorInfo.end()) return notify(it->second);
    // A value may still come through a connection just ended: it is described by its id alone.
    ConnectorInfo ended;
    ended.id = connectorId;
    notify(ended);
}

void InPortBase::addConnectorDataListener(ConnectorDataListenerType listener_type,
                                          ConnectorDataListener* listener, bool autoclean) {
    if (listener == nullptr || listener_type < 0 || listener_type >= CONNECTOR_DATA_LISTENER_NUM)
        return;
    std::lock_guard<std::mutex> lock(m_listenersMutex);
    m_listeners[listener_type].emplace_back(listener, autoclean);
    m_receivedListened = !m_listeners[ON_RECEIVED].empty();
}

void InPortBase::removeConnectorDataListener(ConnectorDataListenerType listener_type,
                                             ConnectorDataListener* listener) {
    if (listener_type < 0 || listener_type >= CONNECTOR_DATA_LISTENER_NUM) return;
    std::lock_guard<std::mutex> lock(m_listenersMutex);
    auto& listeners = m_listeners[listener_type];
    for (auto it = listeners.begin(); it != listeners.end(); ++it) {
        if (it->first != listener) continue;
        if (it->second) delete it->first;
        listeners.erase(it);
        break;
    }
    m_receivedListened = !m_listeners[ON_RECEIVED].empty();
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
    {
        std::lock_guard<std::mutex> lock(m_listenersMutex);
        m_connectorInfo[info.id] = info;
    }
    addConnector(info);
}

bool InPortBase::disconnect(const std::string& id) {
    {
        std::lock_guard<std::mutex> lock(m_listenersMutex);
        m_connectorInfo.erase(id);
    }
    return eraseConnector(id);
}

bool InPortBase::isNew() const { return m_ring.unread() > 0; }

bool InPortBase::isEmpty() const { return m_ring.unread() == 0; }

CdrRing::Counters InPortBase::counters() const { return m_ring.counters(); }

std::size_t InPortBase::unreadCount() const { return m_ring.unread(); }

unsigned long long InPortBase::undecodable() const { return m_undecodable.load(); }

bool InPortBase::takeOldest(CdrSlot& out) { return m_ring.take(out); }

void InPortBase::countUndecodable() { ++m_undecodable; }

}  // namespace RTC
