// A typed output port bound to a component's variable.
#ifndef RTM_OUTPORT_H
#define RTM_OUTPORT_H

#include <rtm/InPort.h>
#include <rtm/OutPortBase.h>

namespace RTC {

// write() belongs to one thread, the component's.
template <class DataType>
class OutPort : public OutPortBase {
public:
    OutPort(const char* name, DataType& value)
        : OutPortBase(name, dataTypeName<DataType>().c_str()), m_value(value) {}

    const char* name() const { return localName().c_str(); }

    // Encodes the bound variable once per byte order asked for and hands the same bytes to every
    // connection; a shared-memory connection encodes it straight into its segment instead.
    bool write() { return write(m_value); }

    bool write(DataType& value) {
        const Encoder encoder(value);
        return deliver(encoder);
    }

    OutPort& operator<<(DataType& value) {
        write(value);
        return *this;
    }

private:
    class Encoder : public CdrEncoder {
    public:
        explicit Encoder(const DataType& value) : m_v(value) {}
        void encode(cdrStream& stream) const override { m_v >>= stream; }

    private:
        const DataType& m_v;
    };

    DataType& m_value;
};

}  // namespace RTC

#endif
