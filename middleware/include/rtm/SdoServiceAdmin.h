// The SDO services a component uses on behalf of others: the consumers tools hand it through its
// Configuration object. The only kind taken is the component observer.
#ifndef RTM_SDOSERVICEADMIN_H
#define RTM_SDOSERVICEADMIN_H

#include <rtm/ComponentObserverConsumer.h>
#include <rtm/RTC.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace RTC {

// Any thread may call; no call waits for an observer. One sending thread, started with the first
// observer, makes every call to every observer in turn, so an observer that is slow, hung or
// gone never holds up the component or its execution contexts; the first call that fails
// (the observer gone, unreachable, or silent for its call time-out) drops it.
class SdoServiceAdmin {
public:
    // The most observers held at once.
    static constexpr std::size_t kMaxObservers = 32;
    // How long destruction goes on sending what is queued.
    static constexpr std::chrono::milliseconds kFlushLimit{2000};

    SdoServiceAdmin() = default;
    // Sends what is queued, for kFlushLimit at most (and one call time-out for a call under way),
    // then ends the sending thread.
    ~SdoServiceAdmin();
    SdoServiceAdmin(const SdoServiceAdmin&) = delete;
    SdoServiceAdmin& operator=(const SdoServiceAdmin&) = delete;

    // Takes a profile whose interface type is the component observer's, whose id is not empty and
    // whose service is not nil; false otherwise, and false when kMaxObservers are held already. A
    // profile with the id of one held replaces it.
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
    void run();
    // Drops the consumers whose observer failed. The caller holds m_mutex.
    void reap();

    // Guards the consumers (their queues included) and the flags below; m_wake signals a new
    // notice, a new consumer or the end.
    std::mutex m_mutex;
    std::condition_variable m_wake;
    // Shared with the sender while it calls one, so that removing it meanwhile is safe.
    std::vector<std::shared_ptr<ComponentObserverConsumer>> m_consumers;
    bool m_stopping = false;
    std::chrono::steady_clock::time_point m_flushUntil;
    std::thread m_sender;
};

}  // namespace RTC

#endif
