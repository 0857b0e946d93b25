#include <coil/stringutil.h>
#include <rtm/RTObject.h>
#include <rtm/RemoteUtil.h>

#include <algorithm>
#include <cstring>

#include "PeerBudget.h"
#include "Registry.h"
#include "Servants.h"

namespace RTC {
namespace remote {

namespace {

[[noreturn]] void gone() { throw CORBA::OBJECT_NOT_EXIST(0, CORBA::COMPLETED_NO); }

// True when the profile asks for "shared_memory"; anything else is "corba_cdr", the default.
bool wantsSharedMemory(const RTC::ConnectorProfile& profile) {
    std::string value;
    return findString(profile.properties, "dataport.interface_type", value) &&
           coil::normalize(value) == "shared_memory";
}

bool isSelf(RTC::PortService_ptr port, RTC::PortService_ptr self) {
    return !CORBA::is_nil(port) && port->_is_equivalent(self);
}

}  // namespace

PortServant::PortServant(Registry& registry, std::shared_ptr<ComponentLink> link, PortBase* port,
                         RTC::RTObject_ptr owner)
    : m_registry(registry),
      m_link(std::move(link)),
      m_port(port),
      m_owner(RTC::RTObject::_duplicate(owner)) {}

PortServant::~PortServant() = default;

void PortServant::activated(Activation activation, RTC::PortService_ptr ref) {
    m_activation = activation;
    m_ref = ref;
}

void PortServant::deactivate() { m_activation.deactivate(); }

bool PortServant::present(ComponentLink::Use& use) const {
    if (!use) return false;
    const std::vector<PortBase*> ports = use->getPorts();
    return std::find(ports.begin(), ports.end(), m_port) != ports.end();
}

ConnectorInfo PortServant::infoOf(const RTC::ConnectorProfile& profile) {
    ConnectorInfo info;
    info.id = profile.connector_id.in();
    info.name = profile.name.in();
    info.properties = toProperties(profile.properties);
    return info;
}

RTC::ConnectorProfileList PortServant::currentProfiles() {
    const std::vector<ConnectorInfo> connectors = m_port->connectors();
    std::vector<std::string> stale;
    RTC::ConnectorProfileList list;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_profiles.begin(); it != m_profiles.end();) {
            const bool kept = std::any_of(connectors.begin(), connectors.end(),
                                          [&](const ConnectorInfo& c) { return c.id == it->first; });
            if (kept) {
                ++it;
            } else {
                stale.push_back(it->first);
                it = m_profiles.erase(it);
            }
        }
        for (const ConnectorInfo& c : connectors) {
            const CORBA::ULong i = list.length();
            list.length(i + 1);
            auto known = m_profiles.find(c.id);
            if (known != m_profiles.end()) {
                list[i] = known->second;
                continue;
            }
            // A connection made inside the process (connectLocal): no ports to show.
            list[i].name = CORBA::string_dup(c.name.c_str());
            list[i].connector_id = CORBA::string_dup(c.id.c_str());
            list[i].properties = toNVList(c.properties);
        }
    }
    // The port dropped these itself (their peer had gone); release what they held here.
    for (const std::string& id : stale) unsubscribeInterfaces(id);
    return list;
}

RTC::PortProfile* PortServant::profile() {
    RTC::PortProfile_var p = new RTC::PortProfile;
    p->name = CORBA::string_dup(m_port->getName());
    p->port_ref = RTC::PortService::_duplicate(m_ref.in());
    p->connector_profiles = currentProfiles();
    p->owner = RTC::RTObject::_duplicate(m_owner.in());
    p->properties = toNVList(m_port->getProperties());
    return p._retn();
}

RTC::PortProfile* PortServant::get_port_profile() {
    ComponentLink::Use use(*m_link);
    if (!present(use)) gone();
    return profile();
}

RTC::ConnectorProfileList* PortServant::get_connector_profiles() {
    ComponentLink::Use use(*m_link);
    if (!present(use)) gone();
    return new RTC::ConnectorProfileList(currentProfiles());
}

RTC::ConnectorProfile* PortServant::get_connector_profile(const char* connector_id) {
    ComponentLink::Use use(*m_link);
    if (!present(use)) gone();
    const RTC::ConnectorProfileList list = currentProfiles();
    for (CORBA::ULong i = 0; i < list.length(); ++i)
        if (std::strcmp(list[i].connector_id.in(), connector_id) == 0)
            return new RTC::ConnectorProfile(list[i]);
    return new RTC::ConnectorProfile;
}

