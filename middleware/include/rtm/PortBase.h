// What every port has: a name, its owner, its profile properties and its connections.
#ifndef RTM_PORTBASE_H
#define RTM_PORTBASE_H

#include <coil/Properties.h>
#include <rtm/RTC.h>

#include <mutex>
#include <string>
#include <vector>

namespace RTC {

class RTObject_impl;

// A connection as the port keeps it: an opaque id from whoever made it, a name, and the
// connector properties ("dataport.interface_type", ...).
struct ConnectorInfo {
    std::string id;
    std::string name;
    coil::Properties properties;
};

class PortBase {
public:
    explicit PortBase(const char* name);
    virtual ~PortBase();
    PortBase(const PortBase&) = delete;
    PortBase& operator=(const PortBase&) = delete;

    // The name given at construction; getName() gives the registered name, which the owning
    // component prefixes with its instance name ("Morvane0.stereo") as the middleware does.
    const char* getName() const;
    const std::string& localName() const { return m_localName; }
    void setName(const std::string& name);
    RTObject_impl* getOwner() const;
    void setOwner(RTObject_impl* owner);
    // The port profile properties ("port.port_type", "dataport.data_type", ...).
    const coil::Properties& getProperties() const { return m_properties; }
    coil::Properties& properties() { return m_properties; }

    std::vector<ConnectorInfo> connectors() const;
    bool hasConnector(const std::string& id) const;
    // Ends one connection; false when there is none of that id.
    virtual bool disconnect(const std::string& id) = 0;
    void disconnectAll();

protected:
    // Record and forget connections; the owner's observers are told "CONNECT:<name>" and
    // "DISCONNECT:<name>".
    void addConnector(const ConnectorInfo& info);
    bool eraseConnector(const std::string& id);

    coil::Properties m_properties;

private:
    void tellOwner(const char* what);

    std::string m_localName;
    // Guards the members below.
    mutable std::mutex m_mutex;
    std::string m_name;
    RTObject_impl* m_owner = nullptr;
    std::vector<ConnectorInfo> m_connectors;
};

}  // namespace RTC

#endif
