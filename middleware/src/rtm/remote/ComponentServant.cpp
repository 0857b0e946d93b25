#include <rtm/Manager.h>
#include <rtm/RTObject.h>
#include <rtm/RemoteUtil.h>

#include <algorithm>

#include "Registry.h"
#include "Servants.h"

namespace RTC {
namespace remote {

namespace {

// Participating contexts have handles from here, as RTObject_impl numbers them.
const UniqueId kFirstParticipantHandle = 1000;

[[noreturn]] void gone() { throw CORBA::OBJECT_NOT_EXIST(0, CORBA::COMPLETED_NO); }

// The component's properties with a value, and the configuration sets' keys even when empty: a
// component with no set shows "conf", one with an empty "default" set "conf.default".
// One walk of the tree under the sets' lock; the list is built after it is released.
SDOPackage::NVList profileProperties(RTObject_impl* comp) {
    std::vector<std::pair<std::string, std::string>> entries;
    {
        const auto still = comp->getConfigService().hold();
        entries = comp->getProperties().propertyValues();
    }
    SDOPackage::NVList list;
    list.length(static_cast<CORBA::ULong>(entries.size()));
    CORBA::ULong n = 0;
    for (const auto& entry : entries) {
        const std::string& key = entry.first;
        if (entry.second.empty() && key != "conf" && key.compare(0, 5, "conf.") != 0) continue;
        list[n].name = CORBA::string_dup(key.c_str());
        list[n].value <<= entry.second.c_str();
        ++n;
    }
    list.length(n);
    return list;
}

template <class List>
bool contains(const List& list, const typename List::value_type& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

}  // namespace

void Activation::deactivate() {
    if (CORBA::is_nil(poa)) return;
    try {
        poa->deactivate_object(id.in());
    } catch (const CORBA::Exception&) {
        // Already deactivated, or the POA is gone with the ORB.
    }
    poa = PortableServer::POA::_nil();
}

CORBA::Object_ptr activateServant(PortableServer::POA_ptr poa, PortableServer::Servant servant,
                                  const char* fixedId, Activation& activation) {
    if (fixedId) {
        PortableServer::ObjectId_var oid = PortableServer::string_to_ObjectId(fixedId);
        poa->activate_object_with_id(oid.in(), servant);
        activation.id = oid._retn();
    } else {
        activation.id = poa->activate_object(servant);
    }
    activation.poa = PortableServer::POA::_duplicate(poa);
    return poa->id_to_reference(activation.id.in());
}

ComponentServant::ComponentServant(Registry& registry, RTObject_impl* comp)
    : m_registry(registry), m_comp(comp), m_link(std::make_shared<ComponentLink>(comp)) {}

ComponentServant::~ComponentServant() = default;

void ComponentServant::activate(PortableServer::POA_ptr poa, const char* fixedId) {
    CORBA::Object_var obj = activateServant(poa, this, fixedId, m_activation);
    m_ref = RTC::RTObject::_narrow(obj);
    // Servants of the parts exist from the start, so that their references are stable.
    ComponentLink::Use use(*m_link);
    if (!use) return;
    for (PortBase* port : use->getPorts()) portServant(port);
    for (ExecutionContextBase* ec : use->getOwnedContexts())
        CORBA::release(ownedContextRef(ec));
    activateConfiguration();
}

void ComponentServant::activateConfiguration() {
    auto* servant = new ConfigurationServant(m_link);
    Activation activation;
    try {
        CORBA::Object_var obj = activateServant(m_registry.poa(), servant, nullptr, activation);
        servant->activated(activation, SDOPackage::Configuration::_narrow(obj));
    } catch (...) {
        activation.deactivate();
        servant->_remove_ref();
        throw;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_configuration = servant;
}

ConfigurationServant* ComponentServant::configuration() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_configuration) m_configuration->_add_ref();
    return m_configuration;
}

std::vector<PortServant*> ComponentServant::portServants() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_ports;
}

void ComponentServant::retire() {
    // Peers that never answer cost this much in all, however many connections and contexts
    // they hold.
    const PeerBudget budget = m_registry.budget(kPeerCallLimit);
    limitForeignContexts(budget);
    std::vector<RTC::ExecutionContext_var> foreign;
    {
        ComponentLink::Use use(*m_link);
        if (use) {
            for (PortServant* p : portServants()) p->disconnectEverything(budget);
            releaseParticipants();
            foreign = leaveForeignContexts();
        }
    }
    m_link->close();
    tellForeignContexts(foreign, m_ref, budget);
    std::vector<PortServant*> ports;
    std::vector<ContextServant*> contexts;
    ConfigurationServant* configuration = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_retired = true;
        ports.swap(m_ports);
        contexts.swap(m_contexts);
        std::swap(configuration, m_configuration);
    }
    if (configuration) {
        configuration->deactivate();
        configuration->_remove_ref();
    }
    for (PortServant* p : ports) {
        p->deactivate();
        p->_remove_ref();
    }
    for (ContextServant* c : contexts) {
        c->deactivate();
        c->_remove_ref();
    }
    m_activation.deactivate();
}

