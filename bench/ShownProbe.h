// The benchmark's view into a viewer's display cycle, linked only into the probed bench builds of
// the viewers (MorvaneBench, KalethBench) and FlowSink: production programs carry none of it.
//
// A probed viewer is a subclass of the production component that runs the production onExecute
// unchanged and then compares the bound variable's time stamp with the one before the cycle. A
// changed stamp means the cycle read a new value and went on to show it; the cycle's end is
// then the end of the show, after the key wait that lets the window paint. For each such cycle one
// line goes to standard output:
//   shown <tm.sec> <tm.nsec> <end sec> <end nsec> <overwritten> <refused> <arrived> <read> <shown>
// with the end on CLOCK_REALTIME (the producer stamps tm with the same clock on write) and the
// port ring's running counts of values overwritten and refused (0 and 0 on an installed
// OpenRTM-aist, which keeps no such counts). The last three are microseconds after tm, -1 when
// unknown: when the value reached the port (its listener on received data), when the cycle that
// read it began reading (its start, or the return of a key wait made before the show), and when
// the image was handed to the window (the display seam's showImage, which the probed programs
// wrap).
#pragma once

#include <rtm/ConnectorListener.h>
#include <rtm/InPortBase.h>
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>

namespace benchprobe {

inline bool sameTime(const RTC::Time& a, const RTC::Time& b) {
    return a.sec == b.sec && a.nsec == b.nsec;
}

inline long long nowNs() {
    timespec t{};
    ::clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

// The points in the component's cycle the wrapped display calls mark. Component thread only.
struct CycleMarks {
    long long start = 0;
    long long keyReturned = 0;  // the first key wait of the cycle
    long long showEntered = 0;
};
inline CycleMarks& marks() {
    static thread_local CycleMarks m;
    return m;
}
inline void cycleStarted() { marks() = CycleMarks{nowNs(), 0, 0}; }

// When each value reached the port, by its time stamp, noted on the middleware's threads.
class Arrivals {
public:
    void note(unsigned long long stamp) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_at.size() >= 4096) m_at.erase(m_at.begin());
        m_at[stamp] = nowNs();
    }
    long long take(unsigned long long stamp) {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_at.find(stamp);
        if (it == m_at.end()) return 0;
        const long long at = it->second;
        m_at.erase(m_at.begin(), ++std::map<unsigned long long, long long>::iterator(it));
        return at;
    }

private:
    std::mutex m_mutex;  // guards m_at
    std::map<unsigned long long, long long> m_at;
};

inline unsigned long long stampOf(unsigned long sec, unsigned long nsec) {
    return static_cast<unsigned long long>(sec) * 1000000000ULL + nsec;
}

// tm is the first member of every value, two unsigned longs at the start of its CDR bytes.
class ArrivalListener : public RTC::ConnectorDataListener {
public:
    explicit ArrivalListener(std::shared_ptr<Arrivals> arrivals)
        : m_arrivals(std::move(arrivals)) {}

#if defined(RTM_MAJOR_VERSION) && RTM_MAJOR_VERSION >= 2
    RTC::ConnectorListenerStatus::Enum operator()(RTC::ConnectorInfo& info, RTC::ByteData& data,
                                                  const std::string&) override {
        note(info, data.getBuffer(), data.getDataLength());
        return RTC::ConnectorListenerStatus::NO_CHANGE;
    }
#else
    RTC::ConnectorListenerStatus::Enum operator()(RTC::ConnectorInfo& info,
                                                  cdrMemoryStream& data) override {
        note(info, static_cast<const unsigned char*>(data.bufPtr()), data.bufSize());
        return RTC::ConnectorListenerStatus::NO_CHANGE;
    }
#endif

private:
    void note(RTC::ConnectorInfo& info, const unsigned char* bytes, std::size_t size) {
        if (bytes == nullptr || size < 8) return;
        // The writers here encode little-endian unless the connector asks for big.
        const bool big =
            info.properties.getProperty("dataport.serializer.cdr.endian").rfind("big", 0) == 0 ||
            info.properties.getProperty("serializer.cdr.endian").rfind("big", 0) == 0;
        auto word = [&](std::size_t at) {
            std::uint32_t v = 0;
            for (int i = 0; i < 4; ++i)
                v |= static_cast<std::uint32_t>(bytes[at + (big ? 3 - i : i)]) << (8 * i);
            return v;
        };
        m_arrivals->note(stampOf(word(0), word(4)));
    }

    const std::shared_ptr<Arrivals> m_arrivals;
};

inline std::shared_ptr<Arrivals> watchArrivals(RTC::InPortBase& port) {
    std::shared_ptr<Arrivals> arrivals = std::make_shared<Arrivals>();
#if defined(RTM_MAJOR_VERSION) && RTM_MAJOR_VERSION >= 2
    port.addConnectorDataListener(RTC::ConnectorDataListenerType::ON_RECEIVED,
                                  new ArrivalListener(arrivals), true);
#else
    port.addConnectorDataListener(RTC::ON_RECEIVED, new ArrivalListener(arrivals), true);
#endif
    return arrivals;
}

inline void cycleEnded(const RTC::Time& before, const RTC::Time& after, RTC::InPortBase& port,
                       Arrivals* arrivals) {
    if (sameTime(before, after)) return;
    const long long end = nowNs();
    unsigned long long overwritten = 0, refused = 0;
#if __has_include(<rtm/CdrRing.h>)
    const RTC::CdrRing::Counters c = port.counters();
    overwritten = c.overwritten;
    refused = c.refused;
#else
    // An installed OpenRTM-aist keeps no such counts: its rows show none lost in the port.
    static_cast<void>(port);
#endif
    const unsigned long long stamp = stampOf(after.sec, after.nsec);
    const CycleMarks& m = marks();
    const long long arrived = arrivals != nullptr ? arrivals->take(stamp) : 0;
    const long long read =
        m.keyReturned != 0 && (m.showEntered == 0 || m.keyReturned <= m.showEntered) ? m.keyReturned
                                                                                     : m.start;
    auto after_us = [&](long long at) {
        return at > 0 ? (at - static_cast<long long>(stamp)) / 1000 : -1LL;
    };
    std::printf("shown %lu %lu %lld %lld %llu %llu %lld %lld %lld\n",
                static_cast<unsigned long>(after.sec), static_cast<unsigned long>(after.nsec),
                end / 1000000000LL, end % 1000000000LL, overwritten, refused, after_us(arrived),
                after_us(read), after_us(m.showEntered));
    // One line per shown value, a few hundred a second at most: flushing each keeps the reader's
    // view current at no measurable cost beside a show.
    std::fflush(stdout);
}

}  // namespace benchprobe
