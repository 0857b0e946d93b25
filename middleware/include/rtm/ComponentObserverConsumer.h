// Stand-in only: no OpenRTM-aist header has this name.
// One tool's component observer ("IDL:OpenRTM/ComponentObserver:1.0"), handed to a component
// through its Configuration object: the component's changes reach the tool as update_status()
// calls.
#ifndef RTM_COMPONENTOBSERVERCONSUMER_H
#define RTM_COMPONENTOBSERVERCONSUMER_H

#include <rtm/RTC.h>
#include <rtm/idl/ComponentObserverSkel.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <string>
#include <utility>

namespace RTC {

// What one observer is to be told, and when its heartbeat is due. It makes no thread of its own:
// its owner's sender takes the notices with next() and makes the calls with send(). The owner's
// lock guards the queue and the heartbeat time, so every member but send(), failed() and the
// const ones is called with that lock held.
class ComponentObserverConsumer {
public:
    using Clock = std::chrono::steady_clock;
    using Notice = std::pair<OpenRTM::StatusKind, std::string>;

    // The interface type a service profile names to be taken as an observer.
    static const char* const kInterfaceType;
    // How long one call may take before the observer counts as failed.
    static constexpr unsigned long kCallTimeoutMs = 2000;
    // Notices waiting beyond this many push out the oldest.
    static constexpr std::size_t kQueueLimit = 256;
    // The shortest heartbeat interval, in seconds: a shorter one asked for is raised to it.
    static constexpr double kMinHeartbeatInterval = 0.1;

    // Reads the profile's properties: "observed_status", "ALL" or a comma-separated list of the
    // kinds to send (any case; all of them when the key is missing), and "heartbeat.enable"
    // (YES/NO) with "heartbeat.interval" in seconds (1 when missing, not a number, not positive
    // or a million or more; kMinHeartbeatInterval at least). The profile's service must not be
    // nil.
    explicit ComponentObserverConsumer(const SDOPackage::ServiceProfile& profile);
    ComponentObserverConsumer(const ComponentObserverConsumer&) = delete;
    ComponentObserverConsumer& operator=(const ComponentObserverConsumer&) = delete;

    const SDOPackage::ServiceProfile& getProfile() const { return m_profile; }
    bool observes(OpenRTM::StatusKind kind) const;
    // Heartbeat period, as taken from the profile; zero when heartbeats are off.
    Clock::duration heartbeatInterval() const {
        return m_heartbeat ? m_interval : Clock::duration();
    }

    // Queues one notice, unless the kind is not observed.
    void updateStatus(OpenRTM::StatusKind kind, const std::string& hint);
    // The next notice due at `now`: the oldest queued one, else a heartbeat whose time has come
    // (unless `beats` is false). False when nothing is due.
    bool next(Clock::time_point now, bool beats, Notice& out);
    // When the next heartbeat is due; Clock::time_point::max() when heartbeats are off.
    Clock::time_point nextBeat() const;

    // Makes the call, within kCallTimeoutMs; false, and failed() true from then on, when it fails.
    // Called without the owner's lock.
    bool send(const Notice& notice);
    bool failed() const { return m_failed.load(); }

private:
    const SDOPackage::ServiceProfile m_profile;
    OpenRTM::ComponentObserver_var m_observer;
    bool m_observed[OpenRTM::STATUS_KIND_NUM] = {};
    bool m_heartbeat = false;
    Clock::duration m_interval;

    std::deque<Notice> m_queue;
    Clock::time_point m_beat;
    std::atomic<bool> m_failed{false};
};

}  // namespace RTC

#endif
