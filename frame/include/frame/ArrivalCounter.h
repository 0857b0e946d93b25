// Counts the values that reach a component's input port, through the middleware's own listener
// on received data, so that a viewer can say how many arrive; the same code builds against our
// middleware and against OpenRTM-aist 1.2 and 2.0.
#pragma once

#include <rtm/InPortBase.h>

#include <cstddef>
#include <memory>
#include <string>

namespace frame {

class ArrivalCounter {
public:
    struct Totals {
        unsigned long long values = 0;  // since the counter was attached
        unsigned long long bytes = 0;   // their CDR bytes
        std::string interfaceType;      // of the connection the last value came through
    };

    ArrivalCounter();
    ArrivalCounter(const ArrivalCounter&) = delete;
    ArrivalCounter& operator=(const ArrivalCounter&) = delete;

    // Registers a listener on `port` for every value it receives; the port owns the listener,
    // which keeps what it counts alive beside this object. Once only; later calls do nothing.
    void attach(RTC::InPortBase& port);
    // Any thread.
    Totals totals() const;

    // Values that reached `port` and wait in its buffers to be read. The component's thread only,
    // as for isNew() and read().
    static std::size_t unread(RTC::InPortBase& port);

    // Shared with the listener the port owns.
    struct Counts;

private:
    std::shared_ptr<Counts> m_counts;
    bool m_attached = false;
};

}  // namespace frame