void ComponentServant::releaseParticipants() {
    const std::vector<ExecutionContextBase*> owned = m_comp->getOwnedContexts();
    for (auto& other : m_registry.servants()) {
        if (other.in() == this) continue;
        ComponentLink::Use use(*other->link());
        if (!use) continue;
        for (ExecutionContextBase* ec : owned) {
            const UniqueId h = use->getContextHandle(ec);
            if (h < kFirstParticipantHandle) continue;
            if (ec->get_component_state(use.get()) == RTC::ACTIVE_STATE)
                ec->deactivate_component(use.get());
            use->detachContext(h);
        }
    }
}

void ComponentServant::limitForeignContexts(const PeerBudget& budget) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto& f : m_foreign) f->limitTo(budget);
}

std::vector<RTC::ExecutionContext_var> ComponentServant::leaveForeignContexts() {
    std::vector<ForeignContext*> foreign;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& f : m_foreign) foreign.push_back(f.get());
    }
    std::vector<RTC::ExecutionContext_var> refs;
    for (ForeignContext* f : foreign) {
        const UniqueId h = m_comp->getContextHandle(f);
        if (h < 0) continue;
        if (f->get_component_state(m_comp) == RTC::ACTIVE_STATE) f->deactivate_component(m_comp);
        if (m_comp->detachContext(h) == RTC::RTC_OK)
            refs.emplace_back(RTC::ExecutionContext::_duplicate(f->ref()));
    }
    return refs;
}

void ComponentServant::tellForeignContexts(const std::vector<RTC::ExecutionContext_var>& contexts,
                                           RTC::LightweightRTObject_ptr self,
                                           const PeerBudget& budget) {
    for (const auto& ec : contexts) {
        if (!budget.limit(ec.in(), kPeerCallTimeoutMs)) return;
        try {
            ec->remove_component(self);
        } catch (const CORBA::Exception&) {
        }
    }
}

PortServant* ComponentServant::portServant(PortBase* port) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_retired) return nullptr;
    for (PortServant* s : m_ports)
        if (s->port() == port) return s;
    PortServant* servant = nullptr;
    if (auto* in = dynamic_cast<InPortBase*>(port))
        servant = new InPortServant(m_registry, m_link, in, m_ref);
    else if (auto* out = dynamic_cast<OutPortBase*>(port))
        servant = new OutPortServant(m_registry, m_link, out, m_ref);
    else
        return nullptr;
    Activation activation;
    try {
        CORBA::Object_var obj = activateServant(m_registry.poa(), servant, nullptr, activation);
        servant->activated(activation, RTC::PortService::_narrow(obj));
    } catch (...) {
        activation.deactivate();
        servant->_remove_ref();
        throw;
    }
    m_ports.push_back(servant);
    return servant;
}

RTC::PortService_ptr ComponentServant::portRef(PortBase* port) {
    PortServant* s = portServant(port);
    return s ? RTC::PortService::_duplicate(s->ref()) : RTC::PortService::_nil();
}

RTC::ExecutionContextService_ptr ComponentServant::ownedContextRef(ExecutionContextBase* context) {
    if (!contains(m_comp->getOwnedContexts(), context))
        return RTC::ExecutionContextService::_nil();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_retired) return RTC::ExecutionContextService::_nil();
    for (ContextServant* s : m_contexts)
        if (s->context() == context) return RTC::ExecutionContextService::_duplicate(s->ref());
    auto* servant = new ContextServant(m_registry, m_link, context);
    Activation activation;
    try {
        CORBA::Object_var obj = activateServant(m_registry.poa(), servant, nullptr, activation);
        servant->activated(activation, RTC::ExecutionContextService::_narrow(obj));
    } catch (...) {
        activation.deactivate();
        servant->_remove_ref();
        throw;
    }
    m_contexts.push_back(servant);
    return RTC::ExecutionContextService::_duplicate(servant->ref());
}

