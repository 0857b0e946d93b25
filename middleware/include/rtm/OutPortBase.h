// The untyped part of an output port: the connections every written value goes to.
#ifndef RTM_OUTPORTBASE_H
#define RTM_OUTPORTBASE_H

#include <rtm/CdrAreaStream.h>
#include <rtm/InPortBase.h>
#include <rtm/PortBase.h>

#include <memory>
#include <string>
#include <vector>

namespace RTC {

// The value being written, for connections that encode it themselves.
class CdrEncoder {
public:
    virtual ~CdrEncoder() = default;
    // Appends the value's CDR encoding to `stream`, in the stream's byte order.
    virtual void encode(cdrStream& stream) const = 0;
};

// One outgoing connection. put() and putValue() are called by the writing thread only.
class OutPortConnector {
public:
    explicit OutPortConnector(const ConnectorInfo& info);
    virtual ~OutPortConnector();
    OutPortConnector(const OutPortConnector&) = delete;
    OutPortConnector& operator=(const OutPortConnector&) = delete;

    const ConnectorInfo& info() const { return m_info; }
    // Byte order the peer asked for ("dataport.serializer.cdr.endian"); little unless it said big.
    bool littleEndian() const { return m_littleEndian; }
    // Delivers one encoded value; the bytes stay the caller's. A peer that is gone answers
    // PORT_ERROR and dead() turns true.
    virtual OpenRTM::PortStatus put(const CORBA::Octet* bytes, CORBA::ULong length) = 0;
    // True for a connection that places each value's encoding itself (into shared memory): it
    // gets the value through putValue() instead of put(), and nothing is encoded for it before.
    virtual bool encodesItself() const { return false; }
    virtual OpenRTM::PortStatus putValue(const CdrEncoder&) { return OpenRTM::PORT_ERROR; }
    virtual bool dead() const = 0;

private:
    ConnectorInfo m_info;
    bool m_littleEndian;
};

// The byte order named first in a "dataport.serializer.cdr.endian" value ("little,big"); little
// when it names neither.
bool firstEndianIsLittle(const std::string& value);

class OutPortBase : public PortBase {
public:
    OutPortBase(const char* name, const char* data_type);
    ~OutPortBase() override;

    // Connects this port to an input port of the same process; returns the connector id (a fresh
    // one when `info.id` is empty). The buffer properties of `info` apply to the input port.
    std::string connectLocal(InPortBase& inport, ConnectorInfo info = ConnectorInfo());
    // Adds a connection made through the connection protocol.
    void addConnection(std::unique_ptr<OutPortConnector> connector);
    bool disconnect(const std::string& id) override;

    // Values handed to connections, and connections dropped because their peer had gone.
    unsigned long long delivered() const;
    unsigned long long droppedConnections() const;

protected:
    // Sends one value to every connection, encoding it at most once per byte order for those
    // that take bytes; drops the connections whose peer has gone. True when every connection
    // took the value. Writing thread only.
    bool deliver(const CdrEncoder& value);

private:
    // The encoding of the value being delivered in one byte order, made when first needed.
    struct Encoding {
        std::unique_ptr<GrowingCdrStream> stream;
        bool made = false;
    };
    const Encoding& encoded(const CdrEncoder& value, bool littleEndian);

    // Writing thread only: the streams keep their buffers from one value to the next, so a
    // steady stream of values of one size allocates nothing here.
    Encoding m_little;
    Encoding m_big;

    // Guards the connection list and the counters.
    mutable std::mutex m_mutex;
    std::vector<std::shared_ptr<OutPortConnector>> m_connections;
    unsigned long long m_delivered = 0;
    unsigned long long m_dropped = 0;
};

// A fresh connector id (a random UUID in text form).
std::string newConnectorId();

}  // namespace RTC

#endif
