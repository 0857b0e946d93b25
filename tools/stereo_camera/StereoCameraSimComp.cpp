// StereoCameraSimComp: the program that hosts one synthetic stereo camera.
// Besides the middleware's own options it takes
//   --play FILE [--rate R | --as-recorded] [--loop]
// to publish a recording instead of the scene (the configuration keys camera.play,
// camera.play_rate and camera.play_loop); everything else goes to the middleware unread.
#include <frame/ComponentMain.h>

#include <iostream>
#include <string>
#include <vector>

#include "RecordingPlayer.h"
#include "StereoCameraSim.h"

namespace {

int usage(const std::string& why) {
    std::cerr << "StereoCameraSimComp: " << why
              << "\nusage: StereoCameraSimComp [middleware options] [--play FILE [--rate R | "
                 "--as-recorded] [--loop]]"
              << std::endl;
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args{argv[0]};
    std::string play, rate;
    bool loop = false, paced = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--play" || a == "--rate") {
            if (i + 1 >= argc) return usage(a + " needs a value");
            (a == "--play" ? play : rate) = argv[++i];
            paced = paced || a == "--rate";
        } else if (a == "--as-recorded") {
            if (paced) return usage("--rate and --as-recorded exclude each other");
            rate = "0";
            paced = true;
        } else if (a == "--loop") {
            loop = true;
        } else {
            args.push_back(a);
        }
    }
    if (play.empty() && (paced || loop))
        return usage("--rate, --as-recorded and --loop need --play");
    if (!play.empty()) {
        // A file that cannot be played is refused before the component starts.
        try {
            RecordingPlayer check(play, 0, false);
        } catch (const recording::RecordingError& e) {
            std::cerr << "StereoCameraSimComp: cannot play " << play << ": " << e.what()
                      << std::endl;
            return 1;
        }
        for (const std::string& o : {"camera.play:" + play, "camera.play_rate:" + rate,
                                     std::string(loop ? "camera.play_loop:YES" : "")}) {
            if (o.empty() || o == "camera.play_rate:") continue;
            args.push_back("-o");
            args.push_back(o);
        }
    }
    std::vector<char*> pointers;
    for (std::string& a : args) pointers.push_back(&a[0]);
    pointers.push_back(nullptr);
    return frame::runComponentProgram(static_cast<int>(args.size()), pointers.data(),
                                      StereoCameraSimInit, "StereoCameraSim");
}
