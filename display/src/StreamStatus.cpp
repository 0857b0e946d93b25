#include "display/StreamStatus.h"

#include <cmath>
#include <cstdio>
#include <ctime>

#include "display/Display.h"

namespace display {

namespace {

// Beyond this the sender's clock and ours are taken to differ, and no age is given.
constexpr double kMaxPlausibleAge = 60.0;

}  // namespace

void StreamStatus::restart(Clock::time_point now, unsigned long long received) {
    m_enabled = hasStatusBar();
    m_last = now;
    m_shownBefore = m_shown;
    m_receivedBefore = received;
}

double StreamStatus::wallClock() {
    timespec t{};
    ::clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

std::string StreamStatus::refresh(Clock::time_point now, double wallNow,
                                  unsigned long long received, unsigned long long unread,
                                  const std::string& interfaceType) {
    const double seconds = std::chrono::duration<double>(now - m_last).count();
    m_last = now;
    // Whatever reached the port and is neither shown nor waiting to be read was overwritten in
    // the buffer, or read and not drawn. (A value counted on arrival and still on its way into
    // the buffer counts for the moment too.)
    const unsigned long long accounted = m_shown + unread;
    const unsigned long long skipped = received > accounted ? received - accounted : 0;

    char buffer[256];
    std::string line;
    std::snprintf(buffer, sizeof buffer, "%.1f shown/s, %.1f in/s",
                  seconds > 0 ? static_cast<double>(m_shown - m_shownBefore) / seconds : 0.0,
                  seconds > 0 && received >= m_receivedBefore
                      ? static_cast<double>(received - m_receivedBefore) / seconds
                      : 0.0);
    line = buffer;
    std::snprintf(buffer, sizeof buffer, ", %llu skipped", skipped);
    line += buffer;
    if (m_shown == 0) {
        line += ", nothing shown yet";
    } else {
        const double age =
            wallNow - (static_cast<double>(m_sec) + static_cast<double>(m_nsec) * 1e-9);
        if (std::fabs(age) <= kMaxPlausibleAge)
            std::snprintf(buffer, sizeof buffer, ", age %.3f s", age);
        else
            std::snprintf(buffer, sizeof buffer, ", age unknown: the clocks differ");
        line += buffer;
        if (m_channels > 0)
            std::snprintf(buffer, sizeof buffer, ", %ldx%ldx%ld", m_width, m_height, m_channels);
        else
            std::snprintf(buffer, sizeof buffer, ", %ldx%ld", m_width, m_height);
        line += buffer;
    }
    if (!interfaceType.empty()) line += ", " + interfaceType;
    m_shownBefore = m_shown;
    m_receivedBefore = received;
    return line;
}

void StreamStatus::update(const std::string& window, const std::function<PortCounts()>& count) {
    if (!m_enabled) return;
    const Clock::time_point now = Clock::now();
    if (!due(now)) return;
    const PortCounts c = count();
    setStreamStatus(window, refresh(now, wallClock(), c.received, c.unread, c.interfaceType));
}

}  // namespace display
