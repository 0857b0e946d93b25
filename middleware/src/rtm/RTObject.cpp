#include <rtm/ExecutionContextBase.h>
#include <rtm/InPortBase.h>
#include <rtm/Manager.h>
#include <rtm/OutPortBase.h>
#include <rtm/PeriodicExecutionContext.h>
#include <rtm/RTObject.h>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <iostream>

#include "remote/Registry.h"
#include "remote/Servants.h"

namespace RTC {

namespace {

// Handles of contexts a component only takes part in start here.
const UniqueId kParticipantHandleBase = 1000;

template <class F>
ReturnCode_t guarded(F f) {
    try {
        return f();
    } catch (...) {
        return RTC::RTC_ERROR;
    }
}

// The configured rate, by the rule set_rate() applies; 1000 with one line when it does not hold.
double rateFrom(const coil::Properties& props, const std::string& instance) {
    const std::string text = props.getProperty("exec_cxt.periodic.rate", "1000");
    char* end = nullptr;
    const double rate = std::strtod(text.c_str(), &end);
    if (end != text.c_str() && *end == '\0' && PeriodicExecutionContext::acceptableRate(rate))
        return rate;
    std::cerr << instance << ": exec_cxt.periodic.rate \"" << text << "\" is not a rate from "
              << PeriodicExecutionContext::kMinRate << " to " << PeriodicExecutionContext::kMaxRate
              << " Hz; 1000 is used" << std::endl;
    return 1000.0;
}

}  // namespace

RTObject_impl::RTObject_impl(Manager* manager)
    : m_pManager(manager), m_configsets(m_properties.getNode("conf")) {
    m_configsets.setChangeListener([this](const char* change, const std::string& config_id) {
        m_sdoservice.updateStatus(OpenRTM::CONFIGURATION, std::string(change) + ": " + config_id);
    });
}

RTObject_impl::~RTObject_impl() {
    for (ExecutionContextBase* ec : m_ownedContexts) {
        ec->stop();
        delete ec;
    }
}

ReturnCode_t RTObject_impl::onInitialize() { return RTC::RTC_OK; }
ReturnCode_t RTObject_impl::onFinalize() { return RTC::RTC_OK; }
ReturnCode_t RTObject_impl::onStartup(RTC::UniqueId) { return RTC::RTC_OK; }
ReturnCode_t RTObject_impl::onShutdown(RTC::UniqueId) { return RTC::RTC_OK; }
ReturnCode_t RTObject_impl::onActivated(RTC::UniqueId) { return RTC::RTC_OK; }
ReturnCode_t RTObject_impl::onDeactivated(RTC::UniqueId) { return RTC::RTC_OK; }
ReturnCode_t RTObject_impl::onExecute(RTC::UniqueId) { return RTC::RTC_OK; }
ReturnCode_t RTObject_impl::onAborting(RTC::UniqueId) { return RTC::RTC_OK; }
ReturnCode_t RTObject_impl::onError(RTC::UniqueId) { return RTC::RTC_OK; }
ReturnCode_t RTObject_impl::onReset(RTC::UniqueId) { return RTC::RTC_OK; }
ReturnCode_t RTObject_impl::onStateUpdate(RTC::UniqueId) { return RTC::RTC_OK; }
ReturnCode_t RTObject_impl::onRateChanged(RTC::UniqueId) { return RTC::RTC_OK; }

ReturnCode_t RTObject_impl::on_initialize() {
    return guarded([this] { return onInitialize(); });
}
ReturnCode_t RTObject_impl::on_finalize() {
    return told(OpenRTM::RTC_STATUS, "FINALIZE:", 0, guarded([this] { return onFinalize(); }));
}
ReturnCode_t RTObject_impl::on_startup(UniqueId h) {
    return told(OpenRTM::EC_STATUS, "STARTUP:", h, guarded([&] { return onStartup(h); }));
}
ReturnCode_t RTObject_impl::on_shutdown(UniqueId h) {
    return told(OpenRTM::EC_STATUS, "SHUTDOWN:", h, guarded([&] { return onShutdown(h); }));
}
ReturnCode_t RTObject_impl::on_activated(UniqueId h) {
    return told(OpenRTM::RTC_STATUS, "ACTIVE:", h, guarded([&] { return onActivated(h); }));
}
ReturnCode_t RTObject_impl::on_deactivated(UniqueId h) {
    return told(OpenRTM::RTC_STATUS, "INACTIVE:", h, guarded([&] { return onDeactivated(h); }));
}
ReturnCode_t RTObject_impl::on_aborting(UniqueId h) {
    return told(OpenRTM::RTC_STATUS, "ERROR:", h, guarded([&] { return onAborting(h); }));
}
ReturnCode_t RTObject_impl::on_error(UniqueId h) {
    return guarded([&] { return onError(h); });
}
ReturnCode_t RTObject_impl::on_reset(UniqueId h) {
    return told(OpenRTM::RTC_STATUS, "INACTIVE:", h, guarded([&] { return onReset(h); }));
}
ReturnCode_t RTObject_impl::on_execute(UniqueId h) {
    return guarded([&] { return onExecute(h); });
}
ReturnCode_t RTObject_impl::on_state_update(UniqueId h) {
    return guarded([&] { return onStateUpdate(h); });
}
ReturnCode_t RTObject_impl::on_rate_changed(UniqueId h) {
    return told(OpenRTM::EC_STATUS, "RATE_CHANGED:", h, guarded([&] { return onRateChanged(h); }));
}

ReturnCode_t RTObject_impl::told(OpenRTM::StatusKind kind, const char* what, UniqueId h,
                                 ReturnCode_t result) {
    if (result == RTC::RTC_OK) m_sdoservice.updateStatus(kind, what + std::to_string(h));
    return result;
}

ReturnCode_t RTObject_impl::initialize() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_initialized || m_finalized) return RTC::PRECONDITION_NOT_MET;
    }
    const ReturnCode_t r = on_initialize();
    if (r != RTC::RTC_OK) return r;
    // After onInitialize, which may add sets. A missing set leaves "default" named active,
    // whether or not it exists.
    const std::string active = m_properties.getProperty("configuration.active_config", "default");
    if (!m_configsets.activateConfigurationSet(active.c_str()))
        m_configsets.activateConfigurationSet("default");

    const std::string type = m_properties.getProperty("exec_cxt.periodic.type",
                                                      "PeriodicExecutionContext");
    const auto trigger = type == "ExtTrigExecutionContext"
                             ? PeriodicExecutionContext::Trigger::External
                             : PeriodicExecutionContext::Trigger::Timer;
    auto* ec = new PeriodicExecutionContext(rateFrom(m_properties, getInstanceName()), trigger);
    ec->setOwner(this);
    ec->add_component(this);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ownedContexts.push_back(ec);
        m_initialized = true;
    }
    ec->start();
    return RTC::RTC_OK;
}

