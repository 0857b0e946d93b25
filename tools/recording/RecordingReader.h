// Reads a recording file: its ports, where each value lies, and the values' CDR octets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Recording.h"

namespace recording {

class RecordingReader {
public:
    // Opens `path`. Throws RecordingError, with one line, for a file that is not a recording, is
    // of a newer version or whose header is damaged. A file without a sound index (cut short, or
    // the index damaged) is read up to its last whole value, and problem() says so.
    explicit RecordingReader(const std::string& path);
    // The same over an open descriptor, which stays the caller's.
    explicit RecordingReader(int fd);
    ~RecordingReader();
    RecordingReader(const RecordingReader&) = delete;
    RecordingReader& operator=(const RecordingReader&) = delete;

    std::uint16_t version() const { return m_version; }
    std::uint64_t createdNs() const { return m_createdNs; }
    const std::vector<RecordedPort>& ports() const { return m_ports; }
    // Every whole value, in file order.
    const std::vector<RecordedValue>& values() const { return m_values; }
    // Empty for a file closed as it should be; else one line on what is wrong with it and what
    // could still be read.
    const std::string& problem() const { return m_problem; }
    std::uint64_t fileBytes() const { return m_fileBytes; }

    // Reads the CDR octets of `value` into `cdr` (its first octet 8-aligned in memory). False,
    // with `why`, when the file no longer holds them as the index says.
    bool read(const RecordedValue& value, std::vector<unsigned char>& cdr,
              std::string* why = nullptr) const;

private:
    void load();
    bool readAt(std::uint64_t offset, void* to, std::size_t size) const;
    bool loadIndex(std::string& why);
    // Finds the whole values from the first record on; says where it stopped early, if it did.
    std::string scan();

    int m_fd = -1;
    bool m_ownsFd = false;
    std::string m_name;
    std::uint16_t m_version = 0;
    std::uint64_t m_createdNs = 0;
    std::uint64_t m_fileBytes = 0;
    std::uint64_t m_firstRecord = 0;
    std::vector<RecordedPort> m_ports;
    std::vector<RecordedValue> m_values;
    std::string m_problem;
};

}  // namespace recording
