// A typed output port bound to a component's variable.
#ifndef RTM_OUTPORT_H
#define RTM_OUTPORT_H

#include <rtm/InPort.h>
#include <rtm/OutPortBase.h>

#include <memory>

namespace RTC {

// write() belongs to one thread, the component's.
template <class DataType>
class OutPort : public OutPortBase {
public:
    OutPort(const char* name, DataType& value)
        : OutPortBase(name, dataTypeName<DataType>().c_str()), m_value(value) {}

    const char* name() const { return localName().c_str(); }

    // Encodes the bound variable once (per byte order asked for) and hands the same bytes to
    // every connection. The encoding streams keep their buffers from one write to the next, so
    // a steady stream of values of one size allocates nothing here.
    bool write() { return write(m_value); }

    bool write(DataType& value) {
        // Made on first use: a stream takes the ORB's code sets when it is constructed, and a
        // port may be constructed before the ORB exists.
        if (!m_little) {
            m_little.reset(new cdrMemoryStream);
            m_little->setByteSwapFlag(true);
        }
        m_little->rewindPtrs();
        value >>= *m_little;
        const CORBA::Octet* big = nullptr;
        CORBA::ULong bigLength = 0;
        if (anyBigEndian()) {
            if (!m_big) m_big.reset(new cdrMemoryStream);
            m_big->rewindPtrs();
            m_big->setByteSwapFlag(false);
            value >>= *m_big;
            big = static_cast<const CORBA::Octet*>(m_big->bufPtr());
            bigLength = m_big->bufSize();
        }
        return deliver(static_cast<const CORBA::Octet*>(m_little->bufPtr()), m_little->bufSize(),
                       big, bigLength);
    }

    OutPort& operator<<(DataType& value) {
        write(value);
        return *this;
    }

private:
    DataType& m_value;
    std::unique_ptr<cdrMemoryStream> m_little;
    std::unique_ptr<cdrMemoryStream> m_big;
};

}  // namespace RTC

#endif
