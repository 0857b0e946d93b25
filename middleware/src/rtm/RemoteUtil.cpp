#include <rtm/RemoteUtil.h>

#include <cstring>
#include <sstream>

namespace RTC {
namespace remote {

namespace {

CORBA::ULong indexOf(const SDOPackage::NVList& list, const char* name) {
    for (CORBA::ULong i = 0; i < list.length(); ++i)
        if (std::strcmp(list[i].name.in(), name) == 0) return i;
    return list.length();
}

CORBA::ULong slotFor(SDOPackage::NVList& list, const char* name) {
    const CORBA::ULong i = indexOf(list, name);
    if (i == list.length()) {
        list.length(i + 1);
        list[i].name = CORBA::string_dup(name);
    }
    return i;
}

bool isRepositoryId(const std::string& name) { return name.compare(0, 4, "IDL:") == 0; }

}  // namespace

void setNV(SDOPackage::NVList& list, const char* name, const char* value) {
    list[slotFor(list, name)].value <<= value;
}

void setNV(SDOPackage::NVList& list, const char* name, const CORBA::Any& value) {
    list[slotFor(list, name)].value = value;
}

const CORBA::Any* findNV(const SDOPackage::NVList& list, const char* name) {
    const CORBA::ULong i = indexOf(list, name);
    return i < list.length() ? &list[i].value : nullptr;
}

bool findString(const SDOPackage::NVList& list, const char* name, std::string& value) {
    const CORBA::Any* any = findNV(list, name);
    const char* text = nullptr;
    if (!any || !(*any >>= text)) return false;
    value = text;
    return true;
}

SDOPackage::NVList toNVList(const coil::Properties& props) {
    const auto entries = props.propertyValues();
    SDOPackage::NVList list;
    list.length(static_cast<CORBA::ULong>(entries.size()));
    CORBA::ULong n = 0;
    // Keys of one tree are distinct: each is appended, never looked up.
    for (const auto& entry : entries) {
        if (entry.second.empty()) continue;
        list[n].name = CORBA::string_dup(entry.first.c_str());
        list[n].value <<= entry.second.c_str();
        ++n;
    }
    list.length(n);
    return list;
}

bool keysWithinDepth(const SDOPackage::NVList& list) {
    for (CORBA::ULong i = 0; i < list.length(); ++i) {
        long dots = 0;
        for (const char* c = list[i].name.in(); *c; ++c) dots += *c == '.';
        if (dots >= coil::Properties::kMaxKeyDepth) return false;
    }
    return true;
}

coil::Properties toProperties(const SDOPackage::NVList& list) {
    coil::Properties props;
    for (CORBA::ULong i = 0; i < list.length(); ++i) {
        const char* text = nullptr;
        if (list[i].value >>= text) props.setProperty(list[i].name.in(), text);
    }
    return props;
}

std::string anyToText(const CORBA::Any& value) {
    const char* text = nullptr;
    if (value >>= text) return text;
    std::ostringstream out;
    CORBA::Long l;
    CORBA::ULong ul;
    CORBA::Short s;
    CORBA::Double d;
    CORBA::Boolean b;
    CORBA::Object_var obj;
    if (value >>= l)
        out << l;
    else if (value >>= ul)
        out << ul;
    else if (value >>= s)
        out << s;
    else if (value >>= d)
        out << d;
    else if (value >>= CORBA::Any::to_boolean(b))
        out << (b ? "true" : "false");
    else if (value >>= CORBA::Any::to_object(obj))
        out << "<object>";
    else {
        CORBA::TypeCode_var tc = value.type();
        out << "<" << (tc->kind() == CORBA::tk_null ? "null" : "value") << ">";
    }
    return out.str();
}

std::string simpleTypeName(const std::string& name) {
    std::string s = name;
    if (isRepositoryId(s)) {
        s = s.substr(4);
        const auto colon = s.rfind(':');
        if (colon != std::string::npos) s = s.substr(0, colon);
    }
    const auto sep = s.find_last_of("/:");
    return sep == std::string::npos ? s : s.substr(sep + 1);
}

bool dataTypesMatch(const std::string& a, const std::string& b) {
    if (a.empty() || b.empty()) return true;
    if (isRepositoryId(a) && isRepositoryId(b)) return a == b;
    return simpleTypeName(a) == simpleTypeName(b);
}

CosNaming::Name toName(const std::string& path) {
    CosNaming::Name name;
    std::string::size_type start = 0;
    while (start <= path.size()) {
        auto slash = path.find('/', start);
        if (slash == std::string::npos) slash = path.size();
        const std::string element = path.substr(start, slash - start);
        if (!element.empty()) {
            const auto dot = element.rfind('.');
            const CORBA::ULong i = name.length();
            name.length(i + 1);
            name[i].id = CORBA::string_dup(element.substr(0, dot).c_str());
            name[i].kind =
                CORBA::string_dup(dot == std::string::npos ? "" : element.substr(dot + 1).c_str());
        }
        start = slash + 1;
    }
    return name;
}

std::string toPath(const CosNaming::Name& name) {
    std::string path;
    for (CORBA::ULong i = 0; i < name.length(); ++i) {
        if (i) path += '/';
        path += name[i].id.in();
        if (name[i].kind.in()[0] != '\0') {
            path += '.';
            path += name[i].kind.in();
        }
    }
    return path;
}

const char* returnCodeName(ReturnCode_t code) {
    switch (code) {
        case RTC::RTC_OK: return "RTC_OK";
        case RTC::RTC_ERROR: return "RTC_ERROR";
        case RTC::BAD_PARAMETER: return "BAD_PARAMETER";
        case RTC::UNSUPPORTED: return "UNSUPPORTED";
        case RTC::OUT_OF_RESOURCES: return "OUT_OF_RESOURCES";
        case RTC::PRECONDITION_NOT_MET: return "PRECONDITION_NOT_MET";
        default: return "UNKNOWN";
    }
}

const char* stateName(LifeCycleState state) {
    switch (state) {
        case RTC::CREATED_STATE: return "CREATED";
        case RTC::INACTIVE_STATE: return "INACTIVE";
        case RTC::ACTIVE_STATE: return "ACTIVE";
        case RTC::ERROR_STATE: return "ERROR";
        default: return "UNKNOWN";
    }
}

const char* kindName(ExecutionKind kind) {
    switch (kind) {
        case RTC::PERIODIC: return "PERIODIC";
        case RTC::EVENT_DRIVEN: return "EVENT_DRIVEN";
        case RTC::OTHER: return "OTHER";
        default: return "UNKNOWN";
    }
}

}  // namespace remote
}  // namespace RTC
