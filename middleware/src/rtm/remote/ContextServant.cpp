#include <rtm/RTObject.h>
#include <rtm/RemoteUtil.h>

#include <algorithm>
#include <sstream>

#include "Registry.h"
#include "Servants.h"

namespace RTC {
namespace remote {

namespace {

[[noreturn]] void gone() { throw CORBA::OBJECT_NOT_EXIST(0, CORBA::COMPLETED_NO); }

}  // namespace

ContextServant::ContextServant(Registry& registry, std::shared_ptr<ComponentLink> ownerLink,
                               ExecutionContextBase* context)
    : m_registry(registry), m_ownerLink(std::move(ownerLink)), m_context(context) {}

void ContextServant::activated(Activation activation, RTC::ExecutionContextService_ptr ref) {
    m_activation = activation;
    m_ref = ref;
}

ExecutionContextBase* ContextServant::present(ComponentLink::Use& use) const {
    if (!use) return nullptr;
    const std::vector<ExecutionContextBase*> owned = use->getOwnedContexts();
    return std::find(owned.begin(), owned.end(), m_context) != owned.end() ? m_context : nullptr;
}

template <class Operation>
decltype(auto) ContextServant::withContext(Operation operation) {
    ComponentLink::Use use(*m_ownerLink);
    ExecutionContextBase* ec = present(use);
    if (!ec) gone();
    return operation(ec);
}

CORBA::Boolean ContextServant::is_running() {
    return withContext([](ExecutionContextBase* ec) { return ec->is_running(); });
}

RTC::ReturnCode_t ContextServant::start() {
    return withContext([](ExecutionContextBase* ec) { return ec->start(); });
}

RTC::ReturnCode_t ContextServant::stop() {
    return withContext([](ExecutionContextBase* ec) { return ec->stop(); });
}

CORBA::Double ContextServant::get_rate() {
    return withContext([](ExecutionContextBase* ec) { return ec->get_rate(); });
}

RTC::ReturnCode_t ContextServant::set_rate(CORBA::Double rate) {
    return withContext([&](ExecutionContextBase* ec) { return ec->set_rate(rate); });
}

RTC::ExecutionKind ContextServant::get_kind() {
    return withContext([](ExecutionContextBase* ec) { return ec->get_kind(); });
}

RTC::ReturnCode_t ContextServant::changeState(
    RTC::LightweightRTObject_ptr comp, ReturnCode_t (ExecutionContextBase::*change)(RTObject_impl*)) {
    return withContext([&](ExecutionContextBase* ec) {
        PortableServer::Servant_var<ComponentServant> target = m_registry.localComponent(comp);
        if (!target.in()) return RTC::BAD_PARAMETER;
        ComponentLink::Use targetUse(*target->link());
        if (!targetUse) return RTC::BAD_PARAMETER;
        return (ec->*change)(targetUse.get());
    });
}

RTC::ReturnCode_t ContextServant::activate_component(RTC::LightweightRTObject_ptr comp) {
    return changeState(comp, &ExecutionContextBase::activate_component);
}

RTC::ReturnCode_t ContextServant::deactivate_component(RTC::LightweightRTObject_ptr comp) {
    return changeState(comp, &ExecutionContextBase::deactivate_component);
}

RTC::ReturnCode_t ContextServant::reset_component(RTC::LightweightRTObject_ptr comp) {
    return changeState(comp, &ExecutionContextBase::reset_component);
}

RTC::LifeCycleState ContextServant::get_component_state(RTC::LightweightRTObject_ptr comp) {
    return withContext([&](ExecutionContextBase* ec) {
        PortableServer::Servant_var<ComponentServant> target = m_registry.localComponent(comp);
        if (!target.in()) return RTC::CREATED_STATE;
        ComponentLink::Use targetUse(*target->link());
        if (!targetUse) return RTC::CREATED_STATE;
        return ec->get_component_state(targetUse.get());
    });
}

RTC::ReturnCode_t ContextServant::add_component(RTC::LightweightRTObject_ptr comp) {
    ComponentLink::Use use(*m_ownerLink);
    ExecutionContextBase* ec = present(use);
    if (!ec) gone();
    PortableServer::Servant_var<ComponentServant> target = m_registry.localComponent(comp);
    if (!target.in()) return RTC::BAD_PARAMETER;
    ComponentLink::Use targetUse(*target->link());
    if (!targetUse) return RTC::BAD_PARAMETER;
    if (targetUse->getContextHandle(ec) >= 0) return RTC::PRECONDITION_NOT_MET;
    return targetUse->attachContext(ec) >= 0 ? RTC::RTC_OK : RTC::RTC_ERROR;
}

RTC::ReturnCode_t ContextServant::remove_component(RTC::LightweightRTObject_ptr comp) {
    ComponentLink::Use use(*m_ownerLink);
    ExecutionContextBase* ec = present(use);
    if (!ec) gone();
    PortableServer::Servant_var<ComponentServant> target = m_registry.localComponent(comp);
    if (!target.in()) return RTC::BAD_PARAMETER;
    ComponentLink::Use targetUse(*target->link());
    if (!targetUse) return RTC::BAD_PARAMETER;
    const UniqueId h = targetUse->getContextHandle(ec);
    if (h < 0) return RTC::BAD_PARAMETER;
    // The owner stays in its own context for as long as it lives.
    if (targetUse.get() == ec->getOwner()) return RTC::PRECONDITION_NOT_MET;
    return targetUse->detachContext(h);
}

RTC::ExecutionContextProfile* ContextServant::get_profile() {
    ComponentLink::Use use(*m_ownerLink);
    ExecutionContextBase* ec = present(use);
    if (!ec) gone();
    RTC::ExecutionContextProfile_var p = new RTC::ExecutionContextProfile;
    p->kind = ec->get_kind();
    p->rate = ec->get_rate();
    p->owner = m_registry.componentRef(ec->getOwner());
    for (auto& s : m_registry.servants()) {
        ComponentLink::Use member(*s->link());
        if (!member || member->getContextHandle(ec) < 0) continue;
        const CORBA::ULong i = p->participants.length();
        p->participants.length(i + 1);
        p->participants[i] = RTC::RTObject::_duplicate(s->ref());
    }
    std::ostringstream rate;
    rate << ec->get_rate();
    setNV(p->properties, "type",
          use->getProperties().getProperty("exec_cxt.periodic.type", "PeriodicExecutionContext").c_str());
    setNV(p->properties, "rate", rate.str().c_str());
    return p._retn();
}

}  // namespace remote
}  // namespace RTC
