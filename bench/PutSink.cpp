// put_sink_stereo / put_sink_image: the server side of the loopback put benchmark. One component,
// "PutSink", with an input port "in" of the program's type (QOR::TimedStereoData, or
// QOR::TimedImageData when built with PUT_SINK_IMAGE), whose ring every cycle empties without
// decoding: the client times put() alone, and a full ring must not turn puts into overwrites.
#ifdef PUT_SINK_IMAGE
#include <ImageData.hh>
using SinkType = QOR::TimedImageData;
#else
#include <StereoCameraService.hh>
using SinkType = QOR::TimedStereoData;
#endif
#include <frame/ComponentMain.h>
#include <rtm/DataFlowComponentBase.h>
#include <rtm/InPort.h>

namespace {

class DrainedPort : public RTC::InPort<SinkType> {
public:
    DrainedPort(const char* name, SinkType& value) : RTC::InPort<SinkType>(name, value) {}
    void drain() {
        while (takeOldest(m_slot)) {
        }
    }

private:
    RTC::CdrSlot m_slot;
};

class PutSink : public RTC::DataFlowComponentBase {
public:
    explicit PutSink(RTC::Manager* manager)
        : RTC::DataFlowComponentBase(manager), m_in("in", m_value) {}
    RTC::ReturnCode_t onInitialize() override {
        addInPort("in", m_in);
        return RTC::RTC_OK;
    }
    RTC::ReturnCode_t onExecute(RTC::UniqueId) override {
        m_in.drain();
        return RTC::RTC_OK;
    }

private:
    SinkType m_value;
    DrainedPort m_in;
};

const char* const kProfile[] = {"implementation_id", "PutSink", "type_name", "PutSink",
                                "description", "benchmark input port", "version", "1.0.0",
                                "vendor", "qor-viewers.org", "category", "Bench",
                                "activity_type", "PERIODIC", "kind", "DataFlowComponent",
                                "max_instance", "1", "language", "C++", "lang_type", "compile",
                                ""};

RTC::RTObject_impl* create(RTC::Manager* manager) { return new PutSink(manager); }
void destroy(RTC::RTObject_impl* rtc) { delete rtc; }

void registerSink(RTC::Manager* manager) {
    coil::Properties profile(const_cast<const char**>(kProfile));
    manager->registerFactory(profile, create, destroy);
}

}  // namespace

int main(int argc, char** argv) {
    return frame::runComponentProgram(argc, argv, registerSink, "PutSink");
}
