// Inspection of the recording stand-in for the display functions (qor::display_recording): it opens
// no window, and records every call so that a test can check what a component asked for.
// All functions are safe from any thread.
#pragma once

#include <opencv2/core.hpp>

#include <cstddef>
#include <set>
#include <string>
#include <vector>

namespace display {
namespace recording {

enum class CallKind { Available, CreateWindow, DestroyWindow, ShowImage, WaitKey };

struct Event {
    CallKind kind;
    std::string window;  // empty for Available and WaitKey
    int delayMs;         // the argument of WaitKey, 0 otherwise
};

struct ShownImage {
    std::string window;
    cv::Mat image;  // a deep copy taken at the call
};

// The stream parts set for each window, oldest first (kept apart from events(): the window calls
// of a cycle are what events() describes).
std::vector<std::string> streamStatus(const std::string& window);
// What the pointer readout set for `window` answers for (`x`, `y`), as the window would show
// it; empty when none is set.
std::string pointAt(const std::string& window, int x, int y);
// Makes hasStatusBar() answer `present` (true after a reset).
void setStatusBar(bool present);

// Every call since the last reset, in call order (refused calls included).
std::vector<Event> events();
std::vector<ShownImage> shownImages();
std::size_t count(CallKind kind);

// The windows open now. As with the real display, any thread's destroyWindow() closes a window,
// and showImage() opens the window it names.
std::set<std::string> windows();

// Makes available() report no display with the given reason; createWindow() and showImage() then
// throw std::runtime_error as the real ones would, and waitKey() returns -1.
void setNoDisplay(const std::string& why);

// Forgets all calls, windows and settings: the display is available again.
void reset();

}  // namespace recording
}  // namespace display
