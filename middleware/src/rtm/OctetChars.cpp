#include <rtm/OctetChars.h>

#include <mutex>
#include <vector>

namespace RTC {

namespace {

using omni::omniCodeSet;

// Chars as octets, strings as the wrapped code set has them. Never destroyed: streams keep a
// pointer to it for as long as they live, static ones included.
class OctetNcs : public omniCodeSet::NCS_C {
public:
    explicit OctetNcs(omniCodeSet::NCS_C* wrapped)
        : NCS_C(wrapped->id(), wrapped->name(), wrapped->kind()), m_wrapped(wrapped) {}

    void marshalChar(cdrStream& stream, omniCodeSet::TCS_C*, CORBA::Char c) override {
        stream.marshalOctet(static_cast<CORBA::Octet>(c));
    }
    CORBA::Char unmarshalChar(cdrStream& stream, omniCodeSet::TCS_C*) override {
        return static_cast<CORBA::Char>(stream.unmarshalOctet());
    }
    void marshalString(cdrStream& stream, omniCodeSet::TCS_C* tcs, CORBA::ULong bound,
                       CORBA::ULong len, const char* s) override {
        m_wrapped->marshalString(stream, tcs, bound, len, s);
    }
    CORBA::ULong unmarshalString(cdrStream& stream, omniCodeSet::TCS_C* tcs, CORBA::ULong bound,
                                 char*& s) override {
        return m_wrapped->unmarshalString(stream, tcs, bound, s);
    }

    omniCodeSet::NCS_C* wrapped() const { return m_wrapped; }

private:
    omniCodeSet::NCS_C* const m_wrapped;
};

std::mutex s_mutex;  // guards wrappers()

// One per native code set seen, in practice one. The list outlives every static object too.
std::vector<OctetNcs*>& wrappers() {
    static std::vector<OctetNcs*>* s_wrappers = new std::vector<OctetNcs*>;
    return *s_wrappers;
}

}  // namespace

omniCodeSet::NCS_C* octetChars(omniCodeSet::NCS_C* ncs, omniCodeSet::TCS_C* tcs) {
    if (ncs == nullptr || tcs == nullptr) return ncs;
    if (ncs->kind() != omniCodeSet::CS_8bit || tcs->kind() != omniCodeSet::CS_8bit ||
        ncs->id() != tcs->id())
        return ncs;
    std::lock_guard<std::mutex> lock(s_mutex);
    for (OctetNcs* w : wrappers())
        if (w == ncs || w->wrapped() == ncs) return w;
    wrappers().push_back(new OctetNcs(ncs));
    return wrappers().back();
}

}  // namespace RTC
