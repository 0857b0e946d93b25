// Hands one fuzz input to an input port the way a connection does, and reads it back the way a
// component's execution cycle does. Include the QOR header of the port's type first.
#pragma once

#include <rtm/InPort.h>

#include "FuzzSupport.h"

#include <cstdint>
#include <cstring>

namespace fuzzsupport {

// Bit 0 of the first byte is the byte order the connection announced (set: little-endian); the
// other bytes are the value's CDR encoding. True when read() decoded it into the bound variable;
// a value that does not decode is dropped and counted, and either way none is left unread.
template <class DataType>
bool putAndRead(RTC::InPort<DataType>& port, const std::uint8_t* data, std::size_t size) {
    if (size == 0) return false;
    const bool littleEndian = (data[0] & 1) != 0;
    OpenRTM::CdrData cdr;
    cdr.length(static_cast<CORBA::ULong>(size - 1));
    if (size > 1) std::memcpy(cdr.get_buffer(), data + 1, size - 1);

    const unsigned long long droppedBefore = port.undecodable();
    FUZZ_CHECK(port.put(cdr, littleEndian) == OpenRTM::PORT_OK);
    FUZZ_CHECK(port.isNew());
    const bool decoded = port.read();
    FUZZ_CHECK(!port.isNew());
    FUZZ_CHECK(port.undecodable() == droppedBefore + (decoded ? 0 : 1));
    return decoded;
}

}  // namespace fuzzsupport
