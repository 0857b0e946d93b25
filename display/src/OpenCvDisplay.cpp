#include "display/Display.h"

#include "DisplayThread.h"

#include <opencv2/highgui.hpp>

#include <QCursor>
#include <QPoint>
#include <QString>
#include <QtGlobal>

#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>

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

// The windows this seam opened. Display thread only.
struct OpenWindow {
    bool seenVisible = false;   // HighGUI has reported it visible since it was opened
    bool closedByUser = false;  // hidden since from its title bar: stays closed until created again
    PointerReadout readout;
    bool pointerOver = false;  // last seen over the image, at (pointerX, pointerY)
    int pointerX = 0;
    int pointerY = 0;
    std::string pointerText;  // the two parts of the status line
    std::string streamText;
    std::string shownText;  // the line in the status bar now
};
std::map<std::string, OpenWindow> s_windows;

// The names handed to HighGUI's mouse callbacks; never erased, so a callback that comes late
// still finds its name. Display thread only.
std::set<std::string> s_callbackNames;

// How long a window call waits for the display thread before it gives up.
constexpr std::chrono::seconds kAnswerLimit(10);

// Whether the user closed the window `name` from its title bar. HighGUI then only hides it, and
// its next imshow would bring it straight back; it is kept closed instead. Display thread only.
bool closedByUser(const std::string& name, OpenWindow& w) {
    if (w.closedByUser) return true;
    double visible = 0;
    try {
        visible = cv::getWindowProperty(name, cv::WND_PROP_VISIBLE);
    } catch (const cv::Exception&) {
        return false;
    }
    if (visible >= 1) {
        w.seenVisible = true;
        return false;
    }
    if (!w.seenVisible) return false;
    w.closedByUser = true;
    std::fprintf(stderr,
                 "%s: the window \"%s\" was closed; it opens again when the viewer is next "
                 "activated\n",
                 program_invocation_short_name, name.c_str());
    return true;
}

// Display thread only.
void closeWindow(const std::string& name) {
    if (s_windows.erase(name) == 0) return;
    DisplayThread::instance().setOpenWindows(s_windows.size());
    try {
        cv::destroyWindow(name);
    } catch (...) {
        // Closing is best effort: the window may already have been closed from its title bar.
    }
}

std::string ask(const PointerReadout& readout, int x, int y) {
    try {
        return readout(x, y);
    } catch (...) {
        return std::string();
    }
}

// Display thread only.
void showStatus(const std::string& name, OpenWindow& w) {
    std::string line = w.pointerText;
    if (!line.empty() && !w.streamText.empty()) line += "    ";
    line += w.streamText;
    if (line == w.shownText) return;
    w.shownText = line;
    try {
        cv::displayStatusBar(name, line, 0);
    } catch (const cv::Exception&) {
        // The window went between the check and the call.
    }
}

// HighGUI reports moves over the image but not leaving it; this asks where the pointer is now.
// Display thread only.
bool pointerOverImage(const std::string& name) {
    try {
        const cv::Rect image = cv::getWindowImageRect(name);
        const QPoint p = QCursor::pos();
        return image.contains(cv::Point(p.x(), p.y()));
    } catch (...) {
        return false;
    }
}

void onMouse(int event, int x, int y, int, void* userdata) {
    if (event != cv::EVENT_MOUSEMOVE || userdata == nullptr) return;
    const std::string& name = *static_cast<const std::string*>(userdata);
    const auto it = s_windows.find(name);
    if (it == s_windows.end() || !it->second.readout) return;
    OpenWindow& w = it->second;
    w.pointerOver = true;
    w.pointerX = x;
    w.pointerY = y;
    w.pointerText = ask(w.readout, x, y);
    showStatus(name, w);
}

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

// The display thread, started with the handler that turns a lost display into an orderly end.
DisplayThread& displayThread() {
    static std::once_flag s_handlerInstalled;
    std::call_once(s_handlerInstalled, [] { s_qtHandler = qInstallMessageHandler(onQtMessage); });
    return DisplayThread::instance();
}

