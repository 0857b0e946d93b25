// The stream's part of a viewer's status line: values shown and received per second, values
// skipped, the age of the value shown, its size and the connection's interface type, made once a
// second for the display seam's setStreamStatus(). Used on the component's thread only.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace display {

class StreamStatus {
public:
    using Clock = std::chrono::steady_clock;

    StreamStatus() = default;
    StreamStatus(const StreamStatus&) = delete;
    StreamStatus& operator=(const StreamStatus&) = delete;

    // On activation: the rates start again from `now` and the port's total `received` then; the
    // totals go on. Without a status bar (hasStatusBar()) the object stays idle until the next
    // restart: due() is always false.
    void restart(Clock::time_point now, unsigned long long received);
    bool enabled() const { return m_enabled; }

    // A value was shown: its time stamp and size (`channels` 0 for a depth map).
    void shown(unsigned long sec, unsigned long nsec, long width, long height, long channels) {
        ++m_shown;
        m_sec = sec;
        m_nsec = nsec;
        m_width = width;
        m_height = height;
        m_channels = channels;
    }

    // Whether a second has passed since the last line (or since construction).
    bool due(Clock::time_point now) const {
        return m_enabled && now - m_last >= std::chrono::seconds(1);
    }

    // The line, from the totals of the port (values that reached it since it was counted, those
    // still unread in its buffers, taken in that order). `wallNow` is this host's clock in seconds
    // since the epoch.
    std::string refresh(Clock::time_point now, double wallNow, unsigned long long received,
                        unsigned long long unread, const std::string& interfaceType);

    // This host's clock, in seconds since the epoch.
    static double wallClock();

    // What a line is made from: the port's totals, in refresh()'s terms.
    struct PortCounts {
        unsigned long long received = 0;
        unsigned long long unread = 0;
        std::string interfaceType;
    };
    // Once a second (due()): the line, from what `count` gives at that moment (it is not called
    // otherwise), handed to the status bar of the window `window`.
    void update(const std::string& window, const std::function<PortCounts()>& count);

private:
    bool m_enabled = false;
    Clock::time_point m_last;
    unsigned long long m_shown = 0;
    unsigned long long m_shownBefore = 0;  // at the last line
    unsigned long long m_receivedBefore = 0;
    unsigned long m_sec = 0;
    unsigned long m_nsec = 0;
    long m_width = 0;
    long m_height = 0;
    long m_channels = 0;
};

}  // namespace display