ReturnCode_t RTObject_impl::finalize() {
    std::vector<ExecutionContextBase*> owned;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_initialized || m_finalized) return RTC::PRECONDITION_NOT_MET;
        if (!m_participatingContexts.empty()) return RTC::PRECONDITION_NOT_MET;
        m_finalized = true;
        owned.swap(m_ownedContexts);
    }
    for (ExecutionContextBase* ec : owned) {
        ec->stop();
        delete ec;
    }
    for (PortBase* port : getPorts()) port->disconnectAll();
    return on_finalize();
}

ReturnCode_t RTObject_impl::exit() {
    std::vector<ExecutionContextBase*> all;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_initialized || m_finalized) return RTC::PRECONDITION_NOT_MET;
        all = m_ownedContexts;
        all.insert(all.end(), m_participatingContexts.begin(), m_participatingContexts.end());
    }
    for (ExecutionContextBase* ec : all) {
        if (ec->get_component_state(this) == RTC::ACTIVE_STATE) ec->deactivate_component(this);
    }
    std::vector<ExecutionContextBase*> participating;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        participating.swap(m_participatingContexts);
    }
    for (ExecutionContextBase* ec : participating) ec->remove_component(this);
    return finalize();
}

bool RTObject_impl::is_alive(ExecutionContextBase* exec_context) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_finalized) return false;
    return std::find(m_ownedContexts.begin(), m_ownedContexts.end(), exec_context) !=
               m_ownedContexts.end() ||
           std::find(m_participatingContexts.begin(), m_participatingContexts.end(),
                     exec_context) != m_participatingContexts.end();
}

bool RTObject_impl::isInitialized() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_initialized && !m_finalized;
}

bool RTObject_impl::addInPort(const char* name, InPortBase& inport) {
    return addPort(name, inport);
}

bool RTObject_impl::addOutPort(const char* name, OutPortBase& outport) {
    return addPort(name, outport);
}

bool RTObject_impl::removeInPort(InPortBase& port) { return removePort(port); }

bool RTObject_impl::removeOutPort(OutPortBase& port) { return removePort(port); }

bool RTObject_impl::addPort(const char* name, PortBase& port) {
    (void)name;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (PortBase* p : m_ports)
            if (p == &port || p->localName() == port.localName()) return false;
        port.setOwner(this);
        port.setName(std::string(getInstanceName()) + "." + port.localName());
        m_ports.push_back(&port);
    }
    m_sdoservice.updateStatus(OpenRTM::PORT_PROFILE, std::string("ADD:") + port.getName());
    return true;
}

bool RTObject_impl::removePort(PortBase& port) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = std::find(m_ports.begin(), m_ports.end(), &port);
        if (it == m_ports.end()) return false;
        m_ports.erase(it);
    }
    m_sdoservice.updateStatus(OpenRTM::PORT_PROFILE, std::string("REMOVE:") + port.getName());
    return true;
}

