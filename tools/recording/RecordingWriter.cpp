#include "RecordingWriter.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace recording {

namespace {

const unsigned char kZeros[8] = {};

std::string errnoText(int error) { return std::strerror(error); }

}  // namespace

RecordingWriter::RecordingWriter(const std::string& path, const std::vector<RecordedPort>& ports,
                                 std::uint64_t maxBytes, std::uint64_t createdNs)
    : m_path(path), m_ports(ports.size()), m_maxBytes(maxBytes) {
    if (ports.empty() || ports.size() > kMaxPorts)
        throw RecordingError("a recording holds 1 to " + std::to_string(kMaxPorts) + " ports");
    std::vector<unsigned char> header(kMagic, kMagic + kMagicBytes);
    putU16(header, kVersion);
    putU16(header, 0);
    putU32(header, 0);  // the header's size, filled in below
    putU64(header, createdNs);
    putU32(header, static_cast<std::uint32_t>(ports.size()));
    for (const RecordedPort& p : ports) {
        for (const std::string* text : {&p.name, &p.type}) {
            if (text->size() > kMaxNameBytes)
                throw RecordingError("a port name or type is longer than " +
                                     std::to_string(kMaxNameBytes) + " bytes");
            putU16(header, static_cast<std::uint16_t>(text->size()));
            header.insert(header.end(), text->begin(), text->end());
        }
    }
    header.resize(header.size() + paddingAfter(header.size() + 4));
    const std::uint32_t size = static_cast<std::uint32_t>(header.size() + 4);
    for (int i = 0; i < 4; ++i) header[12 + i] = static_cast<unsigned char>(size >> (8 * i));
    putU32(header, crc32(header.data(), header.size()));
    if (m_maxBytes > 0 && header.size() + closingBytes(0) > m_maxBytes)
        throw RecordingError("the size limit does not leave room for the header");

    m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (m_fd < 0) throw RecordingError("cannot create " + path + ": " + errnoText(errno));
    const void* parts[] = {header.data()};
    const std::size_t sizes[] = {header.size()};
    std::string why;
    if (!writeAt(0, parts, sizes, 1, why)) {
        ::close(m_fd);
        ::unlink(path.c_str());
        m_fd = -1;
        throw RecordingError("cannot write " + path + ": " + why);
    }
    m_size = header.size();
}

RecordingWriter::~RecordingWriter() { close(); }

std::uint64_t RecordingWriter::closingBytes(std::size_t values) const {
    return kIndexHeadBytes + kIndexEntryBytes * static_cast<std::uint64_t>(values) +
           kIndexTailBytes + kTrailerBytes;
}

bool RecordingWriter::writeAt(std::uint64_t offset, const void* const* parts,
                              const std::size_t* sizes, int n, std::string& why) {
    iovec io[4];
    for (int i = 0; i < n; ++i) {
        io[i].iov_base = const_cast<void*>(parts[i]);
        io[i].iov_len = sizes[i];
    }
    int first = 0;
    while (first < n) {
        const ssize_t done = ::pwritev(m_fd, io + first, n - first, static_cast<off_t>(offset));
        if (done < 0) {
            if (errno == EINTR) continue;
            why = errno == ENOSPC ? "the disk is full" : errnoText(errno);
            return false;
        }
        if (done == 0) {
            why = "the disk is full";
            return false;
        }
        offset += static_cast<std::uint64_t>(done);
        std::size_t left = static_cast<std::size_t>(done);
        while (first < n && left >= io[first].iov_len) left -= io[first++].iov_len;
        if (first < n) {
            io[first].iov_base = static_cast<char*>(io[first].iov_base) + left;
            io[first].iov_len -= left;
        }
    }
    return true;
}

RecordingWriter::Result RecordingWriter::append(std::size_t port, const void* cdr,
                                                std::size_t length, bool littleEndian,
                                                std::uint64_t arrivalNs) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_fd < 0 || !m_endReason.empty()) return Result::Ended;
    if (port >= m_ports) {
        end("a value came for port " + std::to_string(port) + ", which the file does not hold");
        return Result::Ended;
    }
    if (length > kMaxValueBytes) {
        end("a value of " + std::to_string(length) + " bytes is larger than a recording takes");
        return Result::Ended;
    }
    RecordedValue value;
    value.offset = m_size;
    value.arrivalNs = arrivalNs;
    value.length = static_cast<std::uint32_t>(length);
    value.port = static_cast<std::uint16_t>(port);
    value.littleEndian = littleEndian;
    const std::size_t pad = paddingAfter(length);
    const std::uint64_t after = m_size + kRecordHeadBytes + length + pad;
    if (m_maxBytes > 0 && after + closingBytes(m_index.size() + 1) > m_maxBytes) {
        end("the size limit of " + std::to_string(m_maxBytes) + " bytes is reached");
        return Result::Ended;
    }
    const std::vector<unsigned char> head = recordHead(value);
    const void* parts[] = {head.data(), cdr, kZeros};
    const std::size_t sizes[] = {head.size(), length, pad};
    std::string why;
    if (!writeAt(m_size, parts, sizes, 3, why)) {
        // Whatever part of the value reached the disk is cut off when the file is closed.
        end(why);
        return Result::Ended;
    }
    m_size = after;
    m_index.push_back(value);
    return Result::Written;
}

void RecordingWriter::end(const std::string& why) {
    if (m_endReason.empty()) m_endReason = why;
}

void RecordingWriter::close() {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_fd < 0) return;
    std::vector<unsigned char> index;
    index.reserve(closingBytes(m_index.size()));
    putU32(index, kIndexTag);
    putU32(index, 0);
    putU64(index, m_index.size());
    for (const RecordedValue& v : m_index) {
        putU64(index, v.offset);
        putU64(index, v.arrivalNs);
        putU32(index, v.length);
        putU16(index, v.port);
        index.push_back(v.littleEndian ? 1 : 0);
        index.push_back(0);
    }
    putU32(index, crc32(index.data(), index.size()));
    putU32(index, 0);
    const std::size_t trailerAt = index.size();
    putU32(index, kTrailerTag);
    putU32(index, 0);
    putU64(index, m_size);
    putU32(index, crc32(index.data() + trailerAt, 16));
    putU32(index, kTrailerTag);
    const void* parts[] = {index.data()};
    const std::size_t sizes[] = {index.size()};
    std::string why;
    if (writeAt(m_size, parts, sizes, 1, why))
        m_size += index.size();
    else
        end(why + " (the file has no index)");
    // Cuts off a value or index that reached the disk only in part: the trailer must end the
    // file, or without one the last whole value must.
    if (::ftruncate(m_fd, static_cast<off_t>(m_size)) != 0)
        end("cannot cut " + m_path + " after its last whole value: " + errnoText(errno));
    if (::close(m_fd) != 0) end("closing " + m_path + ": " + errnoText(errno));
    m_fd = -1;
}

std::string RecordingWriter::endReason() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_endReason;
}

std::uint64_t RecordingWriter::values() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_index.size();
}

std::uint64_t RecordingWriter::bytes() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_size;
}

}  // namespace recording
