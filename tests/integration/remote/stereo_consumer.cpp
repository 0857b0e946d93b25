// A component program for the tests, on the shared frame: "StereoConsumer" reads every new depth
// map from its input port "stereo" and prints "got <sec> <W>x<H> ok" (or "bad" when the points
// are not the producer's pattern); "dropped <n>" when the port has dropped n values in all that
// did not decode; "activated" and "deactivated".
#include <StereoCameraService.hh>
#include <frame/ComponentMain.h>
#include <rtm/DataFlowComponentBase.h>
#include <rtm/InPort.h>

#include <iostream>

#include "StereoPattern.h"

namespace {

class StereoConsumer : public RTC::DataFlowComponentBase {
public:
    explicit StereoConsumer(RTC::Manager* manager)
        : RTC::DataFlowComponentBase(manager), m_in("stereo", m_map) {}

    RTC::ReturnCode_t onInitialize() override {
        addInPort("stereo", m_in);
        return RTC::RTC_OK;
    }
    RTC::ReturnCode_t onActivated(RTC::UniqueId) override {
        std::cout << "activated" << std::endl;
        return RTC::RTC_OK;
    }
    RTC::ReturnCode_t onDeactivated(RTC::UniqueId) override {
        std::cout << "deactivated" << std::endl;
        return RTC::RTC_OK;
    }
    RTC::ReturnCode_t onExecute(RTC::UniqueId) override {
        while (m_in.isNew()) {
            if (m_in.read())
                std::cout << "got " << m_map.tm.sec << " " << m_map.width << "x" << m_map.height
                          << (pattern::intact(m_map) ? " ok" : " bad") << std::endl;
        }
        if (m_in.undecodable() != m_dropped) {
            m_dropped = m_in.undecodable();
            std::cout << "dropped " << m_dropped << std::endl;
        }
        return RTC::RTC_OK;
    }

private:
    QOR::TimedStereoData m_map;
    RTC::InPort<QOR::TimedStereoData> m_in;
    unsigned long long m_dropped = 0;
};

const char* const kProfile[] = {"implementation_id", "StereoConsumer", "type_name", "StereoConsumer",
                                "description", "test depth map consumer", "version", "1.0.0",
                                "vendor", "example.org", "category", "Test",
                                "activity_type", "PERIODIC", "kind", "DataFlowComponent",
                                "max_instance", "1", "language", "C++",
                                "lang_type", "compile", ""};

RTC::RTObject_impl* create(RTC::Manager* manager) { return new StereoConsumer(manager); }
void destroy(RTC::RTObject_impl* rtc) { delete rtc; }

void registerConsumer(RTC::Manager* manager) {
    coil::Properties profile(const_cast<const char**>(kProfile));
    manager->registerFactory(profile, create, destroy);
}

}  // namespace

int main(int argc, char** argv) {
    return frame::runComponentProgram(argc, argv, registerConsumer, "StereoConsumer");
}
