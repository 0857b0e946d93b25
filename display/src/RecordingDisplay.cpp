#include <map>
#include "display/Display.h"
#include "display/Recording.h"

#include <mutex>
#include <set>
#include <stdexcept>

namespace display {
namespace {

struct Recorder {
    std::mutex mutex;  // guards every member below
    std::vector<recording::Event> events;
    std::vector<recording::ShownImage> shown;
    std::set<std::string> windows;  // open now
    bool noDisplay = false;
    std::string why;
    bool statusBar = true;
    std::map<std::string, std::vector<std::string>> streamStatus;
    std::map<std::string, PointerReadout> readouts;
};

Recorder& recorder() {
    static Recorder s_recorder;
    return s_recorder;
}

void record(Recorder& r, recording::CallKind kind, const std::string& window, int delayMs = 0) {
    r.events.push_back(recording::Event{kind, window, delayMs});
}

}  // namespace

bool available(std::string& why) {
    Recorder& r = recorder();
    std::lock_guard<std::mutex> lock(r.mutex);
    record(r, recording::CallKind::Available, std::string());
    if (r.noDisplay) why = r.why;
    return !r.noDisplay;
}

void createWindow(const std::string& name) {
    Recorder& r = recorder();
    std::lock_guard<std::mutex> lock(r.mutex);
    record(r, recording::CallKind::CreateWindow, name);
    if (r.noDisplay) throw std::runtime_error(r.why);
    r.windows.insert(name);
}

void destroyWindow(const std::string& name) noexcept {
    Recorder& r = recorder();
    std::lock_guard<std::mutex> lock(r.mutex);
    try {
        record(r, recording::CallKind::DestroyWindow, name);
    } catch (...) {
        // Out of memory while recording: the call still has to be harmless.
    }
    r.windows.erase(name);
    r.readouts.erase(name);
}

void showImage(const std::string& name, const cv::Mat& image) {
    Recorder& r = recorder();
    std::lock_guard<std::mutex> lock(r.mutex);
    record(r, recording::CallKind::ShowImage, name);
    if (r.noDisplay) throw std::runtime_error(r.why);
    r.shown.push_back(recording::ShownImage{name, image.clone()});
    r.windows.insert(name);
}

int waitKey(int delayMs) {
    Recorder& r = recorder();
    std::lock_guard<std::mutex> lock(r.mutex);
    record(r, recording::CallKind::WaitKey, std::string(), delayMs);
    return -1;
}

bool hasStatusBar() {
    Recorder& r = recorder();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.statusBar;
}

void setStreamStatus(const std::string& name, const std::string& text) {
    Recorder& r = recorder();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.statusBar) r.streamStatus[name].push_back(text);
}

void setPointerReadout(const std::string& name, PointerReadout readout) {
    Recorder& r = recorder();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.windows.count(name) != 0) r.readouts[name] = std::move(readout);
}

// The recording display is never lost.
void onDisplayLost(void (*)()) {}

namespace recording {

std::vector<std::string> streamStatus(const std::string& window) {
    Recorder& r = recorder();
    std::lock_guard<std::mutex> lock(r.mutex);
    const auto it = r.streamStatus.find(window);
    return it != r.streamStatus.end() ? it->second : std::vector<std::string>();
}

std::string pointAt(const std::string& window, int x, int y) {
    PointerReadout readout;
    {
        Recorder& r = recorder();
        std::lock_guard<std::mutex> lock(r.mutex);
        const auto it = r.readouts.find(window);
        if (it == r.readouts.end()) return std::string();
        readout = it->second;
    }
    return readout(x, y);
}

void setStatusBar(bool present) {
    Recorder& r = recorder();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.statusBar = present;
}

std::vector<Event> events() {
    Recorder& r = recorder();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.events;
}

std::vector<ShownImage> shownImages() {
    Recorder& r = recorder();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.shown;
}

std::size_t count(CallKind kind) {
    Recorder& r = recorder();
    std::lock_guard<std::mutex> lock(r.mutex);
    std::size_t n = 0;
    for (const Event& e : r.events)
        if (e.kind == kind) ++n;
    return n;
}

std::set<std::string> windows() {
    Recorder& r = recorder();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.windows;
}

void setNoDisplay(const std::string& why) {
    Recorder& r = recorder();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.noDisplay = true;
    r.why = why;
}

void reset() {
    Recorder& r = recorder();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.events.clear();
    r.shown.clear();
    r.windows.clear();
    r.noDisplay = false;
    r.why.clear();
    r.statusBar = true;
    r.streamStatus.clear();
    r.readouts.clear();
}

}  // namespace recording
}  // namespace display
