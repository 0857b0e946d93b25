// The untyped part of an input port: its buffer and the connections that feed it.
#ifndef RTM_INPORTBASE_H
#define RTM_INPORTBASE_H

#include <rtm/CdrRing.h>
#include <rtm/ConnectorListener.h>
#include <rtm/PortBase.h>

#include <atomic>
#include <map>
#include <memory>
#include <utility>
#include <vector>

namespace RTC {

class InPortBase;

// What a writer holds to reach an input port; outlives the port, and refuses values once the port
// is gone.
class InPortEndpoint {
public:
    explicit InPortEndpoint(InPortBase* port) : m_port(port) {}
    // `connectorId` names the connection the value came through.
    OpenRTM::PortStatus put(OpenRTM::CdrData& data, bool littleEndian,
                            const std::string& connectorId = std::string());
    void detach();

private:
    // Guards m_port.
    std::mutex m_mutex;
    InPortBase* m_port;
};

class InPortBase : public PortBase {
public:
    // `data_type` is the advertised type name; `bufsize` the number of slots of the buffer.
    InPortBase(const char* name, const char* data_type, int bufsize);
    ~InPortBase() override;

    // Stores one received value (any thread), after the ON_RECEIVED listeners have seen it. Its
    // buffer is taken over.
    OpenRTM::PortStatus put(OpenRTM::CdrData& data, bool littleEndian = true,
                            const std::string& connectorId = std::string());
    std::shared_ptr<InPortEndpoint> endpoint() const { return m_endpoint; }

    // Registers a connection made by someone else (a local writer, or a remote one through the
    // connection protocol); applies its buffer properties to this port.
    void acceptConnector(const ConnectorInfo& info);
    bool disconnect(const std::string& id) override;

    // Listeners on the received values. Of the events, this port raises ON_RECEIVED: every value
    // that reaches the port through a connection, before it is stored (so whether or not the
    // buffer takes it). Listeners of the other events are kept and never called. With
    // `autoclean` the port deletes the listener when it is removed or the port destroyed.
    void addConnectorDataListener(ConnectorDataListenerType listener_type,
                                  ConnectorDataListener* listener, bool autoclean = true);
    void removeConnectorDataListener(ConnectorDataListenerType listener_type,
                                     ConnectorDataListener* listener);

    // True while a received value has not been read.
    bool isNew() const;
    bool isEmpty() const;
    CdrRing::Counters counters() const;
    // Values received and not yet read.
    std::size_t unreadCount() const;
    // Values read from the buffer that did not decode and were dropped.
    unsigned long long undecodable() const;

protected:
    // The oldest unread value (component thread only).
    bool takeOldest(CdrSlot& out);
    void countUndecodable();

private:
    CdrRing m_ring;
    std::shared_ptr<InPortEndpoint> m_endpoint;
    std::atomic<unsigned long long> m_undecodable{0};

    void notifyReceived(OpenRTM::CdrData& data, bool littleEndian, const std::string& connectorId);

    // Guards the members below. Taken on every arrival only while a listener is registered.
    std::mutex m_listenersMutex;
    std::atomic<bool> m_receivedListened{false};
    std::vector<std::pair<ConnectorDataListener*, bool>> m_listeners[CONNECTOR_DATA_LISTENER_NUM];
    std::map<std::string, ConnectorInfo> m_connectorInfo;  // by connector id
};

}  // namespace RTC

#endif
