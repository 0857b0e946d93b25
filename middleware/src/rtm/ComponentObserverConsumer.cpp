#include <coil/stringutil.h>
#include <rtm/ComponentObserverConsumer.h>
#include <rtm/RemoteUtil.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace RTC {

namespace {

// The kinds a tool may name in "observed_status", indexed by their StatusKind; the heartbeat has
// keys of its own.
const char* const kObservable[] = {"COMPONENT_PROFILE", "RTC_STATUS", "EC_STATUS", "PORT_PROFILE",
                                   "CONFIGURATION"};
constexpr int kObservableCount = sizeof kObservable / sizeof kObservable[0];
static_assert(kObservableCount == OpenRTM::HEARTBEAT, "every kind before the heartbeat");

}  // namespace

const char* const ComponentObserverConsumer::kInterfaceType = "IDL:OpenRTM/ComponentObserver:1.0";
constexpr double ComponentObserverConsumer::kMinHeartbeatInterval;

ComponentObserverConsumer::ComponentObserverConsumer(const SDOPackage::ServiceProfile& profile)
    : m_profile(profile),
      // The profile's interface type says what the service is; asking the service itself would be
      // a call that a hung observer could hold up.
      m_observer(OpenRTM::ComponentObserver::_unchecked_narrow(profile.service.in())),
      m_interval(std::chrono::seconds(1)) {
    const coil::Properties props = remote::toProperties(profile.properties);
    if (!props.findNode("observed_status")) {
        std::fill(std::begin(m_observed), std::end(m_observed), true);
        m_observed[OpenRTM::HEARTBEAT] = false;
    } else {
        for (std::string item : coil::split(props.getProperty("observed_status"), ",", true)) {
            coil::toUpper(item);
            for (int k = 0; k < kObservableCount; ++k)
                if (item == "ALL" || item == kObservable[k]) m_observed[k] = true;
        }
    }
    m_heartbeat = coil::toBool(props.getProperty("heartbeat.enable"), "YES", "NO", false);
    const std::string interval = props.getProperty("heartbeat.interval");
    char* end = nullptr;
    const double seconds = std::strtod(interval.c_str(), &end);
    if (end != interval.c_str() && std::isfinite(seconds) && seconds > 0.0 && seconds < 1e6)
        m_interval = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(std::max(seconds, kMinHeartbeatInterval)));
    omniORB::setClientCallTimeout(m_observer.in(), kCallTimeoutMs);
    m_beat = Clock::now() + m_interval;
}

bool ComponentObserverConsumer::observes(OpenRTM::StatusKind kind) const {
    return kind < OpenRTM::STATUS_KIND_NUM && m_observed[kind];
}

void ComponentObserverConsumer::updateStatus(OpenRTM::StatusKind kind, const std::string& hint) {
    if (!observes(kind) || failed()) return;
    if (m_queue.size() >= kQueueLimit) m_queue.pop_front();
    m_queue.emplace_back(kind, hint);
}

bool ComponentObserverConsumer::next(Clock::time_point now, bool beats, Notice& out) {
    if (failed()) return false;
    if (!m_queue.empty()) {
        out = std::move(m_queue.front());
        m_queue.pop_front();
        return true;
    }
    if (!beats || !m_heartbeat || now < m_beat) return false;
    m_beat += m_interval;
    // After a late beat the next one keeps a whole interval's distance.
    if (m_beat <= now) m_beat = now + m_interval;
    out = Notice(OpenRTM::HEARTBEAT, "");
    return true;
}

ComponentObserverConsumer::Clock::time_point ComponentObserverConsumer::nextBeat() const {
    return m_heartbeat && !failed() ? m_beat : Clock::time_point::max();
}

bool ComponentObserverConsumer::send(const Notice& notice) {
    try {
        m_observer->update_status(notice.first, notice.second.c_str());
        return true;
    } catch (const CORBA::Exception&) {
        m_failed = true;
        return false;
    }
}

}  // namespace RTC