RTC::ExecutionContext_ptr ComponentServant::contextRef(ExecutionContextBase* context) {
    if (!context) return RTC::ExecutionContext::_nil();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& f : m_foreign)
            if (f.get() == context) return RTC::ExecutionContext::_duplicate(f->ref());
    }
    RTC::ExecutionContextService_ptr own = ownedContextRef(context);
    if (!CORBA::is_nil(own)) return own;
    return m_registry.contextRef(context);
}

ExecutionContextBase* ComponentServant::contextFor(RTC::ExecutionContext_ptr ref) {
    if (CORBA::is_nil(ref)) return nullptr;
    PortableServer::Servant_var<ContextServant> local = m_registry.localContext(ref);
    if (local.in()) return local->context();
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto& f : m_foreign)
        if (f->ref()->_is_equivalent(ref)) return f.get();
    return nullptr;
}

template <class F>
RTC::ReturnCode_t ComponentServant::act(F f) {
    ComponentLink::Use use(*m_link);
    if (!use) gone();
    return f(use.get());
}

RTC::ReturnCode_t ComponentServant::initialize() {
    return act([](RTObject_impl* c) { return c->initialize(); });
}

RTC::ReturnCode_t ComponentServant::finalize() { return end(false); }

RTC::ReturnCode_t ComponentServant::exit() { return end(true); }

RTC::ReturnCode_t ComponentServant::end(bool exiting) {
    {
        ComponentLink::Use use(*m_link);
        if (!use) gone();
        if (!use->isInitialized()) return RTC::PRECONDITION_NOT_MET;
        // Before running alone: the peers' part of disconnecting calls back into these ports.
        if (exiting) {
            const PeerBudget budget = m_registry.budget(kPeerCallLimit);
            for (PortServant* p : portServants()) p->disconnectEverything(budget);
            limitForeignContexts(budget);
        }
    }
    RTC::ReturnCode_t result = RTC::PRECONDITION_NOT_MET;
    const bool ran = m_link->runAlone([&] {
        if (!m_comp->isInitialized()) return false;
        releaseParticipants();
        result = exiting ? m_comp->exit() : m_comp->finalize();
        return result == RTC::RTC_OK;
    });
    if (!ran) gone();
    if (result == RTC::RTC_OK) {
        std::vector<RTC::ExecutionContext_var> foreign;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            for (auto& f : m_foreign) foreign.emplace_back(RTC::ExecutionContext::_duplicate(f->ref()));
        }
        tellForeignContexts(foreign, m_ref, m_registry.budget(kPeerCallLimit));
        m_registry.manager().notifyExited(m_comp);
    }
    return result;
}

CORBA::Boolean ComponentServant::is_alive(RTC::ExecutionContext_ptr exec_context) {
    ComponentLink::Use use(*m_link);
    if (!use) gone();
    ExecutionContextBase* ec = contextFor(exec_context);
    return ec != nullptr && use->is_alive(ec);
}

RTC::ExecutionContextHandle_t ComponentServant::attach_context(
    RTC::ExecutionContext_ptr exec_context) {
    ComponentLink::Use use(*m_link);
    if (!use) gone();
    if (CORBA::is_nil(exec_context)) return -1;
    if (ExecutionContextBase* ec = contextFor(exec_context)) {
        const UniqueId known = use->getContextHandle(ec);
        return known >= 0 ? known : use->attachContext(ec);
    }
    ForeignContext* foreign = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_foreign.size() >= kMaxForeignContexts) return -1;
        foreign = new ForeignContext(exec_context, m_ref);
        m_foreign.emplace_back(foreign);
    }
    return use->attachContext(foreign);
}

RTC::ReturnCode_t ComponentServant::detach_context(RTC::ExecutionContextHandle_t exec_handle) {
    ComponentLink::Use use(*m_link);
    if (!use) gone();
    if (exec_handle < kFirstParticipantHandle) return RTC::BAD_PARAMETER;
    ExecutionContextBase* ec = use->getContextObject(exec_handle);
    const RTC::ReturnCode_t r = use->detachContext(exec_handle);
    if (r == RTC::RTC_OK && ec) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_foreign.erase(std::remove_if(m_foreign.begin(), m_foreign.end(),
                                       [&](const std::unique_ptr<ForeignContext>& f) {
                                           return f.get() == ec;
                                       }),
                        m_foreign.end());
    }
    return r;
}

