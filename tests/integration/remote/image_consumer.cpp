// A component program for the tests, on the shared frame: "ImageConsumer" reads every new frame
// from its input port "InputImage" (QOR::TimedImageData, built from ImageData.idl alone) and
// prints "got <sec> <W>x<H> <bytes>".
#include <ImageData.hh>
#include <frame/ComponentMain.h>
#include <rtm/DataFlowComponentBase.h>
#include <rtm/InPort.h>

#include <iostream>

namespace {

class ImageConsumer : public RTC::DataFlowComponentBase {
public:
    explicit ImageConsumer(RTC::Manager* manager)
        : RTC::DataFlowComponentBase(manager), m_in("InputImage", m_frame) {}

    RTC::ReturnCode_t onInitialize() override {
        addInPort("InputImage", m_in);
        return RTC::RTC_OK;
    }
    RTC::ReturnCode_t onExecute(RTC::UniqueId) override {
        while (m_in.isNew()) {
            if (m_in.read())
                std::cout << "got " << m_frame.tm.sec << " " << m_frame.data.width << "x"
                          << m_frame.data.height << " " << m_frame.data.imgData.length()
                          << std::endl;
        }
        return RTC::RTC_OK;
    }

private:
    QOR::TimedImageData m_frame;
    RTC::InPort<QOR::TimedImageData> m_in;
};

const char* const kProfile[] = {"implementation_id", "ImageConsumer", "type_name", "ImageConsumer",
                                "description", "test frame consumer", "version", "1.0.0",
                                "vendor", "example.org", "category", "Test",
                                "activity_type", "PERIODIC", "kind", "DataFlowComponent",
                                "max_instance", "1", "language", "C++",
                                "lang_type", "compile", ""};

RTC::RTObject_impl* create(RTC::Manager* manager) { return new ImageConsumer(manager); }
void destroy(RTC::RTObject_impl* rtc) { delete rtc; }

void registerConsumer(RTC::Manager* manager) {
    coil::Properties profile(const_cast<const char**>(kProfile));
    manager->registerFactory(profile, create, destroy);
}

}  // namespace

int main(int argc, char** argv) {
    return frame::runComponentProgram(argc, argv, registerConsumer, "ImageConsumer");
}
