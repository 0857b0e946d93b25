#include <malloc.h>
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

// The most organizations a component keeps.
const std::size_t kMaxOrganizations = 64;

// A set as the interface carries it: its description is the value of its key "description", and
// every key of the set, relative to it, is one string entry.
SDOPackage::ConfigurationSet* toConfigurationSet(const coil::Properties& set) {
    SDOPackage::ConfigurationSet_var out = new SDOPackage::ConfigurationSet;
    out->id = CORBA::string_dup(set.getName());
    out->description = CORBA::string_dup(set.getProperty("description").c_str());
    const auto entries = set.propertyValues();
    out->configuration_data.length(static_cast<CORBA::ULong>(entries.size()));
    for (CORBA::ULong i = 0; i < entries.size(); ++i) {
        out->configuration_data[i].name = CORBA::string_dup(entries[i].first.c_str());
        out->configuration_data[i].value <<= entries[i].second.c_str();
    }
    return out._retn();
}

// The set's string entries under the set's id; its description member is not kept.
coil::Properties fromConfigurationSet(const SDOPackage::ConfigurationSet& set) {
    coil::Properties out(set.id.in());
    out << RTC::remote::toProperties(set.configuration_data);
    return out;
}

// "exported_ports" names ports of a composite's members as "<member>.<port>": an item with more
// dot-parts keeps only its first and last.
void shortenExportedPorts(coil::Properties& set) {
    if (!set.findNode("exported_ports")) return;
    std::istringstream in(set.getProperty("exported_ports"));
    std::string item, out;
    for (bool first = true; std::getline(in, item, ','); first = false) {
        const auto head = item.find('.');
        const auto tail = item.rfind('.');
        if (head != tail) item = item.substr(0, head) + item.substr(tail);
        out += (first ? "" : ",") + item;
    }
    set.setProperty("exported_ports", out);
}

const char* text(const char* s) { return s ? s : ""; }

}  // namespace

ConfigurationServant::ConfigurationServant(std::shared_ptr<ComponentLink> link)
    : m_link(std::move(link)) {}

void ConfigurationServant::activated(Activation activation, SDOPackage::Configuration_ptr ref) {
    m_activation = activation;
    m_ref = SDOPackage::Configuration::_duplicate(ref);
}

template <class F>
decltype(auto) ConfigurationServant::withSets(F f) {
    ComponentLink::Use use(*m_link);
    if (!use) gone();
    return f(use->getConfigService());
}

SDOPackage::DeviceProfile* ConfigurationServant::deviceProfile() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return new SDOPackage::DeviceProfile(m_deviceProfile);
}

SDOPackage::OrganizationList* ConfigurationServant::organizations() {
    std::lock_guard<std::mutex> lock(m_mutex);
    SDOPackage::OrganizationList_var list = new SDOPackage::OrganizationList;
    list->length(static_cast<CORBA::ULong>(m_organizations.size()));
    for (CORBA::ULong i = 0; i < list->length(); ++i)
        list[i] = SDOPackage::Organization::_duplicate(m_organizations[i].in());
    return list._retn();
}

CORBA::Boolean ConfigurationServant::set_device_profile(const SDOPackage::DeviceProfile& dProfile) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_deviceProfile = dProfile;
    return true;
}

// Component observers are the only SDO service consumers taken.
CORBA::Boolean ConfigurationServant::add_service_profile(
    const SDOPackage::ServiceProfile& sProfile) {
    ComponentLink::Use use(*m_link);
    if (!use) gone();
    return use->getSdoServiceAdmin().addSdoServiceConsumer(sProfile);
}

CORBA::Boolean ConfigurationServant::add_organization(
    SDOPackage::Organization_ptr organization_object) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_organizations.size() >= kMaxOrganizations) return false;
    m_organizations.emplace_back(SDOPackage::Organization::_duplicate(organization_object));
    return true;
}

CORBA::Boolean ConfigurationServant::remove_service_profile(const char* id) {
    ComponentLink::Use use(*m_link);
    if (!use) gone();
    return use->getSdoServiceAdmin().removeSdoServiceConsumer(id);
}

// Asks each organization its id outside the lock; a nil or silent one is never the one named.
CORBA::Boolean ConfigurationServant::remove_organization(const char* organization_id) {
    const std::string wanted = text(organization_id);
    std::vector<SDOPackage::Organization_var> all;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& o : m_organizations)
            all.emplace_back(SDOPackage::Organization::_duplicate(o.in()));
    }
    std::vector<SDOPackage::Organization_ptr> matching;
    // Organizations that never answer share one limit; those left unasked stay.
    const PeerBudget budget(kPeerCallLimit);
    for (auto& o : all) {
        if (CORBA::is_nil(o)) continue;
        if (!budget.limit(o.in(), kPeerCallTimeoutMs)) break;
        try {
            CORBA::String_var id = o->get_organization_id();
            if (wanted == id.in()) matching.push_back(o.in());
        } catch (const CORBA::Exception&) {
        }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_organizations.erase(std::remove_if(m_organizations.begin(), m_organizations.end(),
                                         [&](const SDOPackage::Organization_var& o) {
                                             return !CORBA::is_nil(o) &&
                                                    std::any_of(
                                                        matching.begin(), matching.end(),
                                                        [&](SDOPackage::Organization_ptr m) {
                                                            return o->_is_equivalent(m);
                                                        });
                                         }),
                          m_organizations.end());
    return true;
}

