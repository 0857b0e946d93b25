#include <rtm/ComponentObserverConsumer.h>
#include <rtm/RemoteUtil.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace RTC {

namespace {

// The kinds a tool may name in "observed_status", indexed by their StatusKind; the heartbeat has
// keys of its own.
const char* const kObservable[] = {"COMPONENT_PROFILE", "RTC_STATUS", "EC_STATUS", "PORT_PROFILE",
                                   "CONFIGURATION"};
constexpr int kObservableCount = sizeof kObservable / sizeof kObservable[0];
static_assert(kObservableCount == OpenRTM::HEARTBEAT, "every kind before the heartbeat");

std::string trimmedUpper(std::string s) {
    s.erase(0, s.find_first_not_of(" \t"));
    s.erase(s.find_last_not_of(" \t") + 1);
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::toupper(c); });
    return s;
}

}  // namespace

const char* const ComponentObserverConsumer::kInterfaceType = "IDL:OpenRTM/ComponentObserver:1.0";

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
        std::istringstream in(props.getProperty("observed_status"));
        for (std::string item; std::getline(in, item, ',');) {
            item = trimmedUpper(item);
            for (int k = 0; k < kObservableCount; ++k)
                if (item == "ALL" || item == kObservable[k]) m_observed[k] = true;
        }
    }
    m_heartbeat = trimmedUpper(props.getProperty("heartbeat.enable")) == "YES";
    const std::string interval = props.getProperty("heartbeat.interval");
    char* end = nullptr;
    const double seconds = std::strtod(interval.c_str(), &end);
    if (end != interval.c_str() && std::isfinite(seconds) && seconds > 0.0 && seconds < 1e6)
        m_interval = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(seconds));
    omniORB::setClientCallTimeout(m_observer.in(), kCallTimeoutMs);
    m_thread = std::thread([this] { run(); });
}

ComponentObserverConsumer::~ComponentObserverConsumer() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_finishing) {
            m_finishing = true;
            m_queue.clear();
        }
    }
    m_wake.notify_all();
    m_thread.join();
}

bool ComponentObserverConsumer::observes(OpenRTM::StatusKind kind) const {
    return kind < OpenRTM::STATUS_KIND_NUM && m_observed[kind];
}

void ComponentObserverConsumer::updateStatus(OpenRTM::StatusKind kind, const std::string& hint) {
    if (!observes(kind)) return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_finishing || m_finished.load()) return;
        if (m_queue.size() >= kQueueLimit) m_queue.pop_front();
        m_queue.emplace_back(kind, hint);
    }
    m_wake.notify_all();
}

void ComponentObserverConsumer::finish(bool flush) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_finishing) {
            m_flush = m_flush && flush;
        } else {
            m_finishing = true;
            m_flush = flush;
        }
        if (!m_flush) m_queue.clear();
    }
    m_wake.notify_all();
}

bool ComponentObserverConsumer::send(OpenRTM::StatusKind kind, const std::string& hint) {
    try {
        m_observer->update_status(kind, hint.c_str());
        return true;
    } catch (const CORBA::Exception&) {
        m_failed = true;
        return false;
    }
}

void ComponentObserverConsumer::run() {
    using Clock = std::chrono::steady_clock;
    std::unique_lock<std::mutex> lock(m_mutex);
    Clock::time_point beat = Clock::now() + m_interval;
    for (;;) {
        if (!m_queue.empty()) {
            const auto notice = std::move(m_queue.front());
            m_queue.pop_front();
            lock.unlock();
            const bool sent = send(notice.first, notice.second);
            lock.lock();
            if (!sent) break;
            continue;
        }
        if (m_finishing) break;
        if (!m_heartbeat) {
            m_wake.wait(lock);
            continue;
        }
        if (Clock::now() < beat) {
            m_wake.wait_until(lock, beat);
            continue;
        }
        beat += m_interval;
        // After a late beat the next one keeps a whole interval's distance.
        if (beat <= Clock::now()) beat = Clock::now() + m_interval;
        lock.unlock();
        const bool sent = send(OpenRTM::HEARTBEAT, "");
        lock.lock();
        if (!sent) break;
    }
    m_queue.clear();
    m_finished = true;
}

}  // namespace RTC