ReturnCode_t PortServant::checkProfile(const RTC::ConnectorProfile& profile) const {
    if (!keysWithinDepth(profile.properties)) return RTC::BAD_PARAMETER;
    std::string value;
    if (findString(profile.properties, "dataport.interface_type", value) &&
        coil::normalize(value) != "corba_cdr" && value != "shared_memory")
        return RTC::BAD_PARAMETER;
    if (findString(profile.properties, "dataport.dataflow_type", value) &&
        coil::normalize(value) != "push")
        return RTC::BAD_PARAMETER;
    if (findString(profile.properties, "dataport.data_type", value) &&
        !dataTypesMatch(value, m_port->getProperties().getProperty("dataport.data_type")))
        return RTC::BAD_PARAMETER;
    return RTC::RTC_OK;
}

CORBA::ULong PortServant::indexIn(const RTC::ConnectorProfile& profile) const {
    for (CORBA::ULong i = 0; i < profile.ports.length(); ++i)
        if (isSelf(profile.ports[i], m_ref)) return i;
    return profile.ports.length();
}

ReturnCode_t PortServant::connectNext(RTC::ConnectorProfile& profile) {
    const CORBA::ULong i = indexIn(profile);
    const CORBA::ULong n = profile.ports.length();
    if (i == n) return RTC::BAD_PARAMETER;
    if (i + 1 == n) return RTC::RTC_OK;
    RTC::PortService_ptr next = profile.ports[i + 1];
    if (CORBA::is_nil(next)) return RTC::BAD_PARAMETER;
    // One limit for the rest of the chain, whatever its length: the next port passes the profile
    // on within the same time, and a port that never answers costs that much once.
    if (!m_registry.budget(kPeerCallLimit).limit(next, kPeerCallTimeoutMs)) return RTC::RTC_ERROR;
    try {
        return next->notify_connect(profile);
    } catch (const CORBA::Exception&) {
        return RTC::RTC_ERROR;
    }
}

void PortServant::disconnectNext(const RTC::ConnectorProfile& profile, const std::string& id,
                                 const PeerBudget& budget) {
    const CORBA::ULong i = indexIn(profile);
    const CORBA::ULong n = profile.ports.length();
    if (i + 1 >= n) return;
    RTC::PortService_ptr next = profile.ports[i + 1];
    if (CORBA::is_nil(next) || !budget.limit(next, kPeerCallTimeoutMs)) return;
    try {
        next->notify_disconnect(id.c_str());
    } catch (const CORBA::Exception&) {
        // A peer that is gone has nothing left to undo.
    }
}

RTC::ReturnCode_t PortServant::connect(RTC::ConnectorProfile& connector_profile) {
    {
        ComponentLink::Use use(*m_link);
        if (!present(use)) gone();
    }
    if (connector_profile.ports.length() == 0 ||
        connector_profile.ports.length() > kMaxConnectorPorts)
        return RTC::BAD_PARAMETER;
    const std::string id = connector_profile.connector_id.in();
    if (id.empty()) {
        connector_profile.connector_id = CORBA::string_dup(newConnectorId().c_str());
    } else {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_profiles.count(id) || m_pending.count(id)) return RTC::PRECONDITION_NOT_MET;
    }
    // As the middleware's ports do, so that every port of the connection sees the same choice.
    if (!findNV(connector_profile.properties, "dataport.serializer.cdr.endian"))
        setNV(connector_profile.properties, "dataport.serializer.cdr.endian", "little,big");
    RTC::PortService_ptr first = connector_profile.ports[0];
    if (CORBA::is_nil(first)) return RTC::BAD_PARAMETER;
    if (isSelf(first, m_ref)) return notify_connect(connector_profile);
    if (!m_registry.budget(kPeerCallLimit).limit(first, kPeerCallTimeoutMs)) return RTC::RTC_ERROR;
    try {
        return first->notify_connect(connector_profile);
    } catch (const CORBA::Exception&) {
        return RTC::RTC_ERROR;
    }
}

RTC::ReturnCode_t PortServant::notify_connect(RTC::ConnectorProfile& connector_profile) {
    ComponentLink::Use use(*m_link);
    if (!present(use)) gone();
    const std::string id = connector_profile.connector_id.in();
    if (id.empty() || connector_profile.ports.length() > kMaxConnectorPorts)
        return RTC::BAD_PARAMETER;
    ReturnCode_t r = checkProfile(connector_profile);
    if (r != RTC::RTC_OK) return r;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_profiles.count(id) || m_pending.count(id) || m_port->hasConnector(id))
            return RTC::PRECONDITION_NOT_MET;
        m_pending.insert(id);
    }
    auto fail = [&](ReturnCode_t code, bool nextJoined) {
        unsubscribeInterfaces(id);
        if (nextJoined) disconnectNext(connector_profile, id, m_registry.budget(kPeerCallLimit));
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pending.erase(id);
        return code;
    };
    r = publishInterfaces(connector_profile);
    if (r != RTC::RTC_OK) return fail(r, false);
    r = connectNext(connector_profile);
    if (r != RTC::RTC_OK) return fail(r, false);
    r = subscribeInterfaces(connector_profile);
    if (r != RTC::RTC_OK) return fail(r, true);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pending.erase(id);
    m_profiles[id] = connector_profile;
    return RTC::RTC_OK;
}

