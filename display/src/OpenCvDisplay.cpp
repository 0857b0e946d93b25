#include "display/Display.h"

#include <opencv2/highgui.hpp>

#include <QCoreApplication>
#include <QString>
#include <QThread>
#include <QtGlobal>

#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
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

// Guards the members below: which thread HighGUI serves, and which viewer holds it.
std::mutex s_guiMutex;
bool s_guiBound = false;
std::thread::id s_guiThread;
const void* s_owner = nullptr;
std::string s_ownerName;
std::string s_lastOwnerName;  // the owner whose thread HighGUI serves

// True when the calling thread may call HighGUI: the first thread to ask becomes its thread.
bool guiThread() {
    std::lock_guard<std::mutex> lock(s_guiMutex);
    if (!s_guiBound) {
        s_guiBound = true;
        s_guiThread = std::this_thread::get_id();
        s_lastOwnerName = s_ownerName;
    }
    return s_guiThread == std::this_thread::get_id();
}

void requireDisplay() {
    const Availability& a = availability();
    if (!a.ok) throw std::runtime_error(a.why);
    if (!guiThread())
        throw std::runtime_error("HighGUI already serves the windows of another thread of this process");
}

struct OpenWindow {
    std::thread::id owner;  // the thread that opened it
    bool seenVisible;       // HighGUI has reported it visible since it was opened
    bool closedByUser;      // hidden since from its title bar: stays closed until createWindow()
};

std::mutex s_windowsMutex;  // guards s_windows
std::map<std::string, OpenWindow> s_windows;  // the windows this seam opened

// The window `name` when this thread opened it, else null; s_windowsMutex must be held.
OpenWindow* ownWindow(const std::string& name) {
    const auto it = s_windows.find(name);
    return it != s_windows.end() && it->second.owner == std::this_thread::get_id() ? &it->second
                                                                                   : nullptr;
}

void remember(const std::string& name) {
    std::lock_guard<std::mutex> lock(s_windowsMutex);
    s_windows.emplace(name, OpenWindow{std::this_thread::get_id(), false, false});
}

// Whether the user closed the window `name` from its title bar. HighGUI then only hides it, and
// its next imshow would bring it straight back; it is kept closed instead.
bool closedByUser(const std::string& name) {
    {
        std::lock_guard<std::mutex> lock(s_windowsMutex);
        const OpenWindow* w = ownWindow(name);
        if (w == nullptr) return false;
        if (w->closedByUser) return true;
    }
    double visible = 0;
    try {
        visible = cv::getWindowProperty(name, cv::WND_PROP_VISIBLE);
    } catch (const cv::Exception&) {
        return false;
    }
    std::lock_guard<std::mutex> lock(s_windowsMutex);
    OpenWindow* w = ownWindow(name);
    if (w == nullptr) return false;
    if (visible >= 1) {
        w->seenVisible = true;
        return false;
    }
    if (!w->seenVisible) return false;
    w->closedByUser = true;
    std::fprintf(stderr,
                 "%s: the window \"%s\" was closed; it opens again when the viewer is next "
                 "activated\n",
                 program_invocation_short_name, name.c_str());
    return true;
}

// HighGUI's Qt objects (the application object and its timers, the connection to the display and
// Qt's thread reading it) belong to the thread that opened the first window, and have to go on
// that thread: left to the process's exit, they are destroyed from the main thread, which Qt
// refuses with warnings about timers. So they go when the thread that made them ends.
void tearDownThisThread() noexcept {
    {
        std::lock_guard<std::mutex> lock(s_windowsMutex);
        for (auto it = s_windows.begin(); it != s_windows.end();)
            it = it->second.owner == std::this_thread::get_id() ? s_windows.erase(it)
                                                                : std::next(it);
    }
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr || app->thread() != QThread::currentThread()) return;
    try {
        cv::destroyAllWindows();
    } catch (...) {
        // HighGUI refuses when its last window is already gone.
    }
    QCoreApplication::sendPostedEvents();
    delete app;
}

