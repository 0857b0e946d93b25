// Reports what the real display seam does with no display: clears DISPLAY, QT_QPA_PLATFORM and
// WAYLAND_DISPLAY, applies the KEY=VALUE arguments, then asks for a window. Prints
// "available <0|1> <reason>" and then "shown" or "refused <reason>".
#include "display/Display.h"

#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string>

int main(int argc, char** argv) {
    ::unsetenv("DISPLAY");
    ::unsetenv("QT_QPA_PLATFORM");
    ::unsetenv("WAYLAND_DISPLAY");
    for (int i = 1; i < argc; ++i) {
        const std::string setting = argv[i];
        const auto eq = setting.find('=');
        if (eq != std::string::npos)
            ::setenv(setting.substr(0, eq).c_str(), setting.substr(eq + 1).c_str(), 1);
    }
    std::string why;
    const bool ok = display::available(why);
    std::cout << "available " << ok << " " << why << std::endl;
    try {
        display::createWindow("probe");
        display::showImage("probe", cv::Mat(8, 8, CV_8UC3, cv::Scalar::all(128)));
        display::waitKey(1);
        display::destroyWindow("probe");
        std::cout << "shown" << std::endl;
    } catch (const std::exception& e) {
        std::cout << "refused " << e.what() << std::endl;
    }
    return 0;
}
