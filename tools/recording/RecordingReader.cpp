#include "RecordingReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace recording {

namespace {

// The fixed part of the header: magic, version, flags, header size, creation time, port count.
constexpr std::size_t kFixedHeaderBytes = 28;
constexpr std::uint32_t kMaxHeaderBytes = 4u << 20;

}  // namespace

RecordingReader::RecordingReader(const std::string& path) : m_name(path) {
    m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0) throw RecordingError("cannot open " + path + ": " + std::strerror(errno));
    m_ownsFd = true;
    try {
        load();
    } catch (...) {
        ::close(m_fd);
        throw;
    }
}

RecordingReader::RecordingReader(int fd) : m_fd(fd), m_name("the file") { load(); }

RecordingReader::~RecordingReader() {
    if (m_ownsFd) ::close(m_fd);
}

bool RecordingReader::readAt(std::uint64_t offset, void* to, std::size_t size) const {
    auto* p = static_cast<char*>(to);
    while (size > 0) {
        const ssize_t n = ::pread(m_fd, p, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        offset += static_cast<std::uint64_t>(n);
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

void RecordingReader::load() {
    struct stat st;
    if (::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode))
        throw RecordingError(m_name + " is not a regular file");
    m_fileBytes = static_cast<std::uint64_t>(st.st_size);
    unsigned char fixed[kFixedHeaderBytes];
    const std::size_t have =
        static_cast<std::size_t>(m_fileBytes < kFixedHeaderBytes ? m_fileBytes : kFixedHeaderBytes);
    if (have < kMagicBytes || !readAt(0, fixed, have) ||
        std::memcmp(fixed, kMagic, kMagicBytes) != 0)
        throw RecordingError(m_name + " is not a recording");
    if (have < kFixedHeaderBytes)
        throw RecordingError(m_name + " is a recording cut short inside its header");
    m_version = getU16(fixed + 8);
    if (m_version > kVersion)
        throw RecordingError(m_name + " is a recording of format version " +
                             std::to_string(m_version) + ", newer than this reader's " +
                             std::to_string(kVersion));
    const std::uint32_t headerBytes = getU32(fixed + 12);
    if (m_version == 0 || headerBytes < kFixedHeaderBytes + 4 || headerBytes > kMaxHeaderBytes ||
        headerBytes % 8 != 0)
        throw RecordingError("the header of " + m_name + " is damaged");
    if (headerBytes > m_fileBytes)
        throw RecordingError(m_name + " is a recording cut short inside its header");
    std::vector<unsigned char> header(headerBytes);
    if (!readAt(0, header.data(), header.size()) ||
        getU32(header.data() + headerBytes - 4) != crc32(header.data(), headerBytes - 4))
        throw RecordingError("the header of " + m_name + " is damaged");
    m_createdNs = getU64(fixed + 16);
    const std::uint32_t ports = getU32(fixed + 24);
    if (ports == 0 || ports > kMaxPorts)
        throw RecordingError("the header of " + m_name + " is damaged");
    std::size_t at = kFixedHeaderBytes;
    const std::size_t end = headerBytes - 4;
    for (std::uint32_t i = 0; i < ports; ++i) {
        RecordedPort port;
        for (std::string* text : {&port.name, &port.type}) {
            if (at + 2 > end) throw RecordingError("the header of " + m_name + " is damaged");
            const std::size_t n = getU16(header.data() + at);
            at += 2;
            if (n > kMaxNameBytes || at + n > end)
                throw RecordingError("the header of " + m_name + " is damaged");
            text->assign(reinterpret_cast<const char*>(header.data() + at), n);
            at += n;
        }
        m_ports.push_back(port);
    }
    m_firstRecord = headerBytes;

    std::string why;
    if (loadIndex(why)) return;
    m_values.clear();
    const std::string stop = scan();
    m_problem = (why.empty() ? m_name + " has no index (it was cut short)"
                             : "the index of " + m_name + " is damaged (" + why + ")") +
                ": " + std::to_string(m_values.size()) + " whole values read by scanning" +
                (stop.empty() ? "" : "; " + stop + ", nothing after it is read");
}

// False with an empty `why` when the file ends without a trailer, with a reason when the
// trailer or index are there but unsound.
bool RecordingReader::loadIndex(std::string& why) {
    if (m_fileBytes < m_firstRecord + kIndexHeadBytes + kIndexTailBytes + kTrailerBytes)
        return false;
    unsigned char trailer[kTrailerBytes];
    if (!readAt(m_fileBytes - kTrailerBytes, trailer, sizeof trailer)) return false;
    if (getU32(trailer) != kTrailerTag || getU32(trailer + 20) != kTrailerTag) return false;
    if (getU32(trailer + 16) != crc32(trailer, 16)) {
        why = "its trailer does not check";
        return false;
    }
    const std::uint64_t indexAt = getU64(trailer + 8);
    const std::uint64_t room = m_fileBytes - kTrailerBytes;
    if (indexAt < m_firstRecord || indexAt % 8 != 0 ||
        indexAt > room - kIndexHeadBytes - kIndexTailBytes) {
        why = "it points outside the file";
        return false;
    }
    // Every indexed value has at least a record head before the index: a forged trailer cannot
    // make the index larger than that.
    const std::uint64_t entriesBytes = room - kIndexHeadBytes - kIndexTailBytes - indexAt;
    if (entriesBytes % kIndexEntryBytes != 0 ||
        entriesBytes / kIndexEntryBytes > (indexAt - m_firstRecord) / kRecordHeadBytes) {
        why = "its size is wrong";
        return false;
    }
    std::vector<unsigned char> index(static_cast<std::size_t>(room - indexAt));
    if (!readAt(indexAt, index.data(), index.size())) {
        why = "it cannot be read";
        return false;
    }
    const std::uint64_t count = getU64(index.data() + 8);
    const std::size_t checked = index.size() - kIndexTailBytes;
    if (getU32(index.data()) != kIndexTag || count != entriesBytes / kIndexEntryBytes ||
        getU32(index.data() + checked) != crc32(index.data(), checked)) {
        why = "it does not check";
        return false;
    }
    std::uint64_t next = m_firstRecord;
    m_values.reserve(static_cast<std::size_t>(count));
    for (std::uint64_t i = 0; i < count; ++i) {
        const unsigned char* e = index.data() + kIndexHeadBytes + i * kIndexEntryBytes;
        RecordedValue v;
        v.offset = getU64(e);
        v.arrivalNs = getU64(e + 8);
        v.length = getU32(e + 16);
        v.port = getU16(e + 20);
        v.littleEndian = (e[22] & 1u) != 0;
        if (v.offset < next || v.offset % 8 != 0 || v.port >= m_ports.size() ||
            v.length > kMaxValueBytes || (e[22] & ~1u) != 0 || e[23] != 0 ||
            v.offset + kRecordHeadBytes + v.length + paddingAfter(v.length) > indexAt) {
            why = "entry " + std::to_string(i) + " is unsound";
            return false;
        }
        next = v.offset + kRecordHeadBytes + v.length + paddingAfter(v.length);
        m_values.push_back(v);
    }
    return true;
}

std::string RecordingReader::scan() {
    std::uint64_t at = m_firstRecord;
    unsigned char head[kRecordHeadBytes];
    while (at + kRecordHeadBytes <= m_fileBytes && readAt(at, head, sizeof head)) {
        RecordedValue v;
        if (!parseRecordHead(head, at, v)) {
            if (getU32(head) == kIndexTag) return "";
            return "the record at offset " + std::to_string(at) + " is damaged";
        }
        if (v.port >= m_ports.size() || v.length > kMaxValueBytes)
            return "the record at offset " + std::to_string(at) + " is damaged";
        if (at + kRecordHeadBytes + v.length > m_fileBytes) return "";
        m_values.push_back(v);
        at += kRecordHeadBytes + v.length + paddingAfter(v.length);
    }
    return "";
}

bool RecordingReader::read(const RecordedValue& value, std::vector<unsigned char>& cdr,
                           std::string* why) const {
    unsigned char head[kRecordHeadBytes];
    RecordedValue found;
    if (!readAt(value.offset, head, sizeof head) || !parseRecordHead(head, value.offset, found) ||
        found.length != value.length || found.port != value.port ||
        found.littleEndian != value.littleEndian || found.arrivalNs != value.arrivalNs) {
        if (why != nullptr)
            *why = "the record at offset " + std::to_string(value.offset) + " is damaged";
        return false;
    }
    cdr.resize(value.length);
    if (!readAt(value.offset + kRecordHeadBytes, cdr.data(), cdr.size())) {
        if (why != nullptr)
            *why = "the value at offset " + std::to_string(value.offset) + " is cut short";
        return false;
    }
    return true;
}

}  // namespace recording