struct ThreadTeardown {
    ~ThreadTeardown() { tearDownThisThread(); }
};

std::atomic<void (*)()> s_leave{nullptr};
std::atomic<QtMessageHandler> s_qtHandler{nullptr};  // the handler ours stands in front of

[[noreturn]] void displayLost(const char* variable, const QString& message) {
    static std::atomic_flag s_leaving = ATOMIC_FLAG_INIT;
    if (s_leaving.test_and_set())
        for (;;) ::pause();  // another thread is leaving already
    const char* name = std::getenv(variable);
    std::fprintf(stderr, "%s: lost the display \"%s\": %s\n", program_invocation_short_name,
                 name != nullptr ? name : "", message.toLocal8Bit().constData());
    if (void (*leave)() = s_leave.load()) leave();
    std::fflush(nullptr);
    ::_exit(1);
}

// Qt's X11 and Wayland platforms write these just before they end the process, on the thread
// that services the windows; this is the last moment to leave in order.
void onQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message.startsWith(QLatin1String("The X11 connection broke")))
        displayLost("DISPLAY", message);
    if (message.startsWith(QLatin1String("The Wayland connection broke")))
        displayLost("WAYLAND_DISPLAY", message);
    if (QtMessageHandler next = s_qtHandler.load())
        next(type, context, message);
    else
        std::fprintf(stderr, "%s\n",
                     qFormatLogMessage(type, context, message).toLocal8Bit().constData());
}

// Called before every HighGUI call: the first call on a thread arranges its teardown.
void ownedByThisThread() {
    static std::once_flag s_handlerInstalled;
    std::call_once(s_handlerInstalled, [] { s_qtHandler = qInstallMessageHandler(onQtMessage); });
    static thread_local ThreadTeardown s_teardown;
    (void)s_teardown;
}

}  // namespace

bool claimDisplay(const void* owner, const std::string& ownerName, std::string& why) {
    std::lock_guard<std::mutex> lock(s_guiMutex);
    if (s_owner == owner) return true;
    if (s_owner) {
        why = "HighGUI serves the windows of one thread per process, and " + s_ownerName +
              " holds it";
        return false;
    }
    if (s_guiBound) {
        why = "HighGUI serves the windows of one thread per process, and stays with the thread of " +
              (s_lastOwnerName.empty() ? std::string("an earlier window") : s_lastOwnerName);
        return false;
    }
    s_owner = owner;
    s_ownerName = ownerName;
    return true;
}

void releaseDisplay(const void* owner) noexcept {
    std::lock_guard<std::mutex> lock(s_guiMutex);
    if (s_owner != owner) return;
    s_owner = nullptr;
    s_ownerName.clear();
}

bool available(std::string& why) {
    const Availability& a = availability();
    if (!a.ok) why = a.why;
    return a.ok;
}

void createWindow(const std::string& name) {
    requireDisplay();
    ownedByThisThread();
    if (closedByUser(name)) destroyWindow(name);
    cv::namedWindow(name, cv::WINDOW_AUTOSIZE);
    remember(name);
}

void destroyWindow(const std::string& name) noexcept {
    {
        std::lock_guard<std::mutex> lock(s_windowsMutex);
        if (ownWindow(name) == nullptr) return;
        s_windows.erase(name);
    }
    try {
        cv::destroyWindow(name);
    } catch (...) {
        // Closing is best effort: the window may already have been closed from its title bar.
    }
}

void showImage(const std::string& name, const cv::Mat& image) {
    requireDisplay();
    ownedByThisThread();
    if (closedByUser(name)) return;
    cv::imshow(name, image);
    remember(name);
}

void onDisplayLost(void (*leave)()) { s_leave = leave; }

int waitKey(int delayMs) {
    if (!availability().ok || !guiThread()) return -1;
    ownedByThisThread();
    return cv::waitKey(delayMs);
}

}  // namespace display
