#include <rtm/ConfigAdmin.h>

#include <algorithm>

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

}  // namespace

ConfigAdmin::ConfigAdmin(coil::Properties& configsets) : m_configsets(configsets) {}

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

bool ConfigAdmin::setConfigurationSetValues(const coil::Properties& configuration_set) {
    const std::string id = configuration_set.getName();
    if (!validId(id)) return false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
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

bool ConfigAdmin::addConfigurationSet(const coil::Properties& configuration_set) {
    const std::string id = configuration_set.getName();
    if (!validId(id)) return false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_configsets.hasKey(id.c_str())) return false;
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
