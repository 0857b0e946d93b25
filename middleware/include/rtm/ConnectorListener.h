// Listeners on the data that passes through a port's connections, with the middleware's types:
// a port calls each listener registered for an event with the connection's description and the
// value's CDR bytes.
#ifndef RTM_CONNECTORLISTENER_H
#define RTM_CONNECTORLISTENER_H

#include <omniORB4/CORBA.h>
#include <rtm/PortBase.h>

namespace RTC {

// What a listener tells the port about the description and the value it was given.
class ConnectorListenerStatus {
public:
    enum Enum {
        NO_CHANGE = 0,
        INFO_CHANGED = 1 << 0,
        DATA_CHANGED = 1 << 1,
        BOTH_CHANGED = INFO_CHANGED | DATA_CHANGED
    };
};

ConnectorListenerStatus::Enum operator|(ConnectorListenerStatus::Enum l,
                                        ConnectorListenerStatus::Enum r);
ConnectorListenerStatus::Enum operator&(ConnectorListenerStatus::Enum l,
                                        ConnectorListenerStatus::Enum r);

// The events of a connection's data, in the middleware's order.
enum ConnectorDataListenerType {
    ON_BUFFER_WRITE = 0,
    ON_BUFFER_FULL,
    ON_BUFFER_WRITE_TIMEOUT,
    ON_BUFFER_OVERWRITE,
    ON_BUFFER_READ,
    ON_SEND,
    ON_RECEIVED,
    ON_RECEIVER_FULL,
    ON_RECEIVER_TIMEOUT,
    ON_RECEIVER_ERROR,
    CONNECTOR_DATA_LISTENER_NUM
};

class ConnectorDataListener : public ConnectorListenerStatus {
public:
    typedef ConnectorListenerStatus::Enum ReturnCode;

    static const char* toString(ConnectorDataListenerType type);

    virtual ~ConnectorDataListener();
    // `data` reads the value's CDR bytes from their start, in the connection's byte order. Called
    // on the thread that received the value; it must not block.
    virtual ReturnCode operator()(ConnectorInfo& info, cdrMemoryStream& data) = 0;
};

}  // namespace RTC

#endif
