// The inputs of the two targets that build values directly: what a fuzz input means, read through
// FuzzedDataProvider, and the inverse, which turns a chosen value into the input that reads back
// as it (for seeds). Plain data, free of the IDL types, so that programs built against either QOR
// IDL file can use it.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

namespace cases {

// Points are capped independently of width * height, so maps with fewer or more points than
// pixels both stay cheap.
constexpr std::uint32_t kMaxPoints = 1u << 14;

// Sides at and around every limit of the depth colouring and the frame builder.
constexpr std::int32_t kEdgeSides[] = {0,    1,    -1,    2,     3,     4,        5,
                                       4096, 4097, 8192,  16383, 16384, 16385,    65536,
                                       INT32_MAX, INT32_MIN, INT32_MIN + 1};

// OpenCV's image depth codes that an image header accepts (IPL_DEPTH_*).
constexpr std::uint32_t kDepthCodes[] = {8u,          0x80000008u, 16u, 0x80000010u,
                                         0x80000020u, 32u,         64u};

struct DepthCase {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::uint32_t points = 0;
    // Depth of point i is z[i % z.size()]; all 0 when z is empty.
    std::vector<double> z;
};

struct FrameCase {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t depth = 0;
    std::int32_t nChannels = 0;
    std::int32_t imageSize = 0;
    std::int32_t origin = 0;
    std::int32_t widthStep = 0;
    std::vector<std::uint8_t> imgData;
};

inline std::int32_t readSide(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: return in.ConsumeIntegralInRange<std::int32_t>(-2, 64);
    case 1: return in.PickValueInArray(kEdgeSides);
    default: return in.ConsumeIntegral<std::int32_t>();
    }
}

inline DepthCase readDepthCase(FuzzedDataProvider& in) {
    DepthCase c;
    c.width = readSide(in);
    c.height = readSide(in);
    if (in.ConsumeBool()) {
        const long long pixels = static_cast<long long>(c.width) * c.height;
        c.points = pixels <= 0 ? 0 : pixels > kMaxPoints ? kMaxPoints : static_cast<std::uint32_t>(pixels);
    } else {
        c.points = in.ConsumeIntegralInRange<std::uint32_t>(0, kMaxPoints);
    }
    // Raw bit patterns, so NaNs of every payload, infinities and denormals all occur.
    const std::vector<std::uint8_t> rest = in.ConsumeRemainingBytes<std::uint8_t>();
    c.z.resize(rest.size() / sizeof(double));
    if (!c.z.empty()) std::memcpy(c.z.data(), rest.data(), c.z.size() * sizeof(double));
    return c;
}

inline FrameCase readFrameCase(FuzzedDataProvider& in) {
    FrameCase c;
    c.width = readSide(in);
    c.height = readSide(in);
    c.depth = in.ConsumeIntegralInRange<int>(0, 3) < 3
                  ? static_cast<std::int32_t>(in.PickValueInArray(kDepthCodes))
                  : in.ConsumeIntegral<std::int32_t>();
    c.nChannels = in.ConsumeIntegralInRange<int>(0, 3) < 3 ? in.ConsumeIntegralInRange<std::int32_t>(-1, 6)
                                                          : in.ConsumeIntegral<std::int32_t>();
    const int sizeMode = in.ConsumeIntegralInRange<int>(0, 3);
    if (sizeMode == 1) c.imageSize = in.ConsumeIntegralInRange<std::int32_t>(-4, 65536);
    if (sizeMode >= 2) c.imageSize = in.ConsumeIntegral<std::int32_t>();
    c.origin = in.ConsumeIntegral<std::int32_t>();
    c.widthStep = in.ConsumeIntegral<std::int32_t>();
    c.imgData = in.ConsumeRemainingBytes<std::uint8_t>();
    if (sizeMode == 0) c.imageSize = static_cast<std::int32_t>(c.imgData.size());
    return c;
}

// Builds an input the way FuzzedDataProvider takes it apart: byte arrays from the front, integers
// from the back, each integer's most significant byte last in the file.
class InputWriter {
public:
    // An integer read with ConsumeIntegralInRange<T>(min, max) as min + offset.
    void integral(std::uint64_t offset, std::uint64_t range, unsigned typeBytes) {
        unsigned bytes = 0;
        while (bytes < typeBytes && (range >> (8 * bytes)) > 0) ++bytes;
        for (unsigned i = bytes; i-- > 0;) m_tail.push_back(static_cast<std::uint8_t>(offset >> (8 * i)));
    }
    void small(int value, int max) {  // ConsumeIntegralInRange<int>(0, max)
        integral(static_cast<std::uint64_t>(value), static_cast<std::uint64_t>(max), sizeof(int));
    }
    void int32(std::int32_t value) {  // ConsumeIntegral<int32_t>()
        integral(static_cast<std::uint32_t>(value) ^ 0x80000000u, 0xffffffffu, 4);
    }
    void boolean(bool value) { integral(value ? 1 : 0, 0xff, 1); }
    void front(const void* data, std::size_t size) {
        const auto* p = static_cast<const std::uint8_t*>(data);
        m_front.insert(m_front.end(), p, p + size);
    }
    std::vector<std::uint8_t> bytes() const {
        std::vector<std::uint8_t> out = m_front;
        out.insert(out.end(), m_tail.rbegin(), m_tail.rend());
        return out;
    }

private:
    std::vector<std::uint8_t> m_front;
    std::vector<std::uint8_t> m_tail;  // in the order they are consumed
};

inline void writeSide(InputWriter& out, std::int32_t side) {
    out.small(2, 3);
    out.int32(side);
}

// `followSize` writes the point count as "width * height" rather than as a number.
inline std::vector<std::uint8_t> writeDepthCase(const DepthCase& c, bool followSize) {
    InputWriter out;
    writeSide(out, c.width);
    writeSide(out, c.height);
    out.boolean(followSize);
    if (!followSize) out.integral(c.points, kMaxPoints, 4);
    out.front(c.z.data(), c.z.size() * sizeof(double));
    return out.bytes();
}

inline std::vector<std::uint8_t> writeFrameCase(const FrameCase& c) {
    InputWriter out;
    writeSide(out, c.width);
    writeSide(out, c.height);
    out.small(3, 3);
    out.int32(c.depth);
    out.small(3, 3);
    out.int32(c.nChannels);
    const bool sizeIsLength = c.imageSize >= 0 && static_cast<std::size_t>(c.imageSize) == c.imgData.size();
    out.small(sizeIsLength ? 0 : 2, 3);
    if (!sizeIsLength) out.int32(c.imageSize);
    out.int32(c.origin);
    out.int32(c.widthStep);
    out.front(c.imgData.data(), c.imgData.size());
    return out.bytes();
}

}  // namespace cases
