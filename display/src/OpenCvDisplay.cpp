#include "display/Display.h"

#include <opencv2/highgui.hpp>

#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace display {
namespace {

struct Availability {
    bool ok;
    std::string why;
};

// Xlib is loaded at run time so that no X development package is needed to build.
Availability probeX11() {
    const char* name = std::getenv("DISPLAY");
    if (name == nullptr || *name == '\0')
        return {false, "no display: DISPLAY is not set and QT_QPA_PLATFORM names no headless platform"};
    void* lib = ::dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr)
        return {false, std::string("no display: cannot load libX11.so.6: ") + ::dlerror()};
    using OpenFn = void* (*)(const char*);
    using CloseFn = int (*)(void*);
    const auto open = reinterpret_cast<OpenFn>(::dlsym(lib, "XOpenDisplay"));
    const auto close = reinterpret_cast<CloseFn>(::dlsym(lib, "XCloseDisplay"));
    Availability result{false, std::string("no display: cannot connect to the X server on DISPLAY=") + name};
    if (open == nullptr || close == nullptr) {
        result.why = "no display: libX11.so.6 lacks XOpenDisplay";
    } else if (void* connection = open(name)) {
        close(connection);
        result = {true, std::string()};
    }
    ::dlclose(lib);
    return result;
}

Availability probeWayland() {
    const char* name = std::getenv("WAYLAND_DISPLAY");
    std::string path = name != nullptr && *name != '\0' ? name : "wayland-0";
    if (path[0] != '/') {
        const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
        if (runtimeDir == nullptr || *runtimeDir == '\0')
            return {false, "no display: QT_QPA_PLATFORM names Wayland but XDG_RUNTIME_DIR is not set"};
        path = std::string(runtimeDir) + "/" + path;
    }
    Availability result{false, "no display: cannot connect to the Wayland compositor at " + path};
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return result;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return result;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        result = {true, std::string()};
    ::close(fd);
    return result;
}

// Qt takes QT_QPA_PLATFORM as "name[:options]", and Debian's Qt falls back to xcb when it is unset.
Availability probe() {
    const char* requested = std::getenv("QT_QPA_PLATFORM");
    std::string platform = requested != nullptr ? requested : "";
    platform = platform.substr(0, platform.find(':'));
    if (platform == "offscreen" || platform == "minimal" || platform == "vnc") return {true, std::string()};
    if (platform.empty() || platform == "xcb") return probeX11();
    if (platform.compare(0, 7, "wayland") == 0) return probeWayland();
    return {false, "no display: QT_QPA_PLATFORM=" + platform + " is a platform this program cannot check"};
}

const Availability& availability() {
    static const Availability s_availability = probe();
    return s_availability;
}

void requireDisplay() {
    const Availability& a = availability();
    if (!a.ok) throw std::runtime_error(a.why);
}

std::mutex s_windowsMutex;  // guards s_windows
std::map<std::string, std::thread::id> s_windows;  // windows this seam opened -> opening thread

void remember(const std::string& name) {
    std::lock_guard<std::mutex> lock(s_windowsMutex);
    s_windows.emplace(name, std::this_thread::get_id());
}

}  // namespace

bool available(std::string& why) {
    const Availability& a = availability();
    if (!a.ok) why = a.why;
    return a.ok;
}

void createWindow(const std::string& name) {
    requireDisplay();
    cv::namedWindow(name, cv::WINDOW_AUTOSIZE);
    remember(name);
}

void destroyWindow(const std::string& name) noexcept {
    {
        std::lock_guard<std::mutex> lock(s_windowsMutex);
        const auto it = s_windows.find(name);
        if (it == s_windows.end() || it->second != std::this_thread::get_id()) return;
        s_windows.erase(it);
    }
    try {
        cv::destroyWindow(name);
    } catch (...) {
        // Closing is best effort: the window may already have been closed from its title bar.
    }
}

void showImage(const std::string& name, const cv::Mat& image) {
    requireDisplay();
    cv::imshow(name, image);
    remember(name);
}

int waitKey(int delayMs) {
    if (!availability().ok) return -1;
    return cv::waitKey(delayMs);
}

}  // namespace display