RTC::ExecutionContext_ptr ComponentServant::get_context(RTC::ExecutionContextHandle_t exec_handle) {
    ComponentLink::Use use(*m_link);
    if (!use) gone();
    return contextRef(use->getContextObject(exec_handle));
}

RTC::ExecutionContextList* ComponentServant::get_owned_contexts() {
    ComponentLink::Use use(*m_link);
    if (!use) gone();
    RTC::ExecutionContextList_var list = new RTC::ExecutionContextList;
    for (ExecutionContextBase* ec : use->getOwnedContexts()) {
        RTC::ExecutionContextService_var ref = ownedContextRef(ec);
        if (CORBA::is_nil(ref)) continue;
        const CORBA::ULong i = list->length();
        list->length(i + 1);
        list[i] = RTC::ExecutionContext::_duplicate(ref.in());
    }
    return list._retn();
}

RTC::ExecutionContextList* ComponentServant::get_participating_contexts() {
    ComponentLink::Use use(*m_link);
    if (!use) gone();
    RTC::ExecutionContextList_var list = new RTC::ExecutionContextList;
    for (UniqueId h = kFirstParticipantHandle;; ++h) {
        ExecutionContextBase* ec = use->getContextObject(h);
        if (!ec) break;
        RTC::ExecutionContext_var ref = contextRef(ec);
        if (CORBA::is_nil(ref)) continue;
        const CORBA::ULong i = list->length();
        list->length(i + 1);
        list[i] = ref._retn();
    }
    return list._retn();
}

RTC::ExecutionContextHandle_t ComponentServant::get_context_handle(RTC::ExecutionContext_ptr cxt) {
    ComponentLink::Use use(*m_link);
    if (!use) gone();
    ExecutionContextBase* ec = contextFor(cxt);
    return ec ? use->getContextHandle(ec) : -1;
}

RTC::ReturnCode_t ComponentServant::on_initialize() {
    return act([](RTObject_impl* c) { return c->on_initialize(); });
}
RTC::ReturnCode_t ComponentServant::on_finalize() {
    return act([](RTObject_impl* c) { return c->on_finalize(); });
}
RTC::ReturnCode_t ComponentServant::on_startup(RTC::ExecutionContextHandle_t h) {
    return act([h](RTObject_impl* c) { return c->on_startup(h); });
}
RTC::ReturnCode_t ComponentServant::on_shutdown(RTC::ExecutionContextHandle_t h) {
    return act([h](RTObject_impl* c) { return c->on_shutdown(h); });
}
RTC::ReturnCode_t ComponentServant::on_activated(RTC::ExecutionContextHandle_t h) {
    return act([h](RTObject_impl* c) { return c->on_activated(h); });
}
RTC::ReturnCode_t ComponentServant::on_deactivated(RTC::ExecutionContextHandle_t h) {
    return act([h](RTObject_impl* c) { return c->on_deactivated(h); });
}
RTC::ReturnCode_t ComponentServant::on_aborting(RTC::ExecutionContextHandle_t h) {
    return act([h](RTObject_impl* c) { return c->on_aborting(h); });
}
RTC::ReturnCode_t ComponentServant::on_error(RTC::ExecutionContextHandle_t h) {
    return act([h](RTObject_impl* c) { return c->on_error(h); });
}
RTC::ReturnCode_t ComponentServant::on_reset(RTC::ExecutionContextHandle_t h) {
    return act([h](RTObject_impl* c) { return c->on_reset(h); });
}
RTC::ReturnCode_t ComponentServant::on_execute(RTC::ExecutionContextHandle_t h) {
    return act([h](RTObject_impl* c) { return c->on_execute(h); });
}
RTC::ReturnCode_t ComponentServant::on_state_update(RTC::ExecutionContextHandle_t h) {
    return act([h](RTObject_impl* c) { return c->on_state_update(h); });
}
RTC::ReturnCode_t ComponentServant::on_rate_changed(RTC::ExecutionContextHandle_t h) {
    return act([h](RTObject_impl* c) { return c->on_rate_changed(h); });
}

