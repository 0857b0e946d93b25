// The stages every data type goes through on its way from a producer to a viewer's bound variable:
// encoding (by an output port, and by hand into a memory stream) and reading through an input port.
// The including file includes the type's generated header first: the port templates need its Any
// operators.
#pragma once

#include <rtm/InPort.h>
#include <rtm/OutPort.h>
#include <rtm/ShmSegment.h>

#include <cstring>
#include <string>
#include <vector>

#include "Harness.h"

namespace bench {

using CdrBytes = std::vector<CORBA::Octet>;

// The value's CDR encoding from a stream start in little-endian order, as an output port makes it.
template <class T>
CdrBytes encodeCdr(const T& value) {
    cdrMemoryStream s;
    s.setByteSwapFlag(true);
    value >>= s;
    const auto* p = static_cast<const CORBA::Octet*>(s.bufPtr());
    return CdrBytes(p, p + s.bufSize());
}

// Makes `out` own a fresh copy of `bytes`, as a connection hands a received value to a port, which
// adopts the buffer.
inline void ownedCopy(const CdrBytes& bytes, OpenRTM::CdrData& out) {
    const auto n = static_cast<CORBA::ULong>(bytes.size());
    CORBA::Octet* buffer = OpenRTM::CdrData::allocbuf(n);
    std::memcpy(buffer, bytes.data(), n);
    out.replace(n, n, buffer, true);
}

// An input port whose buffer can be emptied without decoding, as by a reader that keeps up.
template <class T>
class DrainableInPort : public RTC::InPort<T> {
public:
    DrainableInPort(const char* name, T& value) : RTC::InPort<T>(name, value) {}
    // Takes the oldest unread value; its length is then lastLength().
    bool drain() { return this->takeOldest(m_slot); }
    CORBA::ULong lastLength() const { return m_slot.data.length(); }

private:
    RTC::CdrSlot m_slot;
};

// Encoding on the producer's side: the output port's write() alone and with one connection to an
// input port of the same process, and the generated encoder into a fresh and into a reused stream.
template <class T>
void encodingStages(Report& report, const std::string& size, const T& source,
                    MemcpyBaseline& baseline) {
    const Options& o = report.options();
    const CORBA::ULong expected = static_cast<CORBA::ULong>(baseline.bytes());

    const std::string alone = "a. OutPort::write(), no connection";
    if (report.wanted(alone)) {
        T value = source;
        RTC::OutPort<T> out("out", value);
        bool ok = true;
        const Measurement m = measure(o, [&] { ok = out.write() && ok; }, baseline);
        require(ok, alone + ": write() failed");
        report.add({alone, size, m, baseline.bytes()});
    }

    const std::string connected = "a. OutPort::write(), 1 local connection";
    if (report.wanted(connected)) {
        T value = source;
        T received;
        RTC::OutPort<T> out("out", value);
        DrainableInPort<T> in("in", received);
        out.connectLocal(in);
        // Once round the input port's ring (64 slots) and one more before measuring, so that every
        // slot has been used: from then on a write is in its steady state.
        const CORBA::ULong ringRound = 65;
        for (CORBA::ULong i = 0; i < ringRound; ++i) {
            out.write();
            in.drain();
        }
        bool ok = true;
        const Measurement m =
            measure(o, [&] { ok = out.write() && ok; }, baseline, [&] { in.drain(); });
        require(ok && in.drain() && in.lastLength() == expected && !in.isNew(),
                connected + ": the input port did not get the value's bytes");
        report.add({connected, size, m, baseline.bytes()});
    }

    const std::string fresh = "a. value >>= fresh cdrMemoryStream";
    if (report.wanted(fresh)) {
        CORBA::ULong length = 0;
        const Measurement m = measure(
            o,
            [&] {
                cdrMemoryStream s;
                s.setByteSwapFlag(true);
                source >>= s;
                clobber(s.bufPtr());
                length = s.bufSize();
            },
            baseline);
        require(length == expected, fresh + ": wrong encoded length");
        report.add({fresh, size, m, baseline.bytes()});
    }

    const std::string reused = "a. value >>= reused cdrMemoryStream";
    if (report.wanted(reused)) {
        cdrMemoryStream s;
        s.setByteSwapFlag(true);
        const Measurement m = measure(
            o,
            [&] {
                s.rewindPtrs();
                source >>= s;
                clobber(s.bufPtr());
            },
            baseline);
        require(s.bufSize() == expected, reused + ": wrong encoded length");
        report.add({reused, size, m, baseline.bytes()});
    }

    // The shared-memory transport's two copies: the writer encodes straight into its segment, the
    // reader copies the value out of it into a port buffer (reused, as the port's ring hands one
    // back).
    const std::string intoSegment = "a. value >>= shared-memory segment";
    const std::string outOfSegment = "b. segment -> port buffer (pread)";
    if (report.wanted(intoSegment) || report.wanted(outOfSegment)) {
        RTC::SegmentWriter segment(RTC::newConnectorId());
        std::string error;
        require(segment.create(expected + RTC::kSegmentHeaderSize, error), "segment: " + error);
        std::size_t length = 0;
        const Measurement in = measure(
            o,
            [&] {
                RTC::SegmentStream stream(segment.valueArea(), segment.valueCapacity(), true);
                source >>= stream;
                length = stream.length();
            },
            baseline);
        require(length == expected, intoSegment + ": wrong encoded length");
        if (report.wanted(intoSegment)) report.add({intoSegment, size, in, baseline.bytes()});
        segment.writeHeader(length, true);
        RTC::SegmentReader reader;
        require(reader.open(segment.name(), segment.size(), error), "segment: " + error);
        OpenRTM::CdrData buffer;
        bool ok = true;
        const Measurement out =
            measure(o, [&] { ok = reader.read(buffer, true, error) && ok; }, baseline);
        require(ok && buffer.length() == expected, outOfSegment + ": " + error);
        if (report.wanted(outOfSegment)) report.add({outOfSegment, size, out, baseline.bytes()});
    }
}

// Reading on the viewer's side: read() into the bound variable with the value already in the port,
// put (adopting a buffer copied outside the timed region) and read() together, and, for
// comparison, the generated decoder into a value constructed afresh. `same(decoded)` tells whether
// a decoded value equals the source.
template <class T, class Same>
void readStages(Report& report, const std::string& size, const CdrBytes& cdr,
                MemcpyBaseline& baseline, Same same) {
    const Options& o = report.options();

    const std::string readOnly = "b. InPort::read(), value put before";
    if (report.wanted(readOnly)) {
        T bound;
        RTC::InPort<T> in("in", bound);
        OpenRTM::CdrData incoming;
        bool ok = true;
        const Measurement m = measure(
            o, [&] { ok = in.read() && ok; }, baseline,
            [&] {
                ownedCopy(cdr, incoming);
                ok = in.put(incoming, true) == OpenRTM::PORT_OK && ok;
            });
        require(ok && same(bound), readOnly + ": the bound variable does not hold the value");
        report.add({readOnly, size, m, baseline.bytes()});
    }

    const std::string putRead = "b. InPort put(adopt) + read()";
    if (report.wanted(putRead)) {
        T bound;
        RTC::InPort<T> in("in", bound);
        OpenRTM::CdrData incoming;
        bool ok = true;
        const Measurement m = measure(
            o,
            [&] {
                ok = in.put(incoming, true) == OpenRTM::PORT_OK && ok;
                ok = in.read() && ok;
            },
            baseline, [&] { ownedCopy(cdr, incoming); });
        require(ok && same(bound), putRead + ": the bound variable does not hold the value");
        report.add({putRead, size, m, baseline.bytes()});
    }

    const std::string freshValue = "b. value <<= stream, fresh value";
    if (report.wanted(freshValue)) {
        const auto decodeFresh = [&cdr](T& value) {
            cdrMemoryStream s(const_cast<CORBA::Octet*>(cdr.data()), cdr.size());
            s.setByteSwapFlag(true);
            value <<= s;
        };
        const Measurement m = measure(
            o,
            [&] {
                T value;
                decodeFresh(value);
                clobber(&value);
            },
            baseline);
        T check;
        decodeFresh(check);
        require(same(check), freshValue + ": the decoded value differs");
        report.add({freshValue, size, m, baseline.bytes()});
    }
}

// A viewer's whole cycle, with the value put into its port before, outside the timed region:
// `cycle(in, bound, out)` reads the port and makes what the viewer shows into `out`; `shows(out)`
// tells, once afterwards, whether that is right. `goal` as in Row (0 for none).
template <class T, class Out, class Cycle, class Shows>
void viewerStage(Report& report, const std::string& row, const std::string& size,
                 const char* portName, const CdrBytes& cdr, MemcpyBaseline& baseline, double goal,
                 Cycle cycle, Shows shows) {
    if (!report.wanted(row)) return;
    T bound;
    RTC::InPort<T> in(portName, bound);
    OpenRTM::CdrData incoming;
    bool ok = true;
    const auto putValue = [&] {
        ownedCopy(cdr, incoming);
        ok = in.put(incoming, true) == OpenRTM::PORT_OK && ok;
    };
    const Measurement m = measure(
        report.options(),
        [&] {
            Out out;
            cycle(in, bound, out);
            clobber(&out);
        },
        baseline, putValue);
    putValue();
    Out out;
    cycle(in, bound, out);
    require(ok && shows(out) && !in.isNew(), row + ": what the viewer shows differs");
    report.add({row, size, m, baseline.bytes(), goal});
}

}  // namespace bench
