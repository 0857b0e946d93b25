// Appends values, as they arrived at a port, to a new recording file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "Recording.h"

namespace recording {

class RecordingWriter {
public:
    enum class Result {
        Written,
        // The file has ended (limit reached, disk full or a write failed): endReason() says
        // why; nothing more is written.
        Ended,
    };

    // Creates `path` (it must not exist) and writes the header with `ports`. With `maxBytes`
    // above 0 the file, index and trailer included, never grows beyond it. Throws RecordingError.
    RecordingWriter(const std::string& path, const std::vector<RecordedPort>& ports,
                    std::uint64_t maxBytes = 0, std::uint64_t createdNs = 0);
    // Closes the file as close() does.
    ~RecordingWriter();
    RecordingWriter(const RecordingWriter&) = delete;
    RecordingWriter& operator=(const RecordingWriter&) = delete;

    // Appends one value of port `port` (an index into the constructor's ports): its CDR octets,
    // their byte order and its arrival time in nanoseconds since the epoch. Safe from any
    // thread; values are written whole, in the order the calls take the lock. A value that would
    // pass the size limit, or that the disk has no room for, ends the file instead: what was
    // written before stays readable.
    Result append(std::size_t port, const void* cdr, std::size_t length, bool littleEndian,
                  std::uint64_t arrivalNs);

    // Writes the index and trailer and closes the file; later calls do nothing. Should the disk
    // refuse the index, the file ends after its last whole value without one (readers then scan
    // it). Throws nothing.
    void close();

    // Empty while the file takes values; else one line on why it ended.
    std::string endReason() const;
    std::uint64_t values() const;
    // The file's size so far.
    std::uint64_t bytes() const;

private:
    bool writeAt(std::uint64_t offset, const void* const* parts, const std::size_t* sizes, int n,
                 std::string& why);
    void end(const std::string& why);
    std::uint64_t closingBytes(std::size_t values) const;

    mutable std::mutex m_lock;  // guards everything below
    int m_fd = -1;
    std::string m_path;
    std::size_t m_ports = 0;
    std::uint64_t m_maxBytes = 0;
    std::uint64_t m_size = 0;
    std::vector<RecordedValue> m_index;
    std::string m_endReason;
};

}  // namespace recording
