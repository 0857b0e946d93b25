// MorvaneBench and KalethBench: a viewer program with the benchmark's probe (ShownProbe.h) around
// the production display cycle. The component, its port and its display are the production
// ones. Built once per viewer (VIEWER_MORVANE or VIEWER_KALETH).
#include <frame/ComponentMain.h>

#if defined(VIEWER_MORVANE)
#include "Morvane.h"
#define VIEWER Morvane
#define VIEWER_NAME "Morvane"
#define VIEWER_VALUE m_stereo
#define VIEWER_PORT m_stereoIn
#else
#include "Kaleth.h"
#define VIEWER Kaleth
#define VIEWER_NAME "Kaleth"
#define VIEWER_VALUE m_InputImage
#define VIEWER_PORT m_InputImageIn
#endif

#include "ShownProbe.h"

namespace {

class Probed : public VIEWER {
public:
    explicit Probed(RTC::Manager* manager) : VIEWER(manager) {}
    RTC::ReturnCode_t onExecute(RTC::UniqueId ec_id) override {
        const RTC::Time before = VIEWER_VALUE.tm;
        const RTC::ReturnCode_t result = VIEWER::onExecute(ec_id);
        benchprobe::cycleEnded(before, VIEWER_VALUE.tm, VIEWER_PORT);
        return result;
    }
};

const char* const kProfile[] = {"implementation_id", VIEWER_NAME, "type_name", VIEWER_NAME,
                                "description", VIEWER_NAME " with the benchmark probe", "version",
                                "1.0.0", "vendor", "qor-viewers.org", "category", "Viewer",
                                "activity_type", "PERIODIC", "kind", "DataFlowComponent",
                                "max_instance", "1", "language", "C++", "lang_type", "compile",
                                ""};

RTC::RTObject_impl* create(RTC::Manager* manager) { return new Probed(manager); }
void destroy(RTC::RTObject_impl* rtc) { delete rtc; }

void registerProbed(RTC::Manager* manager) {
    coil::Properties profile(const_cast<const char**>(kProfile));
    manager->registerFactory(profile, create, destroy);
}

}  // namespace

int main(int argc, char** argv) {
    return frame::runComponentProgram(argc, argv, registerProbed, VIEWER_NAME);
}
