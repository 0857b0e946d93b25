// Encoding and decoding of generated IDL values through omniORB's memory streams.
#pragma once

#include <omniORB4/CORBA.h>

#include <cstdint>
#include <vector>

namespace testsupport {

using Bytes = std::vector<std::uint8_t>;

// Filler octets are whatever the stream's buffer held; compare them with care.
template <class T>
Bytes encode(const T& value) {
    cdrMemoryStream s;
    value >>= s;
    const auto* p = static_cast<const std::uint8_t*>(s.bufPtr());
    return Bytes(p, p + s.bufSize());
}

// Decodes bytes written in the given byte order; throws CORBA::MARSHAL on bad input.
template <class T>
void decode(const Bytes& bytes, T& value, bool littleEndian = true) {
    cdrMemoryStream s(const_cast<std::uint8_t*>(bytes.data()), bytes.size());
    s.setByteSwapFlag(littleEndian);
    value <<= s;
}

}  // namespace testsupport