// Runs `task` on the display thread and waits for it, rethrowing what it throws.
void onDisplayThread(std::function<void()> task) {
    const Availability& a = availability();
    if (!a.ok) throw std::runtime_error(a.why);
    if (!displayThread().run(std::move(task), kAnswerLimit))
        throw std::runtime_error("the display thread did not answer within 10 s, or has ended");
}

}  // namespace

bool available(std::string& why) {
    const Availability& a = availability();
    if (!a.ok) why = a.why;
    return a.ok;
}

void createWindow(const std::string& name) {
    onDisplayThread([name] {
        const auto it = s_windows.find(name);
        if (it != s_windows.end() && closedByUser(name, it->second)) closeWindow(name);
        cv::namedWindow(name, cv::WINDOW_AUTOSIZE);
        s_windows.emplace(name, OpenWindow());
        DisplayThread::instance().setOpenWindows(s_windows.size());
    });
}

void destroyWindow(const std::string& name) noexcept {
    DisplayThread* thread = DisplayThread::ifRunning();
    if (thread == nullptr) return;
    try {
        thread->run([name] { closeWindow(name); }, kAnswerLimit);
    } catch (...) {
        // closeWindow() throws nothing; only handing it over can fail (out of memory).
    }
}

void showImage(const std::string& name, const cv::Mat& image) {
    // The image is taken in (converted into the window's own buffer) before this returns, so the
    // caller may release or reuse it at once.
    onDisplayThread([name, image] {
        auto it = s_windows.find(name);
        if (it != s_windows.end() && closedByUser(name, it->second)) return;
        cv::imshow(name, image);
        if (it == s_windows.end()) {
            s_windows.emplace(name, OpenWindow());
            DisplayThread::instance().setOpenWindows(s_windows.size());
        }
    });
}

void onDisplayLost(void (*leave)()) { s_leave = leave; }

bool hasStatusBar() {
    // Only HighGUI on Qt has a status bar; elsewhere its status calls fail with an error.
    // QOR_READOUTS=off leaves it unused, for measuring what the readouts cost.
    static const bool s_qt = [] {
        const char* readouts = std::getenv("QOR_READOUTS");
        if (readouts != nullptr && std::strcmp(readouts, "off") == 0) return false;
        const std::string info = cv::getBuildInformation();
        const auto at = info.find("QT:");
        if (at == std::string::npos) return false;
        const auto end = info.find('\n', at);
        return info.substr(at, end == std::string::npos ? std::string::npos : end - at)
                   .find("YES") != std::string::npos;
    }();
    return s_qt;
}

void setStreamStatus(const std::string& name, const std::string& text) {
    if (!hasStatusBar() || !availability().ok) return;
    DisplayThread* thread = DisplayThread::ifRunning();
    if (thread == nullptr) return;
    thread->post([name, text] {
        const auto it = s_windows.find(name);
        if (it == s_windows.end()) return;
        OpenWindow& w = it->second;
        w.streamText = text;
        if (w.readout && w.pointerOver) {
            w.pointerOver = pointerOverImage(name);
            w.pointerText = w.pointerOver ? ask(w.readout, w.pointerX, w.pointerY) : std::string();
        }
        showStatus(name, w);
    });
}

void setPointerReadout(const std::string& name, PointerReadout readout) {
    if (!hasStatusBar() || !availability().ok) return;
    DisplayThread* thread = DisplayThread::ifRunning();
    if (thread == nullptr) return;
    try {
        thread->run(
            [name, readout] {
                const auto it = s_windows.find(name);
                if (it == s_windows.end()) return;
                it->second.readout = readout;
                void* data = const_cast<std::string*>(&*s_callbackNames.insert(name).first);
                cv::setMouseCallback(name, onMouse, data);
            },
            kAnswerLimit);
    } catch (...) {
        // Without a mouse callback the window simply shows no pointer readout.
    }
}

int waitKey(int delayMs) {
    if (!availability().ok) return -1;
    DisplayThread* thread = DisplayThread::ifRunning();
    return thread != nullptr ? thread->waitKey(delayMs) : -1;
}

}  // namespace display
