// Stand-in only: no OpenRTM-aist header has this name.
// Output streams that encode CDR into one contiguous area: a shared-memory segment's value area,
// or a buffer of their own that grows as the value needs. omniORB's own memory stream grows by
// the octets asked for each time, copying what it holds so far: the first 1920x1080 map encoded
// into a fresh one takes some 450 ms, against 10 ms into one of the right size.
#ifndef RTM_CDRAREASTREAM_H
#define RTM_CDRAREASTREAM_H

#include <rtm/RTC.h>

#include <cstddef>

namespace RTC {

// Output only: every input operation raises MARSHAL. CDR alignment counts from the start of the
// area, which is 8-aligned. Chars pass as octets where the code sets allow (OctetChars.h).
class CdrAreaStream : public cdrStream {
public:
    CdrAreaStream(const CdrAreaStream&) = delete;
    CdrAreaStream& operator=(const CdrAreaStream&) = delete;

    // Octets written so far, from the start of the area.
    std::size_t length() const;
    const CORBA::Octet* data() const { return reinterpret_cast<const CORBA::Octet*>(m_begin); }
    // Starts over at the beginning of the area, in the given byte order.
    void rewind(bool littleEndian);

    void put_octet_array(const CORBA::Octet* b, int size,
                         omni::alignment_t align = omni::ALIGN_1) override;
    void get_octet_array(CORBA::Octet* b, int size,
                         omni::alignment_t align = omni::ALIGN_1) override;
    void skipInput(CORBA::ULong size) override;
    CORBA::Boolean checkInputOverrun(CORBA::ULong itemSize, CORBA::ULong nItems,
                                     omni::alignment_t align = omni::ALIGN_1) override;
    CORBA::Boolean checkOutputOverrun(CORBA::ULong itemSize, CORBA::ULong nItems,
                                      omni::alignment_t align = omni::ALIGN_1) override;
    CORBA::ULong currentInputPtr() const override;
    CORBA::ULong currentOutputPtr() const override;

protected:
    explicit CdrAreaStream(bool littleEndian);
    ~CdrAreaStream() override = default;

    // Where the octets go from now on: `begin` (8-aligned) holding `capacity` octets, the first
    // length() of them already written (a grown area holds a copy of the old one's).
    void setArea(void* begin, std::size_t capacity);
    // Makes the area hold at least `total` octets, through setArea(), or throws.
    virtual void grow(std::size_t total) = 0;
    // The largest number of octets the area could ever hold.
    virtual std::size_t limit() const = 0;

    void fetchInputData(omni::alignment_t align, std::size_t required) override;
    CORBA::Boolean reserveOutputSpaceForPrimitiveType(omni::alignment_t align,
                                                      std::size_t required) override;
    CORBA::Boolean maybeReserveOutputSpace(omni::alignment_t align, std::size_t required) override;

private:
    char* m_begin = nullptr;
};

// A buffer of its own, doubled when full and kept for the next value. One thread at a time.
class GrowingCdrStream : public CdrAreaStream {
public:
    explicit GrowingCdrStream(bool littleEndian = true);
    ~GrowingCdrStream() override;

protected:
    void grow(std::size_t total) override;
    std::size_t limit() const override;

private:
    void* m_buffer = nullptr;
    std::size_t m_capacity = 0;
};

}  // namespace RTC

#endif
