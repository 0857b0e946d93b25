// MorvaneBench: MorvaneComp with the benchmark's probe (ShownProbe.h) around the production display
// cycle. The component, its port and its display are the production ones.
#include <frame/ComponentMain.h>

#include "Morvane.h"
#include "ShownProbe.h"

namespace {

class ProbedMorvane : public Morvane {
public:
    explicit ProbedMorvane(RTC::Manager* manager) : Morvane(manager) {}
    RTC::ReturnCode_t onExecute(RTC::UniqueId ec_id) override {
        const RTC::Time before = m_stereo.tm;
        const RTC::ReturnCode_t result = Morvane::onExecute(ec_id);
        benchprobe::cycleEnded(before, m_stereo.tm, m_stereoIn);
        return result;
    }
};

const char* const kProfile[] = {"implementation_id", "Morvane", "type_name", "Morvane",
                                "description", "Morvane with the benchmark probe", "version",
                                "1.0.0", "vendor", "qor-viewers.org", "category", "Viewer",
                                "activity_type", "PERIODIC", "kind", "DataFlowComponent",
                                "max_instance", "1", "language", "C++", "lang_type", "compile",
                                ""};

RTC::RTObject_impl* create(RTC::Manager* manager) { return new ProbedMorvane(manager); }
void destroy(RTC::RTObject_impl* rtc) { delete rtc; }

void registerProbed(RTC::Manager* manager) {
    coil::Properties profile(const_cast<const char**>(kProfile));
    manager->registerFactory(profile, create, destroy);
}

}  // namespace

int main(int argc, char** argv) {
    return frame::runComponentProgram(argc, argv, registerProbed, "Morvane");
}
