// A component's configuration sets, kept where the middleware keeps them: every direct child of
// the component's "conf" properties node is one set, named by its id, and every key below that
// child is one parameter of the set ("conf.<set>.<key>").
#ifndef RTM_CONFIGADMIN_H
#define RTM_CONFIGADMIN_H

#include <coil/Properties.h>

#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace RTC {

// Any thread may call. The sets are handed out as copies, so that a reader never sees a set
// change under it; hold() keeps them still while someone reads the whole properties tree.
class ConfigAdmin {
public:
    // What the sets may hold, whoever asks: a change that would pass a bound is refused whole.
    static constexpr std::size_t kMaxSets = 128;
    static constexpr std::size_t kMaxKeysPerSet = 256;
    static constexpr std::size_t kMaxValueSize = 64 * 1024;
    // Keys and values of every set together.
    static constexpr std::size_t kMaxTotalSize = 4 * 1024 * 1024;

    // `configsets` is the component's "conf" node; it must outlive this object. The active set
    // starts as "default", flagged active, whether or not such a set exists.
    explicit ConfigAdmin(coil::Properties& configsets);
    ConfigAdmin(const ConfigAdmin&) = delete;
    ConfigAdmin& operator=(const ConfigAdmin&) = delete;

    bool haveConfig(const char* config_id) const;
    std::string getActiveId() const;
    // False from a change of the sets until the next activation.
    bool isActive() const;

    // Copies of every set, in the order they were made; each copy is named by its set's id.
    std::vector<coil::Properties> getConfigurationSets() const;
    // A copy of the set named `config_id`; false when there is none.
    bool getConfigurationSet(const char* config_id, coil::Properties& configuration_set) const;
    // Merges the set's keys into the set named by its name, making that set if needed; clears the
    // active flag. False for an empty name or one holding a '.', which cannot name one node, and
    // for a change past the bounds above, which then sets `refusal` (when given) to the reason.
    bool setConfigurationSetValues(const coil::Properties& configuration_set,
                                   std::string* refusal = nullptr);
    // A copy of the active set, made (empty) if it does not exist; false while no set is active.
    bool getActiveConfigurationSet(coil::Properties& configuration_set);
    // Adds a set under its name and remembers that it was added, which makes it removable; clears
    // the active flag. False for an empty name, one holding a '.', one in use, or a set past
    // the bounds above (see setConfigurationSetValues()).
    bool addConfigurationSet(const coil::Properties& configuration_set,
                             std::string* refusal = nullptr);
    // False for "default", the active set, an unknown set and any set not made by
    // addConfigurationSet().
    bool removeConfigurationSet(const char* config_id);
    // False for an empty or unknown id and for ids starting with '_', which name hidden sets.
    bool activateConfigurationSet(const char* config_id);

    // Called after each change made through the calls above, outside the lock, with what changed
    // ("SET_CONFIG_SET", "ADD_CONFIG_SET", "REMOVE_CONFIG_SET", "ACTIVATE_CONFIG_SET") and the
    // set's id. Set it before the sets are used from other threads.
    using ChangeListener = std::function<void(const char* change, const std::string& config_id)>;
    void setChangeListener(ChangeListener listener) { m_listener = std::move(listener); }

    // Holds the sets still; none of the calls above may be made while the lock is held.
    std::unique_lock<std::mutex> hold() const { return std::unique_lock<std::mutex>(m_mutex); }

private:
    // Empty when `merged`, replacing the set `id` (null when new), keeps the sets in bounds;
    // otherwise why not. Called with the lock held.
    std::string checkBounds(const coil::Properties* current, const coil::Properties& merged) const;
    void changed(const char* change, const std::string& config_id);

    ChangeListener m_listener;
    // Guards everything below and the nodes under m_configsets.
    mutable std::mutex m_mutex;
    coil::Properties& m_configsets;
    std::string m_activeId = "default";
    bool m_active = true;
    std::vector<std::string> m_newConfig;
};

}  // namespace RTC

#endif