bool PortServant::forget(const std::string& id, RTC::ConnectorProfile* profile) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_profiles.find(id);
        if (it == m_profiles.end()) return false;
        if (profile) *profile = it->second;
        m_profiles.erase(it);
    }
    unsubscribeInterfaces(id);
    return true;
}

RTC::ReturnCode_t PortServant::notify_disconnect(const char* connector_id) {
    ComponentLink::Use use(*m_link);
    if (!present(use)) gone();
    return leave(connector_id, m_registry.budget(kPeerCallLimit));
}

ReturnCode_t PortServant::leave(const std::string& id, const PeerBudget& budget) {
    RTC::ConnectorProfile profile;
    if (!forget(id, &profile)) {
        // Known to the port only: a connection made inside the process, or one the port dropped.
        return m_port->disconnect(id) ? RTC::RTC_OK : RTC::BAD_PARAMETER;
    }
    disconnectNext(profile, id, budget);
    return RTC::RTC_OK;
}

ReturnCode_t PortServant::disconnectOne(const std::string& id, const PeerBudget& budget) {
    RTC::ConnectorProfile profile;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_profiles.find(id);
        if (it != m_profiles.end()) profile = it->second;
    }
    if (profile.ports.length() == 0)
        return m_port->disconnect(id) || forget(id, nullptr) ? RTC::RTC_OK : RTC::BAD_PARAMETER;
    // Start the chain at the first port that answers; a peer gone from the front of the list
    // must not keep the others connected.
    for (CORBA::ULong k = 0; k < profile.ports.length(); ++k) {
        RTC::PortService_ptr port = profile.ports[k];
        if (CORBA::is_nil(port)) continue;
        if (isSelf(port, m_ref)) {
            leave(id, budget);
            break;
        }
        if (!budget.limit(port, kPeerCallTimeoutMs)) break;
        try {
            port->notify_disconnect(id.c_str());
            break;
        } catch (const CORBA::Exception&) {
        }
    }
    // The chain may have broken before reaching this port.
    forget(id, nullptr);
    return RTC::RTC_OK;
}

RTC::ReturnCode_t PortServant::disconnect(const char* connector_id) {
    ComponentLink::Use use(*m_link);
    if (!present(use)) gone();
    return disconnectOne(connector_id, m_registry.budget(kPeerCallLimit));
}

void PortServant::disconnectEverything(const PeerBudget& budget) {
    std::vector<std::string> ids;
    for (const ConnectorInfo& c : m_port->connectors()) ids.push_back(c.id);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& p : m_profiles)
            if (std::find(ids.begin(), ids.end(), p.first) == ids.end()) ids.push_back(p.first);
    }
    // Once the budget is spent the connections still end here; their peers are not told.
    for (const std::string& id : ids) disconnectOne(id, budget);
}

RTC::ReturnCode_t PortServant::disconnect_all() {
    ComponentLink::Use use(*m_link);
    if (!present(use)) gone();
    disconnectEverything(m_registry.budget(kPeerCallLimit));
    return RTC::RTC_OK;
}

InPortServant::InPortServant(Registry& registry, std::shared_ptr<ComponentLink> link,
                             InPortBase* port, RTC::RTObject_ptr owner)
    : PortServant(registry, std::move(link), port, owner), m_in(port) {}

InPortServant::~InPortServant() {
    for (auto& c : m_consumers) release(c.second);
}

void InPortServant::release(Consumer& consumer) {
    if (consumer.shm) consumer.shm->end();
    consumer.activation.deactivate();
    consumer.servant->_remove_ref();
}

void InPortServant::deactivate() {
    std::map<std::string, Consumer> consumers;
    {
        std::lock_guard<std::mutex> lock(m_consumersMutex);
        consumers.swap(m_consumers);
    }
    for (auto& c : consumers) release(c.second);
    PortServant::deactivate();
}

