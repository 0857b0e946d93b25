// One tool's component observer ("IDL:OpenRTM/ComponentObserver:1.0"), handed to a component
// through its Configuration object: the component's changes reach the tool as update_status()
// calls.
#ifndef RTM_COMPONENTOBSERVERCONSUMER_H
#define RTM_COMPONENTOBSERVERCONSUMER_H

#include <rtm/RTC.h>
#include <rtm/idl/ComponentObserverSkel.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace RTC {

// The calls go out from a thread of the consumer's own, so that an observer that is slow, hung or
// gone never holds up the component or its execution contexts: updateStatus() only queues. The
// first call that fails (the observer gone, unreachable, or silent for the call time-out) ends the
// thread, and the owner drops the consumer. Any thread may call.
class ComponentObserverConsumer {
public:
    // The interface type a service profile names to be taken as an observer.
    static const char* const kInterfaceType;
    // How long one call may take before the observer counts as failed.
    static constexpr unsigned long kCallTimeoutMs = 2000;
    // Notices waiting beyond this many push out the oldest.
    static constexpr std::size_t kQueueLimit = 256;

    // Reads the profile's properties: "observed_status", "ALL" or a comma-separated list of the
    // kinds to send (any case; all of them when the key is missing), and "heartbeat.enable"
    // (YES/NO) with "heartbeat.interval" in seconds (1 when missing or not positive). The
    // profile's service must not be nil. Starts the sending thread.
    explicit ComponentObserverConsumer(const SDOPackage::ServiceProfile& profile);
    // Ends the sending thread, at once unless finish(true) asked for the queue to be sent first,
    // and joins it. An observer that hangs holds this up for one call time-out at most, since the
    // first failed call ends the thread.
    ~ComponentObserverConsumer();
    ComponentObserverConsumer(const ComponentObserverConsumer&) = delete;
    ComponentObserverConsumer& operator=(const ComponentObserverConsumer&) = delete;

    const SDOPackage::ServiceProfile& getProfile() const { return m_profile; }
    bool observes(OpenRTM::StatusKind kind) const;
    // Queues one notice, unless the kind is not observed or the consumer has finished.
    void updateStatus(OpenRTM::StatusKind kind, const std::string& hint);
    // True once a call to the observer has failed.
    bool failed() const { return m_failed.load(); }
    // Asks the thread to end: with `flush` after sending what is queued, otherwise at once.
    // Returns without waiting.
    void finish(bool flush);
    // True once the thread has ended, so that destroying the consumer will not wait.
    bool finished() const { return m_finished.load(); }

private:
    void run();
    bool send(OpenRTM::StatusKind kind, const std::string& hint);

    const SDOPackage::ServiceProfile m_profile;
    OpenRTM::ComponentObserver_var m_observer;
    bool m_observed[OpenRTM::STATUS_KIND_NUM] = {};
    bool m_heartbeat = false;
    std::chrono::steady_clock::duration m_interval;

    // Guards the queue and the finishing flags; m_wake signals their changes.
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::pair<OpenRTM::StatusKind, std::string>> m_queue;
    bool m_finishing = false;
    bool m_flush = false;

    std::atomic<bool> m_failed{false};
    std::atomic<bool> m_finished{false};
    std::thread m_thread;
};

}  // namespace RTC

#endif
