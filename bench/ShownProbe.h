// The benchmark's view into a viewer's display cycle, linked only into the probed bench builds of
// the viewers (MorvaneBench, KalethBench): production programs carry none of it.
//
// A probed viewer is a subclass of the production component that runs the production onExecute
// unchanged and then compares the bound variable's time stamp with the one before the cycle. A
// changed stamp means the cycle read a new value and went on to show it; the cycle's end is
// then the end of the show, after the key wait that lets the window paint. For each such cycle one
// line goes to standard output:
//   shown <tm.sec> <tm.nsec> <end sec> <end nsec> <overwritten> <refused>
// with the end on CLOCK_REALTIME (the producer stamps tm with the same clock on write) and the
// port ring's running counts of values overwritten and refused (0 and 0 on an installed
// OpenRTM-aist, which keeps no such counts).
#pragma once

#include <rtm/InPortBase.h>

#include <time.h>

#include <cstdio>

namespace benchprobe {

inline bool sameTime(const RTC::Time& a, const RTC::Time& b) {
    return a.sec == b.sec && a.nsec == b.nsec;
}

inline void cycleEnded(const RTC::Time& before, const RTC::Time& after,
                       const RTC::InPortBase& port) {
    if (sameTime(before, after)) return;
    timespec end{};
    ::clock_gettime(CLOCK_REALTIME, &end);
    unsigned long long overwritten = 0, refused = 0;
#if __has_include(<rtm/CdrRing.h>)
    const RTC::CdrRing::Counters c = port.counters();
    overwritten = c.overwritten;
    refused = c.refused;
#else
    // An installed OpenRTM-aist keeps no such counts: its rows show none lost in the port.
    static_cast<void>(port);
#endif
    std::printf("shown %lu %lu %lld %ld %llu %llu\n", static_cast<unsigned long>(after.sec),
                static_cast<unsigned long>(after.nsec), static_cast<long long>(end.tv_sec),
                static_cast<long>(end.tv_nsec), overwritten, refused);
    // One line per shown value, a few hundred a second at most: flushing each keeps the reader's
    // view current at no measurable cost beside a show.
    std::fflush(stdout);
}

}  // namespace benchprobe
