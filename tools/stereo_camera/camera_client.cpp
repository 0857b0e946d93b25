// A small client of StereoCameraService: asks a camera for a frame, a depth map and both, and
// prints what came back. Usage: camera_client [-n host:port] NAME|IOR
//   NAME is the camera component's instance name (its service is bound beside it as
//   "<host>.host_cxt/<NAME>.StereoCameraService"), or a naming path, or an IOR or corbaloc URL.
#include <StereoCameraService.hh>
#include <omniORB4/Naming.hh>
#include <unistd.h>

#include <cmath>
#include <iostream>
#include <string>

#include "ServiceName.h"

namespace {

int fail(const std::string& why) {
    std::cerr << "camera_client: " << why << std::endl;
    return 1;
}

void describe(const char* what, const QOR::TimedStereoData& m) {
    unsigned holes = 0;
    for (CORBA::ULong i = 0; i < m.data.length(); ++i)
        if (!(m.data[i].z > 0)) ++holes;
    std::cout << what << ": depth map " << m.width << "x" << m.height << ", " << m.data.length()
              << " points, " << holes << " without depth, tm " << m.tm.sec << "." << m.tm.nsec
              << std::endl;
}

void describe(const char* what, const QOR::TimedImageData& f) {
    std::cout << what << ": frame " << f.data.width << "x" << f.data.height << "x"
              << f.data.nChannels << " depth " << f.data.depth << ", widthStep "
              << f.data.widthStep << ", " << f.data.imgData.length() << " bytes, tm " << f.tm.sec
              << "." << f.tm.nsec << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
    std::string naming = "localhost:2809", target;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-n" && i + 1 < argc) naming = argv[++i];
        else if (a == "-h" || a == "--help") {
            std::cout << "usage: camera_client [-n host:port] NAME|PATH|IOR" << std::endl;
            return 0;
        } else target = a;
    }
    if (target.empty()) return fail("name a camera (see --help)");
    const char* options[][2] = {{"giopMaxMsgSize", "134217728"}, {nullptr, nullptr}};
    int orbArgc = 0;
    CORBA::ORB_var orb = CORBA::ORB_init(orbArgc, nullptr, "omniORB4", options);
    try {
        CORBA::Object_var obj;
        if (target.compare(0, 4, "IOR:") == 0 || target.compare(0, 9, "corbaloc:") == 0) {
            obj = orb->string_to_object(target.c_str());
        } else {
            if (target.find('/') == std::string::npos) {
                char host[256] = {};
                ::gethostname(host, sizeof host - 1);
                target = cameraServicePath(host, target);
            }
            CORBA::Object_var nsObj = orb->string_to_object(
                ("corbaloc::" + naming + "/NameService").c_str());
            CosNaming::NamingContextExt_var ns = CosNaming::NamingContextExt::_narrow(nsObj);
            if (CORBA::is_nil(ns)) return fail("no naming service at " + naming);
            obj = ns->resolve_str(target.c_str());
        }
        QOR::StereoCameraService_var camera = QOR::StereoCameraService::_narrow(obj);
        if (CORBA::is_nil(camera)) return fail(target + " is not a StereoCameraService");
        QOR::TimedImageData_var image = camera->GetImage();
        describe("GetImage", image.in());
        QOR::TimedStereoData_var map = camera->GetStereo(0);
        describe("GetStereo", map.in());
        QOR::TimedImageAndStereoData_var both = camera->GetImageAndStereoData();
        describe("GetImageAndStereoData", both->stereo);
        describe("GetImageAndStereoData", both->image);
    } catch (const CosNaming::NamingContext::NotFound&) {
        return fail("no " + target + " in the naming service at " + naming);
    } catch (const CORBA::TRANSIENT&) {
        return fail("cannot reach " + target + " (is the naming service or the camera running?)");
    } catch (const CORBA::Exception& e) {
        return fail(std::string("call failed: ") + e._name());
    }
    orb->destroy();
    return 0;
}
