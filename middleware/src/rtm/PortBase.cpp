#include <rtm/PortBase.h>
#include <rtm/RTObject.h>

#include <algorithm>

namespace RTC {

PortBase::PortBase(const char* name) : m_localName(name ? name : ""), m_name(m_localName) {}

PortBase::~PortBase() = default;

const char* PortBase::getName() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_name.c_str();
}

void PortBase::setName(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_name = name;
}

RTObject_impl* PortBase::getOwner() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_owner;
}

void PortBase::setOwner(RTObject_impl* owner) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_owner = owner;
}

std::vector<ConnectorInfo> PortBase::connectors() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connectors;
}

bool PortBase::hasConnector(const std::string& id) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::any_of(m_connectors.begin(), m_connectors.end(),
                       [&](const ConnectorInfo& c) { return c.id == id; });
}

void PortBase::disconnectAll() {
    for (const ConnectorInfo& c : connectors()) disconnect(c.id);
}

void PortBase::addConnector(const ConnectorInfo& info) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_connectors.push_back(info);
    }
    tellOwner("CONNECT:");
}

bool PortBase::eraseConnector(const std::string& id) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = std::find_if(m_connectors.begin(), m_connectors.end(),
                               [&](const ConnectorInfo& c) { return c.id == id; });
        if (it == m_connectors.end()) return false;
        m_connectors.erase(it);
    }
    tellOwner("DISCONNECT:");
    return true;
}

void PortBase::tellOwner(const char* what) {
    std::string hint = what;
    RTObject_impl* owner = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        owner = m_owner;
        hint += m_name;
    }
    if (owner) owner->getSdoServiceAdmin().updateStatus(OpenRTM::PORT_PROFILE, hint);
}

}  // namespace RTC