std::vector<PortBase*> RTObject_impl::getPorts() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_ports;
}

PortBase* RTObject_impl::findPort(const std::string& name) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (PortBase* p : m_ports)
        if (p->localName() == name || name == p->getName()) return p;
    return nullptr;
}

const char* RTObject_impl::getInstanceName() const {
    return m_properties.getProperty("instance_name").c_str();
}
void RTObject_impl::setInstanceName(const char* instance_name) {
    m_properties.setProperty("instance_name", instance_name);
}
const char* RTObject_impl::getTypeName() const {
    return m_properties.getProperty("type_name").c_str();
}
const char* RTObject_impl::getDescription() const {
    return m_properties.getProperty("description").c_str();
}
const char* RTObject_impl::getVersion() const {
    return m_properties.getProperty("version").c_str();
}
const char* RTObject_impl::getVendor() const {
    return m_properties.getProperty("vendor").c_str();
}
const char* RTObject_impl::getCategory() const {
    return m_properties.getProperty("category").c_str();
}
coil::Properties& RTObject_impl::getProperties() { return m_properties; }
void RTObject_impl::setProperties(const coil::Properties& prop) { m_properties << prop; }

ExecutionContext_ptr RTObject_impl::getExecutionContext(RTC::UniqueId ec_id) {
    remote::Registry* registry = m_pManager ? m_pManager->m_remote : nullptr;
    if (!registry) return ExecutionContext::_nil();
    PortableServer::Servant_var<remote::ComponentServant> servant = registry->servantOf(this);
    if (!servant.in()) return ExecutionContext::_nil();
    try {
        return servant->get_context(ec_id);
    } catch (const CORBA::Exception&) {
        return ExecutionContext::_nil();
    }
}

PortServiceList* RTObject_impl::get_ports() {
    remote::Registry* registry = m_pManager ? m_pManager->m_remote : nullptr;
    PortableServer::Servant_var<remote::ComponentServant> servant;
    if (registry) servant = registry->servantOf(this);
    if (servant.in()) {
        try {
            return servant->get_ports();
        } catch (const CORBA::Exception&) {
        }
    }
    return new PortServiceList;
}

ExecutionContextBase* RTObject_impl::getContextObject(RTC::UniqueId ec_id) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (ec_id >= 0 && ec_id < kParticipantHandleBase) {
        return static_cast<std::size_t>(ec_id) < m_ownedContexts.size() ? m_ownedContexts[ec_id]
                                                                       : nullptr;
    }
    const long i = static_cast<long>(ec_id) - kParticipantHandleBase;
    return (i >= 0 && static_cast<std::size_t>(i) < m_participatingContexts.size())
               ? m_participatingContexts[i]
               : nullptr;
}

std::vector<ExecutionContextBase*> RTObject_impl::getOwnedContexts() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_ownedContexts;
}

UniqueId RTObject_impl::getContextHandle(const ExecutionContextBase* ec) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (std::size_t i = 0; i < m_ownedContexts.size(); ++i)
        if (m_ownedContexts[i] == ec) return static_cast<UniqueId>(i);
    for (std::size_t i = 0; i < m_participatingContexts.size(); ++i)
        if (m_participatingContexts[i] == ec)
            return kParticipantHandleBase + static_cast<UniqueId>(i);
    return -1;
}

UniqueId RTObject_impl::attachContext(ExecutionContextBase* ec) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_participatingContexts.push_back(ec);
    }
    ec->add_component(this);
    const UniqueId h = getContextHandle(ec);
    m_sdoservice.updateStatus(OpenRTM::EC_STATUS, "ATTACHED:" + std::to_string(h));
    return h;
}

ReturnCode_t RTObject_impl::detachContext(UniqueId ec_id) {
    ExecutionContextBase* ec = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const long i = static_cast<long>(ec_id) - kParticipantHandleBase;
        if (i < 0 || static_cast<std::size_t>(i) >= m_participatingContexts.size())
            return RTC::BAD_PARAMETER;
        ec = m_participatingContexts[i];
    }
    if (ec->get_component_state(this) == RTC::ACTIVE_STATE) return RTC::PRECONDITION_NOT_MET;
    ec->remove_component(this);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_participatingContexts.erase(
            std::find(m_participatingContexts.begin(), m_participatingContexts.end(), ec));
    }
    m_sdoservice.updateStatus(OpenRTM::EC_STATUS, "DETACHED:" + std::to_string(ec_id));
    return RTC::RTC_OK;
}

LifeCycleState RTObject_impl::getState() const {
    ExecutionContextBase* ec = getContextObject(0);
    if (!ec) return RTC::CREATED_STATE;
    return ec->get_component_state(const_cast<RTObject_impl*>(this));
}

}  // namespace RTC