ReturnCode_t InPortServant::publishInterfaces(RTC::ConnectorProfile& profile) {
    std::string endian;
    findString(profile.properties, "dataport.serializer.cdr.endian", endian);
    const bool little = firstEndianIsLittle(endian);
    // Either transport's object is published under the corba_cdr keys, as the middleware does.
    Consumer consumer{nullptr, nullptr, Activation()};
    if (wantsSharedMemory(profile)) {
        consumer.shm = new PortSharedMemoryServant(m_in->endpoint(), little,
                                                   profile.connector_id.in());
        consumer.servant = consumer.shm;
    } else {
        consumer.servant =
            new InPortCdrServant(m_in->endpoint(), little, profile.connector_id.in());
    }
    CORBA::Object_var ref;
    try {
        ref = activateServant(m_registry.poa(), consumer.servant, nullptr, consumer.activation);
    } catch (const CORBA::Exception&) {
        release(consumer);
        return RTC::RTC_ERROR;
    }
    {
        std::lock_guard<std::mutex> lock(m_consumersMutex);
        m_consumers[profile.connector_id.in()] = consumer;
    }
    CORBA::String_var ior = m_registry.orb()->object_to_string(ref.in());
    setNV(profile.properties, "dataport.corba_cdr.inport_ior", ior.in());
    CORBA::Any any;
    if (consumer.shm) {
        OpenRTM::PortSharedMemory_var typed = OpenRTM::PortSharedMemory::_narrow(ref);
        any <<= typed.in();
    } else {
        OpenRTM::InPortCdr_var typed = OpenRTM::InPortCdr::_narrow(ref);
        any <<= typed.in();
    }
    setNV(profile.properties, "dataport.corba_cdr.inport_ref", any);
    return RTC::RTC_OK;
}

ReturnCode_t InPortServant::subscribeInterfaces(const RTC::ConnectorProfile& profile) {
    m_in->acceptConnector(infoOf(profile));
    return RTC::RTC_OK;
}

void InPortServant::unsubscribeInterfaces(const std::string& id) {
    Consumer consumer{nullptr, nullptr, Activation()};
    {
        std::lock_guard<std::mutex> lock(m_consumersMutex);
        auto it = m_consumers.find(id);
        if (it != m_consumers.end()) {
            consumer = it->second;
            m_consumers.erase(it);
        }
    }
    if (consumer.servant) release(consumer);
    m_in->disconnect(id);
}

OutPortServant::OutPortServant(Registry& registry, std::shared_ptr<ComponentLink> link,
                               OutPortBase* port, RTC::RTObject_ptr owner)
    : PortServant(registry, std::move(link), port, owner), m_out(port) {}

ReturnCode_t OutPortServant::publishInterfaces(RTC::ConnectorProfile&) {
    // Pushing, the output side offers nothing: it calls what the input side published.
    return RTC::RTC_OK;
}

namespace {

// The object the input side published for a connection: from "dataport.corba_cdr.inport_ior",
// else from "dataport.corba_cdr.inport_ref" (a peer of the middleware may drop the latter). Nil
// when neither names an object.
template <class Interface>
typename Interface::_ptr_type publishedInPort(CORBA::ORB_ptr orb, const RTC::ConnectorProfile& p) {
    std::string ior;
    if (findString(p.properties, "dataport.corba_cdr.inport_ior", ior)) {
        try {
            CORBA::Object_var obj = orb->string_to_object(ior.c_str());
            if (!CORBA::is_nil(obj)) return Interface::_unchecked_narrow(obj);
        } catch (const CORBA::Exception&) {
        }
    }
    if (const CORBA::Any* any = findNV(p.properties, "dataport.corba_cdr.inport_ref")) {
        typename Interface::_ptr_type typed = Interface::_nil();
        CORBA::Object_var untyped;
        if (*any >>= typed) return Interface::_duplicate(typed);
        if (*any >>= CORBA::Any::to_object(untyped)) return Interface::_unchecked_narrow(untyped);
    }
    return Interface::_nil();
}

}  // namespace

ReturnCode_t OutPortServant::subscribeInterfaces(const RTC::ConnectorProfile& profile) {
    std::unique_ptr<OutPortConnector> connector;
    if (wantsSharedMemory(profile)) {
        OpenRTM::PortSharedMemory_var peer =
            publishedInPort<OpenRTM::PortSharedMemory>(m_registry.orb(), profile);
        if (CORBA::is_nil(peer)) return RTC::BAD_PARAMETER;
        connector.reset(new SharedMemoryConnector(infoOf(profile), peer));
    } else {
        OpenRTM::InPortCdr_var peer = publishedInPort<OpenRTM::InPortCdr>(m_registry.orb(), profile);
        if (CORBA::is_nil(peer)) return RTC::BAD_PARAMETER;
        connector.reset(new RemoteConnector(infoOf(profile), peer));
    }
    m_out->addConnection(std::move(connector));
    return RTC::RTC_OK;
}

void OutPortServant::unsubscribeInterfaces(const std::string& id) { m_out->disconnect(id); }

}  // namespace remote
}  // namespace RTC