// The component's SDO services are the observers given to its Configuration object; it offers no
// monitoring object. Its organizations and device profile are what its Configuration object was
// given.

SDOPackage::OrganizationList* ComponentServant::get_owned_organizations() {
    return new SDOPackage::OrganizationList;
}

char* ComponentServant::get_sdo_id() {
    ComponentLink::Use use(*m_link);
    if (!use) gone();
    return CORBA::string_dup(use->getInstanceName());
}

char* ComponentServant::get_sdo_type() {
    ComponentLink::Use use(*m_link);
    if (!use) gone();
    return CORBA::string_dup(use->getDescription());
}

SDOPackage::DeviceProfile* ComponentServant::get_device_profile() {
    PortableServer::Servant_var<ConfigurationServant> configuration = this->configuration();
    if (!configuration.in()) gone();
    return configuration->deviceProfile();
}

SDOPackage::ServiceProfileList* ComponentServant::get_service_profiles() {
    ComponentLink::Use use(*m_link);
    if (!use) gone();
    return new SDOPackage::ServiceProfileList(
        use->getSdoServiceAdmin().getSdoServiceConsumerProfiles());
}

SDOPackage::ServiceProfile* ComponentServant::get_service_profile(const char* id) {
    ComponentLink::Use use(*m_link);
    if (!use) gone();
    SDOPackage::ServiceProfile_var profile = new SDOPackage::ServiceProfile;
    if (!use->getSdoServiceAdmin().getSdoServiceConsumerProfile(id, profile.inout()))
        throw SDOPackage::InvalidParameter("");
    return profile._retn();
}

SDOPackage::SDOService_ptr ComponentServant::get_sdo_service(const char* id) {
    SDOPackage::ServiceProfile_var profile = get_service_profile(id);
    return SDOPackage::SDOService::_duplicate(profile->service.in());
}

SDOPackage::Configuration_ptr ComponentServant::get_configuration() {
    PortableServer::Servant_var<ConfigurationServant> configuration = this->configuration();
    if (!configuration.in()) gone();
    return SDOPackage::Configuration::_duplicate(configuration->ref());
}

SDOPackage::Monitoring_ptr ComponentServant::get_monitoring() {
    throw SDOPackage::InterfaceNotImplemented("");
}

SDOPackage::OrganizationList* ComponentServant::get_organizations() {
    PortableServer::Servant_var<ConfigurationServant> configuration = this->configuration();
    if (!configuration.in()) gone();
    return configuration->organizations();
}

SDOPackage::NVList* ComponentServant::get_status_list() { return new SDOPackage::NVList; }

CORBA::Any* ComponentServant::get_status(const char*) {
    throw SDOPackage::InvalidParameter("get_status(): Not found");
}

RTC::ComponentProfile* ComponentServant::get_component_profile() {
    ComponentLink::Use use(*m_link);
    if (!use) gone();
    RTC::ComponentProfile_var p = new RTC::ComponentProfile;
    p->instance_name = CORBA::string_dup(use->getInstanceName());
    p->type_name = CORBA::string_dup(use->getTypeName());
    p->description = CORBA::string_dup(use->getDescription());
    p->version = CORBA::string_dup(use->getVersion());
    p->vendor = CORBA::string_dup(use->getVendor());
    p->category = CORBA::string_dup(use->getCategory());
    for (PortBase* port : use->getPorts()) {
        PortServant* s = portServant(port);
        if (!s) continue;
        RTC::PortProfile_var pp = s->profile();
        const CORBA::ULong i = p->port_profiles.length();
        p->port_profiles.length(i + 1);
        p->port_profiles[i] = pp.in();
    }
    p->parent = RTC::RTObject::_nil();
    p->properties = profileProperties(use.get());
    return p._retn();
}

RTC::PortServiceList* ComponentServant::get_ports() {
    ComponentLink::Use use(*m_link);
    if (!use) gone();
    RTC::PortServiceList_var list = new RTC::PortServiceList;
    for (PortBase* port : use->getPorts()) {
        RTC::PortService_var ref = portRef(port);
        if (CORBA::is_nil(ref)) continue;
        const CORBA::ULong i = list->length();
        list->length(i + 1);
        list[i] = ref._retn();
    }
    return list._retn();
}

}  // namespace remote
}  // namespace RTC
