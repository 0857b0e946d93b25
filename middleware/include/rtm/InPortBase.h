// The untyped part of an input port: its buffer and the connections that feed it.
#ifndef RTM_INPORTBASE_H
#define RTM_INPORTBASE_H

#include <rtm/CdrRing.h>
#include <rtm/PortBase.h>

#include <atomic>
#include <memory>

namespace RTC {

class InPortBase;

// What a writer holds to reach an input port; outlives the port, and refuses values once the port
// is gone.
class InPortEndpoint {
public:
    explicit InPortEndpoint(InPortBase* port) : m_port(port) {}
    OpenRTM::PortStatus put(OpenRTM::CdrData& data, bool littleEndian);
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

    // Stores one received value (any thread). Its buffer is taken over.
    OpenRTM::PortStatus put(OpenRTM::CdrData& data, bool littleEndian = true);
    std::shared_ptr<InPortEndpoint> endpoint() const { return m_endpoint; }

    // Registers a connection made by someone else (a local writer, or a remote one through the
    // connection protocol); applies its buffer properties to this port.
    void acceptConnector(const ConnectorInfo& info);
    bool disconnect(const std::string& id) override;

    // True while a received value has not been read.
    bool isNew() const;
    bool isEmpty() const;
    CdrRing::Counters counters() const;
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
};

}  // namespace RTC

#endif
