// A typed input port bound to a component's variable.
#ifndef RTM_INPORT_H
#define RTM_INPORT_H

#include <rtm/InPortBase.h>
#include <rtm/OctetChars.h>

#include <string>

namespace RTC {

// The advertised data-type name of T: the name of the TypeCode of a default value of T in an Any
// ("TimedStereoData"), as the middleware derives it.
template <class DataType>
std::string dataTypeName() {
    CORBA::Any any;
    any <<= DataType();
    CORBA::TypeCode_var tc = any.type();
    return tc->name();
}

// omniORB's memory stream multiplies item size by item count in 32 bits when it checks that the
// input can hold a sequence, so 2^31 two-octet elements pass its check and are then allocated.
// This stream refuses any count whose octets exceed what a CDR buffer (at most 2^32 - 1 octets)
// can hold, and leaves every smaller one to omniORB's own check. An empty sequence needs no
// input: depth maps hold one in each of their millions of points.
class CheckedCdrStream : public PortCdrStream {
public:
    CheckedCdrStream(void* buffer, size_t length) : PortCdrStream(buffer, length) {}

    CORBA::Boolean checkInputOverrun(CORBA::ULong itemSize, CORBA::ULong nItems,
                                     omni::alignment_t align = omni::ALIGN_1) override {
        if (nItems == 0 && align == omni::ALIGN_1) return 1;
        if (static_cast<unsigned long long>(itemSize) * nItems > 0xffffffffull) return 0;
        return cdrMemoryStream::checkInputOverrun(itemSize, nItems, align);
    }
};

// read() and isNew() belong to the component's thread; values arrive from any thread.
template <class DataType>
class InPort : public InPortBase {
public:
    // The blocking and time-out arguments are accepted for the middleware's signature; reads and
    // writes here never block.
    InPort(const char* name, DataType& value, int bufsize = 64, bool read_block = false,
           bool write_block = false, int read_timeout = 0, int write_timeout = 0)
        : InPortBase(name, dataTypeName<DataType>().c_str(), bufsize), m_value(value) {
        (void)read_block;
        (void)write_block;
        (void)read_timeout;
        (void)write_timeout;
    }

    const char* name() const { return localName().c_str(); }

    // Decodes the oldest unread value straight into the bound variable, reusing its storage.
    // A value that does not decode is dropped and counted; false then, and when nothing is unread
    // (the variable keeps its value in that case).
    bool read() {
        if (!takeOldest(m_slot)) return false;
        try {
            CheckedCdrStream stream(m_slot.data.get_buffer(), m_slot.data.length());
            stream.setByteSwapFlag(m_slot.littleEndian);
            m_value <<= stream;
            return true;
        } catch (const CORBA::SystemException&) {
            countUndecodable();
            return false;
        }
    }

    InPort& operator>>(DataType& rhs) {
        read();
        rhs = m_value;
        return *this;
    }

private:
    DataType& m_value;
    // The last slot read; its buffer goes back to the ring on the next read.
    CdrSlot m_slot;
};

}  // namespace RTC

#endif
