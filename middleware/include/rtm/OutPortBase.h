// The untyped part of an output port: the connections every written value goes to.
#ifndef RTM_OUTPORTBASE_H
#define RTM_OUTPORTBASE_H

#include <rtm/InPortBase.h>
#include <rtm/PortBase.h>

#include <memory>
#include <string>
#include <vector>

namespace RTC {

// One outgoing connection. put() is called by the writing thread only.
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
    // Sends one value, given in both byte orders as needed (`big` is encoded only when some
    // connection asked for it), to every connection; drops the ones whose peer has gone. True
    // when every connection took the value.
    bool deliver(const CORBA::Octet* little, CORBA::ULong littleLength, const CORBA::Octet* big,
                 CORBA::ULong bigLength);
    bool anyBigEndian() const;

private:
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
