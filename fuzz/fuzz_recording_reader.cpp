// A recording file of arbitrary bytes: the reader's header, index and scan, then reading and
// decoding every value it finds as its port's type.
#include <sys/mman.h>
#include <unistd.h>

#include <StereoCameraService.hh>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "FuzzSupport.h"
#include "RecordedType.h"
#include "RecordingReader.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const int fd = ::memfd_create("recording", MFD_CLOEXEC);
    FUZZ_CHECK(fd >= 0);
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = ::write(fd, data + done, size - done);
        FUZZ_CHECK(n > 0);
        done += static_cast<std::size_t>(n);
    }
    try {
        const recording::RecordingReader file(fd);
        std::vector<unsigned char> cdr;
        QOR::TimedStereoData map;
        QOR::TimedImageData frame;
        std::uint64_t next = 0;
        for (const recording::RecordedValue& v : file.values()) {
            FUZZ_CHECK(v.port < file.ports().size());
            FUZZ_CHECK(v.offset >= next && v.offset + 24 + v.length <= size);
            next = v.offset + 24 + v.length;
            if (!file.read(v, cdr)) continue;
            FUZZ_CHECK(cdr.size() == v.length);
            const recording::ValueKind kind = recording::kindOfType(file.ports()[v.port].type);
            if (kind == recording::ValueKind::DepthMap)
                recording::decodeRecorded(cdr, v.littleEndian, map);
            else if (kind == recording::ValueKind::Frame)
                recording::decodeRecorded(cdr, v.littleEndian, frame);
        }
    } catch (const recording::RecordingError&) {
    }
    ::close(fd);
    return 0;
}
