// The SDO services a component uses on behalf of others: the consumers tools hand it through its
// Configuration object. The only kind taken is the component observer.
#ifndef RTM_SDOSERVICEADMIN_H
#define RTM_SDOSERVICEADMIN_H

#include <rtm/ComponentObserverConsumer.h>
#include <rtm/RTC.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace RTC {

// Any thread may call; no call waits for an observer.
class SdoServiceAdmin {
public:
    SdoServiceAdmin() = default;
    // Sends what is queued for each observer (one call time-out at most for one that hangs) and
    // ends the consumers' threads.
    ~SdoServiceAdmin();
    SdoServiceAdmin(const SdoServiceAdmin&) = delete;
    SdoServiceAdmin& operator=(const SdoServiceAdmin&) = delete;

    // Takes a profile whose interface type is the component observer's, whose id is not empty and
    // whose service is not nil; false otherwise. A profile with the id of one held replaces it.
    bool addSdoServiceConsumer(const SDOPackage::ServiceProfile& sProfile);
    // False when no consumer has that id.
    bool removeSdoServiceConsumer(const char* id);
    // The profiles held, in the order they came; an observer whose call failed is no longer held.
    SDOPackage::ServiceProfileList getSdoServiceConsumerProfiles();
    // A copy of the profile with that id; false when there is none.
    bool getSdoServiceConsumerProfile(const char* id, SDOPackage::ServiceProfile& sProfile);

    // Tells every observer that watches `kind`.
    void updateStatus(OpenRTM::StatusKind kind, const std::string& hint);

private:
    // Drops the consumers whose observer failed, and destroys those whose thread has ended. The
    // caller holds m_mutex.
    void reap();

    // Guards both lists: the consumers held, and those dropped whose thread may still be ending.
    std::mutex m_mutex;
    std::vector<std::unique_ptr<ComponentObserverConsumer>> m_consumers;
    std::vector<std::unique_ptr<ComponentObserverConsumer>> m_retired;
};

}  // namespace RTC

#endif
