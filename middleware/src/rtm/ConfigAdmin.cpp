#include <rtm/ConfigAdmin.h>

#include <algorithm>
#include <string>

namespace RTC {

namespace {

// A deep copy of `node` under the name `name`; operator= keeps the target's own name.
coil::Properties copyNamed(const coil::Properties& node, const std::string& name) {
    coil::Properties copy(name.c_str());
    copy << node;
    return copy;
}

// A set is one node below "conf", so its id cannot hold the key separator.
bool validId(const std::string& id) { return !id.empty() && id.find('.') == std::string::npos; }

std::size_t bytesOf(const coil::Properties& set) {
    std::size_t bytes = 0;
    for (const auto& entry : set.propertyValues())
        bytes += entry.first.size() + entry.second.size();
    return bytes;
}

}  // namespace

ConfigAdmin::ConfigAdmin(coil::Properties& configsets) : m_configsets(configsets) {}

std::string ConfigAdmin::checkBounds(const coil::Properties* current,
                                     const coil::Properties& merged) const {
    if (!current && m_configsets.getLeaf().size() >= kMaxSets)
        return "no more than " + std::to_string(kMaxSets) + " configuration sets";
    const auto entries = merged.propertyValues();
    if (entries.size() > kMaxKeysPerSet)
        return "no more than " + std::to_string(kMaxKeysPerSet) + " keys in a set";
    std::size_t added = 0;
    for (const auto& entry : entries) {
        if (entry.second.size() > kMaxValueSize)
            return "no value longer than " + std::to_string(kMaxValueSize) + " bytes";
        added += entry.first.size() + entry.second.size();
    }
    if (bytesOf(m_configsets) - (current ? bytesOf(*current) : 0) + added > kMaxTotalSize)
        return "no more than " + std::to_string(kMaxTotalSize) + " bytes in all sets";
    return "";
}

bool ConfigAdmin::haveConfig(const char* config_id) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return config_id && m_configsets.hasKey(config_id) != nullptr;
}

std::string ConfigAdmin::getActiveId() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_activeId;
}

bool ConfigAdmin::isActive() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_active;
}

std::vector<coil::Properties> ConfigAdmin::getConfigurationSets() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<coil::Properties> sets;
    for (const coil::Properties* set : m_configsets.getLeaf())
        sets.push_back(copyNamed(*set, set->getName()));
    return sets;
}

bool ConfigAdmin::getConfigurationSet(const char* config_id,
                                      coil::Properties& configuration_set) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const coil::Properties* set = config_id ? m_configsets.hasKey(config_id) : nullptr;
    if (!set) return false;
    configuration_set = copyNamed(*set, config_id);
    return true;
}

bool ConfigAdmin::setConfigurationSetValues(const coil::Properties& configuration_set,
                                            std::string* refusal) {
    const std::string id = configuration_set.getName();
    if (!validId(id)) return false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const coil::Properties* current = m_configsets.hasKey(id.c_str());
        coil::Properties merged(id.c_str());
        if (current) merged << *current;
        merged << configuration_set;
        const std::string why = checkBounds(current, merged);
        if (!why.empty()) {
            if (refusal) *refusal = why;
            return false;
        }
        m_configsets.createNode(id);
        coil::Properties* set = m_configsets.hasKey(id.c_str());
        if (!set) return false;
        *set << configuration_set;
        m_active = false;
    }
    changed("SET_CONFIG_SET", id);
    return true;
}

bool ConfigAdmin::getActiveConfigurationSet(coil::Properties& configuration_set) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_active) return false;
    coil::Properties* set = m_configsets.hasKey(m_activeId.c_str());
    if (!set) {
        m_configsets.createNode(m_activeId);
        set = m_configsets.hasKey(m_activeId.c_str());
    }
    if (!set) return false;
    configuration_set = copyNamed(*set, m_activeId);
    return true;
}

bool ConfigAdmin::addConfigurationSet(const coil::Properties& configuration_set,
                                      std::string* refusal) {
    const std::string id = configuration_set.getName();
    if (!validId(id)) return false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_configsets.hasKey(id.c_str())) return false;
        const std::string why = checkBounds(nullptr, configuration_set);
        if (!why.empty()) {
            if (refusal) *refusal = why;
            return false;
        }
        m_configsets.createNode(id);
        coil::Properties* set = m_configsets.hasKey(id.c_str());
        if (!set) return false;
        *set << configuration_set;
        m_newConfig.push_back(id);
        m_active = false;
    }
    changed("ADD_CONFIG_SET", id);
    return true;
}

bool ConfigAdmin::removeConfigurationSet(const char* config_id) {
    if (!config_id) return false;
    const std::string id = config_id;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (id == "default" || id == m_activeId) return false;
        const auto added = std::find(m_newConfig.begin(), m_newConfig.end(), id);
        if (added == m_newConfig.end()) return false;
        delete m_configsets.removeNode(id.c_str());
        m_newConfig.erase(added);
    }
    changed("REMOVE_CONFIG_SET", id);
    return true;
}

bool ConfigAdmin::activateConfigurationSet(const char* config_id) {
    if (!config_id || config_id[0] == '\0' || config_id[0] == '_') return false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_configsets.hasKey(config_id)) return false;
        m_activeId = config_id;
        m_active = true;
    }
    changed("ACTIVATE_CONFIG_SET", config_id);
    return true;
}

void ConfigAdmin::changed(const char* change, const std::string& config_id) {
    if (m_listener) m_listener(change, config_id);
}

}  // namespace RTC
