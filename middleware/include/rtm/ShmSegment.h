// Stand-in only: no OpenRTM-aist header has this name.
// POSIX shared-memory segments of the "shared_memory" data port transport. A segment holds one
// value at a time: an unsigned 64-bit length N in the connection's byte order at offset 0, then
// the value's N octets of CDR from offset 8. The writing side creates and owns the segment; the
// reading side only opens it, and treats everything in it as hostile.
#ifndef RTM_SHMSEGMENT_H
#define RTM_SHMSEGMENT_H

#include <rtm/CdrAreaStream.h>
#include <rtm/RTC.h>

#include <cstddef>
#include <string>

namespace RTC {

const std::size_t kSegmentHeaderSize = 8;
const std::size_t kDefaultSegmentSize = 2097152;
// The largest segment a reader opens: the header and the largest CDR buffer.
const unsigned long long kMaxSegmentSize = kSegmentHeaderSize + 0xffffffffull;

// The size a "shem_default_size" text asks for: a number of octets, optionally followed by "k"
// (times 1024) or "m" (times 1048576), blanks and case ignored; kDefaultSegmentSize when the text
// is empty, not of that form, zero, or beyond kMaxSegmentSize.
std::size_t parseSegmentSize(const std::string& text);

// A name a reader accepts: 1 to 255 printable characters, no "/" and no "..".
bool acceptableSegmentName(const std::string& name);

// Encodes into a fixed area, such as a segment's value area; throws SegmentStream::Full when the
// value does not fit, leaving the area partly written. Output only.
class SegmentStream : public CdrAreaStream {
public:
    struct Full {};
    // `area` must be 8-aligned: CDR alignment counts from it.
    SegmentStream(void* area, std::size_t capacity, bool littleEndian);

protected:
    void grow(std::size_t total) override;
    std::size_t limit() const override;
};

// The writing side's segment, created under a name chosen by the caller and unlinked when it is
// destroyed (and at process exit, should the owner never get that far). One thread at a time.
class SegmentWriter {
public:
    explicit SegmentWriter(std::string name);
    ~SegmentWriter();
    SegmentWriter(const SegmentWriter&) = delete;
    SegmentWriter& operator=(const SegmentWriter&) = delete;

    const std::string& name() const { return m_name; }
    bool created() const { return m_area != nullptr; }
    // Total octets, header included.
    std::size_t size() const { return m_size; }
    // Creates the segment with `size` octets, replacing (and unlinking) any earlier one of this
    // writer. False, with the reason, when the system refuses.
    bool create(std::size_t size, std::string& error);
    // Unmaps, closes and unlinks; harmless when nothing is created.
    void remove();
    // Where the value goes: size() - 8 octets, 8-aligned.
    CORBA::Octet* valueArea() const { return m_area + kSegmentHeaderSize; }
    std::size_t valueCapacity() const { return m_size - kSegmentHeaderSize; }
    void writeHeader(unsigned long long length, bool littleEndian);

private:
    const std::string m_name;
    int m_fd = -1;
    CORBA::Octet* m_area = nullptr;
    std::size_t m_size = 0;
};

// The reading side's view of a segment someone else created. It never maps the segment: values
// are copied out with pread, so a segment truncated or rewritten by another process at any time
// yields a refused value, never a fault. It never removes a name at exit. One thread at a time.
class SegmentReader {
public:
    SegmentReader() = default;
    ~SegmentReader();
    SegmentReader(const SegmentReader&) = delete;
    SegmentReader& operator=(const SegmentReader&) = delete;

    // Opens `name`, which must be a regular file of exactly `size` octets (8 to kMaxSegmentSize).
    // Any segment open before is closed first, also when this one is refused. False, with the
    // reason, when refused.
    bool open(const std::string& name, unsigned long long size, std::string& reason);
    // Closes the segment. With `unlink` it also removes its name, but only when it can tell the
    // segment is this connection's and left over: named in the writers' UUID form, still the file
    // it opened, of the size announced, owned by this user, and open or mapped by no other
    // process (its writer has gone). A name another program uses, or one its writer still holds
    // (the writer removes its own), is left alone.
    void close(bool unlink);
    bool isOpen() const { return m_fd >= 0; }
    const std::string& name() const { return m_name; }
    // Copies the value the segment holds into `out`, reusing its buffer when large enough. False,
    // with the reason, when no segment is open, the length header is zero or larger than the
    // segment allows, or the segment no longer holds that many octets; `out` then holds nothing
    // of use, but keeps its buffer.
    bool read(OpenRTM::CdrData& out, bool littleEndian, std::string& reason);

private:
    bool leftOver() const;

    std::string m_name;
    int m_fd = -1;
    unsigned long long m_size = 0;
};

}  // namespace RTC

#endif
