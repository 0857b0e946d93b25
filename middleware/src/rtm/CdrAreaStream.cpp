#include <rtm/CdrAreaStream.h>
#include <rtm/OctetChars.h>

#include <cstdlib>
#include <cstring>
#include <new>

namespace RTC {

namespace {

bool hostIsLittle() { return omni::myByteOrder != 0; }

[[noreturn]] void outputOnly() { throw CORBA::MARSHAL(0, CORBA::COMPLETED_NO); }

// The largest CDR buffer: lengths travel in 32 bits.
const std::size_t kMaxCdr = 0xffffffffu;

}  // namespace

CdrAreaStream::CdrAreaStream(bool littleEndian) {
    pd_outb_mkr = pd_outb_end = nullptr;
    pd_marshal_byte_swap = littleEndian != hostIsLittle();
    pd_unmarshal_byte_swap = pd_marshal_byte_swap;
    // Character data takes the ORB's transmission code sets, as a memory stream does.
    cdrMemoryStream probe;
    pd_tcs_c = probe.TCS_C();
    pd_tcs_w = probe.TCS_W();
    pd_ncs_c = octetChars(pd_ncs_c, pd_tcs_c);
}

std::size_t CdrAreaStream::length() const {
    return m_begin ? static_cast<std::size_t>(static_cast<char*>(pd_outb_mkr) - m_begin) : 0;
}

void CdrAreaStream::rewind(bool littleEndian) {
    pd_outb_mkr = m_begin;
    pd_marshal_byte_swap = littleEndian != hostIsLittle();
    pd_unmarshal_byte_swap = pd_marshal_byte_swap;
}

void CdrAreaStream::setArea(void* begin, std::size_t capacity) {
    const std::size_t used = length();
    m_begin = static_cast<char*>(begin);
    pd_outb_mkr = m_begin + used;
    pd_outb_end = m_begin + capacity;
}

void CdrAreaStream::put_octet_array(const CORBA::Octet* b, int size, omni::alignment_t align) {
    maybeReserveOutputSpace(align, static_cast<std::size_t>(size));
    char* p = reinterpret_cast<char*>(outMkr(align));
    if (size > 0) std::memcpy(p, b, static_cast<std::size_t>(size));
    pd_outb_mkr = p + size;
}

void CdrAreaStream::get_octet_array(CORBA::Octet*, int, omni::alignment_t) { outputOnly(); }
void CdrAreaStream::skipInput(CORBA::ULong) { outputOnly(); }
CORBA::Boolean CdrAreaStream::checkInputOverrun(CORBA::ULong, CORBA::ULong, omni::alignment_t) {
    return 0;
}

CORBA::Boolean CdrAreaStream::checkOutputOverrun(CORBA::ULong itemSize, CORBA::ULong nItems,
                                                 omni::alignment_t align) {
    const std::size_t at = static_cast<std::size_t>(outMkr(align) - omni::ptr_arith_t(m_begin));
    const unsigned long long need = static_cast<unsigned long long>(itemSize) * nItems;
    return at <= limit() && need <= limit() - at;
}

CORBA::ULong CdrAreaStream::currentInputPtr() const { return 0; }
CORBA::ULong CdrAreaStream::currentOutputPtr() const { return static_cast<CORBA::ULong>(length()); }
void CdrAreaStream::fetchInputData(omni::alignment_t, std::size_t) { outputOnly(); }

CORBA::Boolean CdrAreaStream::reserveOutputSpaceForPrimitiveType(omni::alignment_t align,
                                                                 std::size_t required) {
    return maybeReserveOutputSpace(align, required);
}

CORBA::Boolean CdrAreaStream::maybeReserveOutputSpace(omni::alignment_t align,
                                                      std::size_t required) {
    // The padding to the alignment counts from the area's start, which moves when it grows.
    const std::size_t at = omni::align_to(length(), align);
    if (m_begin != nullptr &&
        at <= static_cast<std::size_t>(static_cast<char*>(pd_outb_end) - m_begin) &&
        required <= static_cast<std::size_t>(static_cast<char*>(pd_outb_end) - m_begin) - at)
        return 1;
    if (at > limit() || required > limit() - at) throw CORBA::MARSHAL(0, CORBA::COMPLETED_NO);
    grow(at + required);
    return 1;
}

GrowingCdrStream::GrowingCdrStream(bool littleEndian) : CdrAreaStream(littleEndian) {}

GrowingCdrStream::~GrowingCdrStream() { std::free(m_buffer); }

std::size_t GrowingCdrStream::limit() const { return kMaxCdr; }

void GrowingCdrStream::grow(std::size_t total) {
    std::size_t capacity = m_capacity ? m_capacity : 4096;
    while (capacity < total) capacity = capacity > kMaxCdr / 2 ? kMaxCdr : capacity * 2;
    // malloc's blocks are 16-aligned, as the area must be.
    void* p = std::realloc(m_buffer, capacity);
    if (p == nullptr) throw std::bad_alloc();
    // CDR's padding octets are skipped, not written: cleared here, they carry nothing of the
    // process's memory onto the wire.
    std::memset(static_cast<char*>(p) + m_capacity, 0, capacity - m_capacity);
    m_buffer = p;
    m_capacity = capacity;
    setArea(p, capacity);
}

}  // namespace RTC
