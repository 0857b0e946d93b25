#include "Recording.h"

#include <array>

namespace recording {

const unsigned char kMagic[kMagicBytes] = {0x89, 'Q', 'O', 'R', 'R', 'E', 'C', '\n'};

namespace {

std::array<std::uint32_t, 256> makeCrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

}  // namespace

std::uint32_t crc32(const void* data, std::size_t size, std::uint32_t crc) {
    static const std::array<std::uint32_t, 256> table = makeCrcTable();
    const auto* p = static_cast<const unsigned char*>(data);
    crc = ~crc;
    for (std::size_t i = 0; i < size; ++i) crc = table[(crc ^ p[i]) & 0xffu] ^ (crc >> 8);
    return ~crc;
}

void putU16(std::vector<unsigned char>& out, std::uint16_t v) {
    for (int i = 0; i < 2; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

void putU32(std::vector<unsigned char>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

void putU64(std::vector<unsigned char>& out, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

std::uint16_t getU16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t getU32(const unsigned char* p) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

std::uint64_t getU64(const unsigned char* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

std::vector<unsigned char> recordHead(const RecordedValue& value) {
    std::vector<unsigned char> head;
    head.reserve(kRecordHeadBytes);
    putU32(head, kValueTag);
    putU16(head, value.port);
    head.push_back(value.littleEndian ? 1 : 0);
    head.push_back(0);
    putU64(head, value.arrivalNs);
    putU32(head, value.length);
    putU32(head, crc32(head.data(), head.size()));
    return head;
}

bool parseRecordHead(const unsigned char* head, std::uint64_t offset, RecordedValue& value) {
    if (getU32(head) != kValueTag || getU32(head + 20) != crc32(head, 20)) return false;
    if ((head[6] & ~1u) != 0 || head[7] != 0) return false;
    value.offset = offset;
    value.port = getU16(head + 4);
    value.littleEndian = (head[6] & 1u) != 0;
    value.arrivalNs = getU64(head + 8);
    value.length = getU32(head + 16);
    return true;
}

}  // namespace recording
