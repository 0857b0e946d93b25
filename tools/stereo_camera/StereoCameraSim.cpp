#include "StereoCameraSim.h"

#include <coil/stringutil.h>

#include <cstdlib>
#include <ctime>
#include <iostream>
#include <new>
#include <string>

#include "RecordedType.h"

namespace {

// The context's rate while playing: values go out within a millisecond of when they are due.
constexpr double kPlayTickRate = 1000.0;

const char* stereo_camera_profile[] = {
    "implementation_id", "StereoCameraSim",
    "type_name",         "StereoCameraSim",
    "description",       "Synthetic stereo camera: moving depth maps and camera frames",
    "version",           "1.0.0",
    "vendor",            "qor-viewers.org",
    "category",          "Camera",
    "activity_type",     "PERIODIC",
    "kind",              "DataFlowComponent",
    "max_instance",      "0",
    "language",          "C++",
    "lang_type",         "compile",
    "",
};

long numberFrom(const coil::Properties& config, const char* key, long fallback, long lo, long hi) {
    const std::string text = config.getProperty(key);
    if (text.empty()) return fallback;
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (end == text.c_str() || *end != '\0' || v < lo || v > hi) {
        std::cerr << "StereoCameraSim: ignoring " << key << " \"" << text << "\" (expected "
                  << lo << ".." << hi << ")" << std::endl;
        return fallback;
    }
    return v;
}

void stamp(RTC::Time& tm) {
    timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    tm.sec = static_cast<CORBA::ULong>(now.tv_sec);
    tm.nsec = static_cast<CORBA::ULong>(now.tv_nsec);
}

RTC::RTObject_impl* create(RTC::Manager* manager) {
    return new (std::nothrow) StereoCameraSim(manager);
}

void destroy(RTC::RTObject_impl* rtc) { delete rtc; }

}  // namespace

StereoCameraSim::StereoCameraSim(RTC::Manager* manager)
    : RTC::DataFlowComponentBase(manager),
      m_stereoOut("stereo", m_stereo),
      m_imageOut("image", m_image),
      m_service(new CameraService) {}

StereoCameraSim::~StereoCameraSim() = default;

RTC::ReturnCode_t StereoCameraSim::onInitialize() {
    addOutPort("stereo", m_stereoOut);
    addOutPort("image", m_imageOut);
    coil::Properties none;
    const coil::Properties& config = m_pManager ? m_pManager->getConfig() : none;
    const long width = numberFrom(config, "camera.width", 320, 16, 4096);
    const long height = numberFrom(config, "camera.height", 240, 16, 4096);
    m_scene.reset(new SyntheticScene(static_cast<int>(width), static_cast<int>(height)));
    m_start = std::chrono::steady_clock::now();
    openRecording(config);
    if (m_pManager) publishService(config);
    return RTC::RTC_OK;
}

void StereoCameraSim::openRecording(const coil::Properties& config) {
    m_playPath = config.getProperty("camera.play");
    if (m_playPath.empty()) return;
    m_playing = true;
    const std::string rateText = config.getProperty("camera.play_rate", "0");
    char* end = nullptr;
    double rate = std::strtod(rateText.c_str(), &end);
    if (end == rateText.c_str() || *end != '\0' || !(rate == 0 || (rate >= 0.01 && rate <= 1000))) {
        std::cerr << "StereoCameraSim: ignoring camera.play_rate \"" << rateText
                  << "\" (expected 0.01..1000, or 0 for the recorded pace)" << std::endl;
        rate = 0;
    }
    const bool loop = coil::toBool(config.getProperty("camera.play_loop"), "YES", "NO", false);
    try {
        m_player.reset(new RecordingPlayer(m_playPath, rate, loop));
        std::cerr << "StereoCameraSim: playing " << m_playPath << ": " << m_player->describe()
                  << std::endl;
    } catch (const recording::RecordingError& e) {
        std::cerr << "StereoCameraSim: cannot play " << m_playPath << ": " << e.what()
                  << "; publishing nothing" << std::endl;
    }
}

