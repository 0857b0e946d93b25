// rtctl's probe: an input port of rtctl's own, connected to an output port of any component, that
// measures what arrives there without decoding it: the rate, the delay from each value's time
// stamp, the bandwidth.
#pragma once

#include <rtm/RTC.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

namespace rtctl {

// What one line reports.
enum class Measure { Rate, Delay, Bandwidth };

// The figures of the values that arrived within one reporting interval.
struct ProbeFigures {
    double seconds = 0;             // the interval's length
    unsigned long long values = 0;  // values at least a time stamp long
    unsigned long long gaps = 0;    // intervals between two arrivals that ended in it
    double gapMean = 0, gapMin = 0, gapMax = 0, gapDev = 0;  // seconds
    double delayMean = 0, delayMin = 0, delayMax = 0, delayDev = 0;
    unsigned long long bytes = 0;  // CDR bytes of all values, short ones included
    unsigned long long shortValues = 0;
};

// One line of figures, without a newline.
std::string describe(Measure measure, const ProbeFigures& figures);

// The time stamp at the start of a timed value's CDR bytes: tm.sec and tm.nsec, two unsigned
// longs at offsets 0 and 4 in the connection's byte order. False when the bytes are shorter.
bool timeStampOf(const unsigned char* bytes, std::size_t length, bool littleEndian,
                 double& seconds);

class Probe {
public:
    // `poa` holds the probe's objects; `settings` are connector properties given as KEY=VALUE.
    Probe(CORBA::ORB_ptr orb, PortableServer::POA_ptr poa, std::vector<std::string> settings);
    ~Probe();
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;

    // Called with every value as it arrives, on the ORB thread that received it: its CDR bytes,
    // their byte order and the arrival time in nanoseconds since the epoch. Set before connect().
    using ValueSink = std::function<void(const unsigned char* cdr, std::size_t length,
                                         bool littleEndian, std::uint64_t arrivalNs)>;
    void setValueSink(ValueSink sink);

    // Connects the probe to the output port `target` (of data type `dataType`, named `name`).
    // Throws std::runtime_error with the reason when the port refuses.
    void connect(RTC::PortService_ptr target, const std::string& name, const std::string& dataType);
    // Ends the connection made by connect(); a failure is reported on `err`. Idempotent.
    void disconnect(std::ostream& err);

    // The figures since the previous call, and the values counted so far in all.
    ProbeFigures take();
    unsigned long long total() const;

    struct State;

private:
    CORBA::ORB_var m_orb;
    PortableServer::POA_var m_poa;
    std::vector<std::string> m_settings;
    std::shared_ptr<State> m_state;
    RTC::PortService_var m_target;
    std::string m_connectorId;
    std::vector<PortableServer::ObjectId_var> m_objects;  // active in m_poa
};

}  // namespace rtctl
