// The synthetic camera's StereoCameraService, found by name in a real naming service and called
// from another process; the camera program then ends cleanly with its servant still active.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include "ChildProcess.h"
#include "Orb.h"
#include "RecordingWriter.h"
#include "remote/Processes.h"
#include "remote/StereoPattern.h"

namespace {

using namespace std::chrono_literals;

TEST(CameraService, AnswersByNameAndTheCameraEndsCleanly) {
    remotetest::NamingService naming;
    ASSERT_TRUE(naming.ready());
    remotetest::Component camera(CAMERA_PATH, naming.address(),
                                 {"camera.width:64", "camera.height:48"});
    ASSERT_FALSE(camera.ior().empty()) << camera.output();
    ASSERT_EQ(0, remotetest::rtctl(naming.address(), {"activate", "StereoCameraSim0"}).status);

    // Before its first period the camera answers empty values; ask until it has rendered one.
    std::string out;
    for (auto deadline = std::chrono::steady_clock::now() + 20s;
         out.find("GetImage: frame 65x48") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline;) {
        testsupport::ChildProcess client(
            {CLIENT_PATH, "-n", naming.address(), "StereoCameraSim0"}, {}, /*captureStderr=*/true);
        ASSERT_TRUE(client.wait(30s));
        std::string line;
        while (client.readLine(line, 1s)) {
        }
        ASSERT_TRUE(WIFEXITED(client.status()) && WEXITSTATUS(client.status()) == 0)
            << client.output();
        out = client.output();
    }
    EXPECT_NE(std::string::npos, out.find("GetImage: frame 65x48x3 depth 8, widthStep 196")) << out;
    EXPECT_NE(std::string::npos, out.find("GetStereo: depth map 64x48, 3072 points")) << out;
    EXPECT_NE(std::string::npos, out.find("GetImageAndStereoData: depth map 64x48")) << out;

    camera.process().signal(SIGTERM);
    ASSERT_TRUE(camera.process().wait(20s));
    EXPECT_TRUE(WIFEXITED(camera.process().status()) && WEXITSTATUS(camera.process().status()) == 0)
        << camera.output();
}

// rtctl's probes read any output port without knowing its type: the camera's frames and maps,
// over either transport.
TEST(CameraService, ProbesMeasureTheCamerasPorts) {
    remotetest::NamingService naming;
    ASSERT_TRUE(naming.ready());
    remotetest::Component camera(CAMERA_PATH, naming.address(),
                                 {"camera.width:64", "camera.height:48", "camera.rate:30"});
    ASSERT_FALSE(camera.ior().empty()) << camera.output();
    ASSERT_EQ(0, remotetest::rtctl(naming.address(), {"activate", "StereoCameraSim0"}).status);
    const auto bw =
        remotetest::rtctl(naming.address(), {"bw", "StereoCameraSim0:image", "--count", "5", "-p",
                                             "dataport.interface_type=shared_memory"});
    EXPECT_EQ(0, bw.status) << bw.output;
    // 48 rows of 196 bytes (65 pixels of 3 bytes, padded), with the stamp and the sizes.
    EXPECT_NE(std::string::npos, bw.output.find("MB/s, mean value 9.4 kB (")) << bw.output;
    // The stamp read in either byte order: a stamp misread would be years off.
    for (const char* order : {"little", "big"}) {
        const auto delay = remotetest::rtctl(
            naming.address(), {"delay", "StereoCameraSim0:stereo", "--count", "5", "-p",
                               std::string("dataport.serializer.cdr.endian=") + order});
        EXPECT_EQ(0, delay.status) << delay.output;
        double mean = -1;
        EXPECT_EQ(1, std::sscanf(delay.output.c_str(), "delay mean %lf ms", &mean)) << delay.output;
        EXPECT_TRUE(mean >= 0 && mean < 60000) << order << ": " << delay.output;
    }
    const auto shown = remotetest::rtctl(naming.address(), {"show", "StereoCameraSim0"});
    EXPECT_EQ(std::string::npos, shown.output.find("rtctl.probe")) << shown.output;
}

// Everything bound in the naming service comes back after it restarts empty: the camera's
// component and service, and a master's manager object.
TEST(CameraService, ItsNamesComeBackWhenTheNamingServiceRestarts) {
    auto naming = std::make_unique<remotetest::NamingService>();
    ASSERT_TRUE(naming->ready());
    const std::string address = naming->address();
    const int port = std::stoi(address.substr(address.find(':') + 1));
    const std::string host = remotetest::hostName() + ".host_cxt/";
    std::vector<std::string> names = {host + "StereoCameraSim0.rtc",
                                      host + "StereoCameraSim0.StereoCameraService"};
    remotetest::Component camera(CAMERA_PATH, address, {"naming.update.interval:0.3"});
    ASSERT_FALSE(camera.ior().empty()) << camera.output();
#ifdef RTCD_PATH
    char dir[] = "/tmp/camera-service-test-XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(dir));
    remotetest::Component master(
        RTCD_PATH, address,
        {"manager.is_master:YES", "naming.update.interval:0.3",
         "corba.master_manager:127.0.0.1:" + std::to_string(testsupport::freeLoopbackPort()),
         "corba.ior_file:" + std::string(dir) + "/ior"});
    names.push_back(host + "manager.mgr");
#endif
    ASSERT_TRUE(remotetest::listed(address, names, 20s)) << camera.output();

    naming.reset();
    naming = std::make_unique<remotetest::NamingService>(port);
    ASSERT_TRUE(naming->ready()) << "omniNames did not start again on " << port;
    EXPECT_TRUE(remotetest::listed(address, names, 20s)) << camera.output();

    camera.process().signal(SIGTERM);
    EXPECT_TRUE(camera.process().wait(20s));
#ifdef RTCD_PATH
    master.process().signal(SIGTERM);
    EXPECT_TRUE(master.process().wait(20s));
    (void)!std::system(("rm -rf '" + std::string(dir) + "'").c_str());
#endif
}

TEST(CameraService, FramesReachAnImageConsumerOverSharedMemoryInEitherByteOrder) {
    remotetest::NamingService naming;
    ASSERT_TRUE(naming.ready());
    remotetest::Component camera(CAMERA_PATH, naming.address(),
                                 {"camera.width:64", "camera.height:48", "camera.rate:30"});
    for (const char* endian : {"little,big", "big,little"}) {
        SCOPED_TRACE(endian);
        remotetest::Component images("image_consumer", naming.address());
        ASSERT_FALSE(images.ior().empty()) << images.output();
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"connect", "StereoCameraSim0:image",
                                       "ImageConsumer0:InputImage", "-p",
                                       "dataport.interface_type=shared_memory", "-p",
                                       std::string("dataport.serializer.cdr.endian=") + endian},
              {"activate", "ImageConsumer0"},
              {"activate", "StereoCameraSim0"}}) {
            const auto r = remotetest::rtctl(naming.address(), args);
            ASSERT_EQ(0, r.status) << r.output;
        }
        EXPECT_TRUE(images.expect(" 65x48 9408")) << images.output();
        remotetest::rtctl(naming.address(), {"deactivate", "StereoCameraSim0"});
        remotetest::rtctl(naming.address(), {"disconnect", "StereoCameraSim0:image"});
    }
    camera.process().signal(SIGTERM);
    EXPECT_TRUE(camera.process().wait(20s));
}

