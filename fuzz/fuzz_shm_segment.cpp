// The reading side of the shared-memory transport fed arbitrary segments: a real segment in
// /dev/shm holding the input's bytes, announced with its true size or a wrong one and possibly cut
// short after it was opened, then read as the input port's PortSharedMemory does and decoded into
// a depth viewer's variable.
//
// Input: flags (bit 0 little-endian, bit 1 announce a size off by the next int16, bit 2 truncate
// to the following uint16 after opening), int16, uint16, then the segment: length header and
// value. Findings: a crash (SIGBUS included), a sanitizer report, a value taken that is not
// exactly what the header announced, or a good segment refused.
#include <StereoCameraService.hh>
#include <rtm/OutPortBase.h>
#include <rtm/ShmSegment.h>

#include "DepthHarness.h"
#include "PortFeed.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

struct Fixture {
    RTC::SegmentWriter writer{RTC::newConnectorId()};
    RTC::SegmentReader reader;
    OpenRTM::CdrData value;
    QOR::TimedStereoData map;
    RTC::InPort<QOR::TimedStereoData> port{"stereo", map};
};

const std::size_t kPrefix = 5;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Fixture f;
    if (size < kPrefix) return 0;
    const bool little = (data[0] & 1) != 0;
    const bool misannounced = (data[0] & 2) != 0;
    const bool truncated = (data[0] & 4) != 0;
    const std::int16_t delta = static_cast<std::int16_t>(data[1] | (data[2] << 8));
    const std::size_t cut = static_cast<std::size_t>(data[3] | (data[4] << 8));
    const std::uint8_t* contents = data + kPrefix;
    const std::size_t n = size - kPrefix;
    const std::size_t segmentSize = std::max(n, RTC::kSegmentHeaderSize);

    std::string error;
    FUZZ_CHECK(f.writer.create(segmentSize, error));
    CORBA::Octet* start = f.writer.valueArea() - RTC::kSegmentHeaderSize;
    std::memcpy(start, contents, n);
    unsigned long long header = 0;
    for (std::size_t i = 0; i < RTC::kSegmentHeaderSize; ++i)
        header |= static_cast<unsigned long long>(start[i])
                  << (8 * (little ? i : RTC::kSegmentHeaderSize - 1 - i));

    const unsigned long long announced =
        static_cast<unsigned long long>(segmentSize) +
        static_cast<unsigned long long>(misannounced ? static_cast<long long>(delta) : 0);
    const bool opened = f.reader.open(f.writer.name(), announced, error);
    FUZZ_CHECK(opened == (announced == segmentSize));
    std::size_t holds = segmentSize;
    if (truncated) {
        const int fd = ::shm_open(f.writer.name().c_str(), O_RDWR, 0);
        FUZZ_CHECK(fd >= 0);
        FUZZ_CHECK(::ftruncate(fd, static_cast<off_t>(cut)) == 0);
        ::close(fd);
        holds = std::min(holds, cut);
    }

    const bool taken = f.reader.read(f.value, little, error);
    const bool fits = opened && header > 0 && header <= segmentSize - RTC::kSegmentHeaderSize;
    FUZZ_CHECK(taken == (fits && RTC::kSegmentHeaderSize + header <= holds));
    if (taken) {
        FUZZ_CHECK(f.value.length() == header);
        FUZZ_CHECK(std::memcmp(f.value.get_buffer(), contents + RTC::kSegmentHeaderSize,
                               static_cast<std::size_t>(header)) == 0);
        FUZZ_CHECK(f.port.put(f.value, little) == OpenRTM::PORT_OK);
        if (f.port.read()) fuzzsupport::colourAndCheck(f.map);
    }
    f.reader.close(false);
    f.writer.remove();
    return 0;
}
