// FlowSink: a component program that only takes depth maps: it reads every new value of its input
// port "stereo" into its variable (the decoding a viewer does, without the colouring and the
// window) and prints the probe's line for each (ShownProbe.h). The end-to-end benchmark uses it
// to time a transport between two processes apart from what a viewer adds.
#include <StereoCameraService.hh>
#include <frame/ComponentMain.h>
#include <rtm/DataFlowComponentBase.h>
#include <rtm/InPort.h>

#include "ShownProbe.h"

namespace {

class FlowSink : public RTC::DataFlowComponentBase {
public:
    explicit FlowSink(RTC::Manager* manager)
        : RTC::DataFlowComponentBase(manager), m_in("stereo", m_map) {}

    RTC::ReturnCode_t onInitialize() override {
        addInPort("stereo", m_in);
        m_arrivals = benchprobe::watchArrivals(m_in);
        return RTC::RTC_OK;
    }
    RTC::ReturnCode_t onExecute(RTC::UniqueId) override {
        while (m_in.isNew()) {
            const RTC::Time before = m_map.tm;
            benchprobe::cycleStarted();
            if (m_in.read()) benchprobe::cycleEnded(before, m_map.tm, m_in, m_arrivals.get());
        }
        return RTC::RTC_OK;
    }

private:
    QOR::TimedStereoData m_map;
    RTC::InPort<QOR::TimedStereoData> m_in;
    std::shared_ptr<benchprobe::Arrivals> m_arrivals;
};

const char* const kProfile[] = {"implementation_id", "FlowSink", "type_name", "FlowSink",
                                "description", "takes depth maps for the benchmarks", "version",
                                "1.0.0", "vendor", "qor-viewers.org", "category", "Benchmark",
                                "activity_type", "PERIODIC", "kind", "DataFlowComponent",
                                "max_instance", "1", "language", "C++", "lang_type", "compile",
                                ""};

RTC::RTObject_impl* create(RTC::Manager* manager) { return new FlowSink(manager); }
void destroy(RTC::RTObject_impl* rtc) { delete rtc; }

void registerSink(RTC::Manager* manager) {
    coil::Properties profile(const_cast<const char**>(kProfile));
    manager->registerFactory(profile, create, destroy);
}

}  // namespace

int main(int argc, char** argv) {
    return frame::runComponentProgram(argc, argv, registerSink, "FlowSink");
}