// A recording played by the camera reaches a consumer value for value and in order, no sooner
// than recorded; a value that no longer decodes is skipped and counted.
TEST(CameraService, PlaysARecordingAtItsRecordedPace) {
    testsupport::orb();
    char dir[] = "/tmp/camera-play-test-XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(dir));
    const std::string path = std::string(dir) + "/maps.qrec";
    {
        recording::RecordingWriter w(path, {{"Producer0:stereo", "TimedStereoData"}});
        QOR::TimedStereoData map;
        for (int i = 0; i < 6; ++i) {
            pattern::fill(map, 100 + i, 16, 8);
            cdrMemoryStream s;
            s.setByteSwapFlag(i % 2 == 0);
            map >>= s;
            const std::uint64_t at = 2000000000ull + 200000000ull * i;
            w.append(0, s.bufPtr(), s.bufSize(), i % 2 == 0, at);
            if (i == 2) w.append(0, s.bufPtr(), 30, true, at + 1);
        }
    }
    remotetest::NamingService naming;
    ASSERT_TRUE(naming.ready());
    remotetest::Component camera(CAMERA_PATH, naming.address(), {"camera.play:" + path});
    remotetest::Component maps("stereo_consumer", naming.address());
    ASSERT_FALSE(camera.ior().empty()) << camera.output();
    ASSERT_FALSE(maps.ior().empty()) << maps.output();
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"connect", "StereoCameraSim0:stereo", "StereoConsumer0:stereo"},
          {"activate", "StereoConsumer0"}}) {
        const auto r = remotetest::rtctl(naming.address(), args);
        ASSERT_EQ(0, r.status) << r.output;
    }
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(0, remotetest::rtctl(naming.address(), {"activate", "StereoCameraSim0"}).status);
    bool intact = false;
    const std::vector<unsigned long> got = maps.received(6, 20s, &intact);
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(got, (std::vector<unsigned long>{100, 101, 102, 103, 104, 105})) << maps.output();
    EXPECT_TRUE(intact) << maps.output();
    EXPECT_GE(took, 1.0);
    EXPECT_TRUE(camera.expect("played " + path + " to its end, skipping 1 values"))
        << camera.output();
    camera.process().signal(SIGTERM);
    EXPECT_TRUE(camera.process().wait(20s));
    (void)!std::system(("rm -rf '" + std::string(dir) + "'").c_str());
}

}  // namespace
