// The input of the connector-profile target: a few connection requests, each a connector profile
// described as plain data (which port is asked, ports listed, properties and the types of their
// values), read through FuzzedDataProvider, and its inverse for the seeds. Free of the IDL types,
// so that the seed generator needs none of the middleware.
//
// Every object reference an input can name is one of the target's own objects or nil, and every
// other stringified reference is malformed by construction: an input never makes the ORB look up
// a host.
#pragma once

#include "Cases.h"

#include <cstdint>
#include <string>
#include <vector>

namespace profilecase {

constexpr int kMaxCalls = 4;
constexpr int kMaxPorts = 6;
constexpr int kMaxProperties = 64;
constexpr int kMaxText = 200;

// What a port entry or an object-valued property refers to.
enum Ref : int {
    kNil,
    kInPort,     // the input port's PortService
    kOutPort,    // the output port's PortService
    kComponent,  // the component: an object, but not a PortService
    kConsumer,   // the input side's InPortCdr published by an earlier call of the input, if any
    kGarbage,    // a malformed stringified reference (see Garbage)
    kRefCount
};
constexpr int kFirstOwn = kInPort, kLastOwn = kConsumer;

// Ways to spoil a stringified reference so that string_to_object rejects it before resolving
// anything: no scheme at all, an "IOR:" with characters that are not hex digits, one of our own
// IORs cut short (what decodes of it can only be our own addresses), and one of ours with a digit
// replaced by a non-digit.
enum GarbageForm : int { kNoScheme, kNotHex, kTruncated, kBadDigit, kGarbageFormCount };

struct Garbage {
    int form = kNoScheme;
    std::string text;
    int own = kInPort;  // whose IOR is cut or spoiled
    int cut = 0;        // where, counted in hex digits after "IOR:", modulo its length
};

enum ValueKind : int {
    kKnownValue,  // one of kKnownValues
    kText,        // arbitrary bytes as a string
    kOwnIor,      // one of our objects, stringified
    kGarbageIor,  // a malformed stringified reference
    kLong,
    kOctets,
    kNilObject,
    kOwnObject,  // one of our objects, as an object reference
    kBoolean,
    kValueKindCount
};

struct Value {
    int kind = kKnownValue;
    int index = 0;  // kKnownValue
    std::string text;  // kText, kOctets
    int ref = kInPort;  // kOwnIor, kOwnObject
    Garbage garbage;    // kGarbageIor
    std::int32_t number = 0;  // kLong
    bool flag = false;        // kBoolean
};

inline const char* const kKnownKeys[] = {
    "dataport.interface_type",
    "dataport.dataflow_type",
    "dataport.data_type",
    "dataport.subscription_type",
    "dataport.corba_cdr.inport_ior",
    "dataport.corba_cdr.inport_ref",
    "dataport.serializer.cdr.endian",
    "dataport.buffer.length",
    "dataport.buffer.write.full_policy",
    "dataport.corba_cdr.outport_ior",
    "dataport.corba_cdr.outport_ref",
    "dataport",
    "",
};
constexpr int kKeyCount = static_cast<int>(sizeof kKnownKeys / sizeof kKnownKeys[0]);

inline const char* const kKnownValues[] = {
    "corba_cdr", "push", "TimedStereoData", "IDL:QOR/TimedStereoData:1.0", "flush", "little",
    "big", "little,big", "big,little", "8", "1", "65536", "overwrite", "do_nothing", "block",
    // Refused or odd forms of the same facts.
    "CORBA_CDR ", " Push\t", "pull", "local", "shared_memory", "TimedImageData",
    "IDL:QOR/TimedImageData:1.0", "IDL:QOR/TimedStereoData:1.1", "RTC/TimedStereoData",
    "bigendian", "", "0", "-1", "65537", "2147483648", "-2147483649", "99999999999999999999",
    "8 ", "0x10", "1e3", "new", "periodic", "fifo",
};
constexpr int kValueCount = static_cast<int>(sizeof kKnownValues / sizeof kKnownValues[0]);

struct Property {
    bool known = true;
    int keyIndex = 0;
    std::string key;  // when not known
    Value value;
};

struct PortEntry {
    int ref = kNil;
    Garbage garbage;  // kGarbage
};

enum IdMode : int { kEmptyId, kGivenId, kEarlierId, kIdModeCount };

struct Call {
    bool outPort = false;  // which port is asked
    bool connect = false;  // connect, else notify_connect
    std::string name;
    int idMode = kEmptyId;
    std::string id;   // kGivenId
    int earlier = 0;  // kEarlierId: the id an earlier call of the input ended with, modulo their count
    std::vector<PortEntry> ports;
    std::vector<Property> properties;
};

struct Case {
    std::vector<Call> calls;
    bool write = false;  // write a value on the output port after the calls
};

inline int readSmall(FuzzedDataProvider& in, int max) { return in.ConsumeIntegralInRange<int>(0, max); }

inline std::string readText(FuzzedDataProvider& in) {
    return in.ConsumeBytesAsString(static_cast<std::size_t>(readSmall(in, kMaxText)));
}

inline Garbage readGarbage(FuzzedDataProvider& in) {
    Garbage g;
    g.form = readSmall(in, kGarbageFormCount - 1);
    g.text = readText(in);
    g.own = kFirstOwn + readSmall(in, kLastOwn - kFirstOwn);
    g.cut = readSmall(in, 4095);
    return g;
}

inline Value readValue(FuzzedDataProvider& in) {
    Value v;
    v.kind = readSmall(in, kValueKindCount - 1);
    switch (v.kind) {
    case kKnownValue: v.index = readSmall(in, kValueCount - 1); break;
    case kText:
    case kOctets: v.text = readText(in); break;
    case kOwnIor:
    case kOwnObject: v.ref = kFirstOwn + readSmall(in, kLastOwn - kFirstOwn); break;
    case kGarbageIor: v.garbage = readGarbage(in); break;
    case kLong: v.number = in.ConsumeIntegral<std::int32_t>(); break;
    case kBoolean: v.flag = in.ConsumeBool(); break;
    default: break;
    }
    return v;
}

inline Call readCall(FuzzedDataProvider& in) {
    Call c;
    c.outPort = in.ConsumeBool();
    c.connect = in.ConsumeBool();
    c.name = readText(in);
    c.idMode = readSmall(in, kIdModeCount - 1);
    if (c.idMode == kGivenId) c.id = readText(in);
    if (c.idMode == kEarlierId) c.earlier = readSmall(in, kMaxCalls - 1);
    c.ports.resize(static_cast<std::size_t>(readSmall(in, kMaxPorts)));
    for (PortEntry& p : c.ports) {
        p.ref = readSmall(in, kRefCount - 1);
        if (p.ref == kGarbage) p.garbage = readGarbage(in);
    }
    c.properties.resize(static_cast<std::size_t>(readSmall(in, kMaxProperties)));
    for (Property& p : c.properties) {
        p.known = in.ConsumeBool();
        if (p.known)
            p.keyIndex = readSmall(in, kKeyCount - 1);
        else
            p.key = readText(in);
        p.value = readValue(in);
    }
    return c;
}

inline Case readCase(FuzzedDataProvider& in) {
    Case c;
    c.calls.resize(static_cast<std::size_t>(1 + readSmall(in, kMaxCalls - 1)));
    for (Call& call : c.calls) call = readCall(in);
    c.write = in.ConsumeBool();
    return c;
}

inline void writeText(cases::InputWriter& out, const std::string& text) {
    out.small(static_cast<int>(text.size()), kMaxText);
    out.front(text.data(), text.size());
}

inline void writeGarbage(cases::InputWriter& out, const Garbage& g) {
    out.small(g.form, kGarbageFormCount - 1);
    writeText(out, g.text);
    out.small(g.own - kFirstOwn, kLastOwn - kFirstOwn);
    out.small(g.cut, 4095);
}

inline void writeValue(cases::InputWriter& out, const Value& v) {
    out.small(v.kind, kValueKindCount - 1);
    switch (v.kind) {
    case kKnownValue: out.small(v.index, kValueCount - 1); break;
    case kText:
    case kOctets: writeText(out, v.text); break;
    case kOwnIor:
    case kOwnObject: out.small(v.ref - kFirstOwn, kLastOwn - kFirstOwn); break;
    case kGarbageIor: writeGarbage(out, v.garbage); break;
    case kLong: out.int32(v.number); break;
    case kBoolean: out.boolean(v.flag); break;
    default: break;
    }
}

// The inverse of readCase(): texts must be at most kMaxText bytes and indices in range.
inline std::vector<std::uint8_t> writeCase(const Case& c) {
    cases::InputWriter out;
    out.small(static_cast<int>(c.calls.size()) - 1, kMaxCalls - 1);
    for (const Call& call : c.calls) {
        out.boolean(call.outPort);
        out.boolean(call.connect);
        writeText(out, call.name);
        out.small(call.idMode, kIdModeCount - 1);
        if (call.idMode == kGivenId) writeText(out, call.id);
        if (call.idMode == kEarlierId) out.small(call.earlier, kMaxCalls - 1);
        out.small(static_cast<int>(call.ports.size()), kMaxPorts);
        for (const PortEntry& p : call.ports) {
            out.small(p.ref, kRefCount - 1);
            if (p.ref == kGarbage) writeGarbage(out, p.garbage);
        }
        out.small(static_cast<int>(call.properties.size()), kMaxProperties);
        for (const Property& p : call.properties) {
            out.boolean(p.known);
            if (p.known)
                out.small(p.keyIndex, kKeyCount - 1);
            else
                writeText(out, p.key);
            writeValue(out, p.value);
        }
    }
    out.boolean(c.write);
    return out.bytes();
}

}  // namespace profilecase