// The components declare no configuration parameters: the parameter operations answer empty,
// and setting one changes nothing.
SDOPackage::ParameterList* ConfigurationServant::get_configuration_parameters() {
    return new SDOPackage::ParameterList;
}

SDOPackage::NVList* ConfigurationServant::get_configuration_parameter_values() {
    return new SDOPackage::NVList;
}

CORBA::Any* ConfigurationServant::get_configuration_parameter_value(const char* name) {
    if (text(name)[0] == '\0') throw SDOPackage::InvalidParameter("Name is empty.");
    return new CORBA::Any;
}

CORBA::Boolean ConfigurationServant::set_configuration_parameter(const char*, const CORBA::Any&) {
    return true;
}

SDOPackage::ConfigurationSetList* ConfigurationServant::get_configuration_sets() {
    const std::vector<coil::Properties> sets =
        withSets([](ConfigAdmin& admin) { return admin.getConfigurationSets(); });
    SDOPackage::ConfigurationSetList_var list = new SDOPackage::ConfigurationSetList;
    list->length(static_cast<CORBA::ULong>(sets.size()));
    for (CORBA::ULong i = 0; i < sets.size(); ++i) {
        SDOPackage::ConfigurationSet_var set = toConfigurationSet(sets[i]);
        list[i] = set.in();
    }
    return list._retn();
}

// The operation may raise only NotAvailable and InternalError, so a missing set is an
// InternalError, worded as the middleware words it.
SDOPackage::ConfigurationSet* ConfigurationServant::get_configuration_set(const char* config_id) {
    if (text(config_id)[0] == '\0') throw SDOPackage::InternalError("ID is empty");
    coil::Properties set;
    if (!withSets([&](ConfigAdmin& admin) { return admin.getConfigurationSet(config_id, set); }))
        throw SDOPackage::InternalError("Unknown exception");
    return toConfigurationSet(set);
}

CORBA::Boolean ConfigurationServant::set_configuration_set_values(
    const SDOPackage::ConfigurationSet& configuration_set) {
    if (text(configuration_set.id.in())[0] == '\0')
        throw SDOPackage::InvalidParameter("ID is empty.");
    if (!keysWithinDepth(configuration_set.configuration_data))
        throw SDOPackage::InvalidParameter("key of too many levels");
    coil::Properties set = fromConfigurationSet(configuration_set);
    shortenExportedPorts(set);
    std::string refusal;
    const bool done = withSets(
        [&](ConfigAdmin& admin) { return admin.setConfigurationSetValues(set, &refusal); });
    if (!refusal.empty()) throw SDOPackage::InvalidParameter(refusal.c_str());
    return done;
}

SDOPackage::ConfigurationSet* ConfigurationServant::get_active_configuration_set() {
    coil::Properties set;
    if (!withSets([&](ConfigAdmin& admin) { return admin.getActiveConfigurationSet(set); }))
        throw SDOPackage::NotAvailable("");
    return toConfigurationSet(set);
}

CORBA::Boolean ConfigurationServant::add_configuration_set(
    const SDOPackage::ConfigurationSet& configuration_set) {
    if (!keysWithinDepth(configuration_set.configuration_data)) return false;
    const coil::Properties set = fromConfigurationSet(configuration_set);
    return withSets([&](ConfigAdmin& admin) { return admin.addConfigurationSet(set); });
}

CORBA::Boolean ConfigurationServant::remove_configuration_set(const char* config_id) {
    if (text(config_id)[0] == '\0') throw SDOPackage::InvalidParameter("ID is empty.");
    const bool removed =
        withSets([&](ConfigAdmin& admin) { return admin.removeConfigurationSet(config_id); });
    // The manager keeps freed memory for reuse (see Manager); what a set held goes back.
    if (removed) ::malloc_trim(0);
    return removed;
}

CORBA::Boolean ConfigurationServant::activate_configuration_set(const char* config_id) {
    if (text(config_id)[0] == '\0') throw SDOPackage::InvalidParameter("ID is empty.");
    if (!withSets([&](ConfigAdmin& admin) { return admin.activateConfigurationSet(config_id); }))
        throw SDOPackage::InvalidParameter("Configuration::activate_configuration_set()");
    return true;
}

}  // namespace remote
}  // namespace RTC