void StereoCameraSim::publishService(const coil::Properties& config) {
    try {
        PortableServer::POA_var poa = m_pManager->getPOA();
        PortableServer::ObjectId_var id = poa->activate_object(m_service.in());
        CORBA::Object_var ref = poa->id_to_reference(id.in());
        CORBA::ORB_var orb = m_pManager->getORB();
        if (coil::toBool(config.getProperty("naming.enable"), "YES", "NO", false)) {
            // Checked as often as the middleware checks the components' names.
            double seconds = 0.0;
            if (coil::toBool(config.getProperty("naming.update.enable", "YES"), "YES", "NO",
                             false)) {
                const std::string text = config.getProperty("naming.update.interval", "10");
                char* end = nullptr;
                seconds = std::strtod(text.c_str(), &end);
                if (end == text.c_str() || !(seconds >= 0.1 && seconds <= 86400.0)) seconds = 10.0;
            }
            m_serviceName.reset(new CameraServiceName(
                orb, ref, config.getProperty("corba.nameservers"),
                config.getProperty("os.hostname"), getInstanceName(),
                std::chrono::milliseconds(static_cast<long>(seconds * 1000))));
        }
        CORBA::String_var ior = orb->object_to_string(ref);
        const std::string target = config.getProperty("camera.service_ior");
        if (target == "-") std::cout << getInstanceName() << " StereoCameraService " << ior.in()
                                     << std::endl;
    } catch (const CORBA::Exception& e) {
        std::cerr << "StereoCameraSim: cannot serve StereoCameraService (" << e._name() << ")"
                  << std::endl;
    }
}

RTC::ReturnCode_t StereoCameraSim::onFinalize() {
    // While the ORB still serves: the name leaves the naming services with the component.
    m_serviceName.reset();
    return RTC::RTC_OK;
}

// The rate is set when activated rather than at start-up: the context's reference is there for
// certain only once the component is registered, and before then nothing is rendered anyway.
RTC::ReturnCode_t StereoCameraSim::onActivated(RTC::UniqueId ec_id) {
    coil::Properties none;
    const coil::Properties& config = m_pManager ? m_pManager->getConfig() : none;
    const double rate =
        m_playing ? kPlayTickRate
                  : static_cast<double>(numberFrom(config, "camera.rate", 15, 1, 1000));
    try {
        RTC::ExecutionContext_var ec = getExecutionContext(ec_id);
        if (!CORBA::is_nil(ec) && ec->get_rate() != rate) ec->set_rate(rate);
    } catch (const CORBA::Exception& e) {
        std::cerr << "StereoCameraSim: cannot set the rate (" << e._name() << ")" << std::endl;
    }
    m_start = std::chrono::steady_clock::now();
    if (m_player) m_player->restart(0.0);
    m_playedOut = false;
    return RTC::RTC_OK;
}

void StereoCameraSim::playDue() {
    if (!m_player) return;
    const double t =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
    RecordingPlayer::Step step;
    bool littleEndian = true;
    bool wrote = false;
    while (m_player->next(t, step, m_playBuffer, littleEndian)) {
        if (step.target == RecordingPlayer::Target::DepthMap) {
            if (!recording::decodeRecorded(m_playBuffer, littleEndian, m_stereo)) {
                m_player->countUndecodable();
                continue;
            }
            m_stereoOut.write();
        } else {
            if (!recording::decodeRecorded(m_playBuffer, littleEndian, m_image)) {
                m_player->countUndecodable();
                continue;
            }
            m_imageOut.write();
        }
        wrote = true;
    }
    if (wrote) m_service->update(m_image, m_stereo);
    if (m_player->finished() && !m_playedOut) {
        m_playedOut = true;
        std::cerr << "StereoCameraSim: played " << m_playPath << " to its end";
        if (m_player->skipped() > 0)
            std::cerr << ", skipping " << m_player->skipped()
                      << " values that did not read or decode";
        std::cerr << std::endl;
    }
}

RTC::ReturnCode_t StereoCameraSim::onExecute(RTC::UniqueId) {
    if (m_playing) {
        playDue();
        return RTC::RTC_OK;
    }
    const double t =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
    m_scene->renderDepth(t, m_stereo);
    m_scene->renderImage(t, m_image);
    stamp(m_stereo.tm);
    m_image.tm = m_stereo.tm;
    m_stereoOut.write();
    m_imageOut.write();
    m_service->update(m_image, m_stereo);
    return RTC::RTC_OK;
}

extern "C" {

void StereoCameraSimInit(RTC::Manager* manager) {
    coil::Properties profile(stereo_camera_profile, 2147483647);
    manager->registerFactory(profile, create, destroy);
}
}
