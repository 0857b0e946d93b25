// The recording file: what a recorder appends and a reader finds again. The layout is described
// in docs/recording.md; every multi-octet field of our own is little-endian whatever the host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace recording {

// The version this code writes, and the newest it reads.
constexpr std::uint16_t kVersion = 1;

// Caps that keep a hostile or damaged file from making a reader allocate without end.
constexpr std::size_t kMaxPorts = 1024;
constexpr std::size_t kMaxNameBytes = 1024;
constexpr std::uint32_t kMaxValueBytes = 1u << 30;

// A file that cannot be read at all (or written, for the writer): the message is one line.
struct RecordingError : std::runtime_error {
    explicit RecordingError(const std::string& what) : std::runtime_error(what) {}
};

// One recorded port: where the values came from ("Camera0:stereo") and their data-type name as
// the port advertised it ("TimedStereoData" or "IDL:QOR/TimedStereoData:1.0").
struct RecordedPort {
    std::string name;
    std::string type;
};

// Where one value lies in the file and what it is.
struct RecordedValue {
    std::uint64_t offset = 0;     // of the value's record head
    std::uint64_t arrivalNs = 0;  // arrival time, nanoseconds since the epoch
    std::uint32_t length = 0;     // CDR octets
    std::uint16_t port = 0;       // index into the file's ports
    bool littleEndian = true;     // byte order of the CDR octets
};

// Sizes of the file's parts, in octets.
constexpr std::size_t kMagicBytes = 8;
constexpr std::size_t kRecordHeadBytes = 24;
constexpr std::size_t kIndexHeadBytes = 16;
constexpr std::size_t kIndexEntryBytes = 24;
constexpr std::size_t kIndexTailBytes = 8;
constexpr std::size_t kTrailerBytes = 24;

extern const unsigned char kMagic[kMagicBytes];
constexpr std::uint32_t kValueTag = 0x4c415651u;    // "QVAL"
constexpr std::uint32_t kIndexTag = 0x58444951u;    // "QIDX"
constexpr std::uint32_t kTrailerTag = 0x444e4551u;  // "QEND"

// CRC-32 (the polynomial of zlib and PNG), continued from `crc` over `size` octets.
std::uint32_t crc32(const void* data, std::size_t size, std::uint32_t crc = 0);

// Octets of padding after a value of `length` octets, so that every record starts 8-aligned.
inline std::size_t paddingAfter(std::uint64_t length) {
    return static_cast<std::size_t>((8 - length % 8) % 8);
}

// Little-endian fields in a byte buffer.
void putU16(std::vector<unsigned char>& out, std::uint16_t v);
void putU32(std::vector<unsigned char>& out, std::uint32_t v);
void putU64(std::vector<unsigned char>& out, std::uint64_t v);
std::uint16_t getU16(const unsigned char* p);
std::uint32_t getU32(const unsigned char* p);
std::uint64_t getU64(const unsigned char* p);

// The 24-octet head of a value record, CRC included.
std::vector<unsigned char> recordHead(const RecordedValue& value);
// Parses a record head at `offset`; false when its tag or CRC is wrong.
bool parseRecordHead(const unsigned char* head, std::uint64_t offset, RecordedValue& value);

}  // namespace recording
