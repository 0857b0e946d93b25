// MorvaneBench and KalethBench: a viewer program with the benchmark's probe (ShownProbe.h) around
// the production display cycle. The component, its port and its display are the production
// ones. Built once per viewer (VIEWER_MORVANE or VIEWER_KALETH).
#include <frame/ComponentMain.h>

#include <cstring>
#include <memory>
#include <string>

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

#include <display/Display.h>

#include <dlfcn.h>

#include "ShownProbe.h"

// The display seam's calls, wrapped: defined here, they take the place of the display library's
// for every caller in the process, mark the cycle and go on to the library's own.
namespace display {

namespace {
template <class Fn>
Fn next(const char* symbol) {
    static_assert(sizeof(Fn) == sizeof(void*), "a function pointer");
    void* f = ::dlsym(RTLD_NEXT, symbol);
    Fn fn = nullptr;
    std::memcpy(&fn, &f, sizeof fn);
    return fn;
}
}  // namespace

void showImage(const std::string& name, const cv::Mat& image) {
    static const auto real = next<void (*)(const std::string&, const cv::Mat&)>(
        "_ZN7display9showImageERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEERKN2cv3MatE");
    benchprobe::CycleMarks& m = benchprobe::marks();
    if (m.showEntered == 0) m.showEntered = benchprobe::nowNs();
    real(name, image);
}

int waitKey(int delayMs) {
    static const auto real = next<int (*)(int)>("_ZN7display7waitKeyEi");
    const int key = real(delayMs);
    benchprobe::CycleMarks& m = benchprobe::marks();
    if (m.keyReturned == 0) m.keyReturned = benchprobe::nowNs();
    return key;
}

}  // namespace display

namespace {

class Probed : public VIEWER {
public:
    explicit Probed(RTC::Manager* manager) : VIEWER(manager) {}
    RTC::ReturnCode_t onInitialize() override {
        const RTC::ReturnCode_t result = VIEWER::onInitialize();
        m_arrivals = benchprobe::watchArrivals(VIEWER_PORT);
        return result;
    }
    RTC::ReturnCode_t onExecute(RTC::UniqueId ec_id) override {
        const RTC::Time before = VIEWER_VALUE.tm;
        benchprobe::cycleStarted();
        const RTC::ReturnCode_t result = VIEWER::onExecute(ec_id);
        benchprobe::cycleEnded(before, VIEWER_VALUE.tm, VIEWER_PORT, m_arrivals.get());
        return result;
    }

private:
    std::shared_ptr<benchprobe::Arrivals> m_arrivals;
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
