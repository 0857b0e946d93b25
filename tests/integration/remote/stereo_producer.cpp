// A component program for the tests, on the shared frame: "StereoProducer" writes one depth map
// a period on its output port "stereo" while active, tm.sec counting up from 1, and prints
// "wrote <sec> ok" or "wrote <sec> failed" for each. From the environment: PRODUCER_SIZE "WxH"
// (default 4x3), PRODUCER_BIG "N:WxH[,N:WxH...]" (the map of tm.sec N has that size instead),
// PRODUCER_COUNT (stop after that many maps; default no limit), PRODUCER_SHORT N (every Nth
// value is 4 octets, shorter than a time stamp, instead of a map).
#include <StereoCameraService.hh>
#include <frame/ComponentMain.h>
#include <rtm/DataFlowComponentBase.h>
#include <rtm/OutPort.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <string>

#include "StereoPattern.h"

namespace {

struct Size {
    long width = 4;
    long height = 3;
};

Size sizeFrom(const char* text, Size fallback) {
    Size s = fallback;
    if (text) std::sscanf(text, "%ldx%ld", &s.width, &s.height);
    return s;
}

// The port can also send a value too short to be any timed type.
class StereoOutPort : public RTC::OutPort<QOR::TimedStereoData> {
public:
    using RTC::OutPort<QOR::TimedStereoData>::OutPort;
    bool writeShort(CORBA::ULong value) {
        struct Short : RTC::CdrEncoder {
            explicit Short(CORBA::ULong value) : v(value) {}
            void encode(cdrStream& stream) const override { v >>= stream; }
            CORBA::ULong v;
        };
        return deliver(Short(value));
    }
};

class StereoProducer : public RTC::DataFlowComponentBase {
public:
    explicit StereoProducer(RTC::Manager* manager)
        : RTC::DataFlowComponentBase(manager), m_out("stereo", m_map) {
        m_size = sizeFrom(std::getenv("PRODUCER_SIZE"), Size());
        for (const char* big = std::getenv("PRODUCER_BIG"); big && *big;) {
            const char* colon = std::strchr(big, ':');
            if (!colon) break;
            m_big[std::strtoul(big, nullptr, 10)] = sizeFrom(colon + 1, m_size);
            big = std::strchr(colon, ',');
            if (big) ++big;
        }
        if (const char* count = std::getenv("PRODUCER_COUNT")) m_limit = std::strtoul(count, nullptr, 10);
        if (const char* every = std::getenv("PRODUCER_SHORT"))
            m_short = std::strtoul(every, nullptr, 10);
    }

    RTC::ReturnCode_t onInitialize() override {
        addOutPort("stereo", m_out);
        return RTC::RTC_OK;
    }
    RTC::ReturnCode_t onExecute(RTC::UniqueId) override {
        if (m_limit && m_sec >= m_limit) return RTC::RTC_OK;
        ++m_sec;
        if (m_short && m_sec % m_short == 0) {
            const bool sent = m_out.writeShort(static_cast<CORBA::ULong>(m_sec));
            std::cout << "wrote " << m_sec << (sent ? " short" : " short failed") << std::endl;
            return RTC::RTC_OK;
        }
        const auto big = m_big.find(m_sec);
        const Size s = big != m_big.end() ? big->second : m_size;
        pattern::fill(m_map, static_cast<CORBA::ULong>(m_sec), s.width, s.height);
        const bool ok = m_out.write();
        std::cout << "wrote " << m_sec << (ok ? " ok" : " failed") << std::endl;
        return RTC::RTC_OK;
    }

private:
    QOR::TimedStereoData m_map;
    StereoOutPort m_out;
    Size m_size;
    std::map<unsigned long, Size> m_big;
    unsigned long m_limit = 0;
    unsigned long m_short = 0;
    unsigned long m_sec = 0;
};

const char* const kProfile[] = {"implementation_id", "StereoProducer", "type_name", "StereoProducer",
                                "description", "test depth map producer", "version", "1.0.0",
                                "vendor", "example.org", "category", "Test",
                                "activity_type", "PERIODIC", "kind", "DataFlowComponent",
                                "max_instance", "1", "language", "C++",
                                "lang_type", "compile", ""};

RTC::RTObject_impl* create(RTC::Manager* manager) { return new StereoProducer(manager); }
void destroy(RTC::RTObject_impl* rtc) { delete rtc; }

void registerProducer(RTC::Manager* manager) {
    coil::Properties profile(const_cast<const char**>(kProfile));
    manager->registerFactory(profile, create, destroy);
}

}  // namespace

int main(int argc, char** argv) {
    return frame::runComponentProgram(argc, argv, registerProducer, "StereoProducer");
}
