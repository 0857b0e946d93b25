// The few HighGUI window calls the viewers make, as free functions resolved at link time: programs
// link qor::display (OpenCV HighGUI), tests link qor::display_recording instead.
//
// Threads: every function may be called from any thread. HighGUI binds itself to the first thread
// that uses it, for the life of the process, so the real display keeps one display thread of its
// own: started on the first window call, it makes every HighGUI call of the process and services
// the windows continuously (paints, exposes, resizes, the tool bar, keys), and it ends, with its
// windows and HighGUI's Qt objects torn down on it, when the process exits. The calls below hand
// their work to it and wait for it, ten seconds at most.
#pragma once

#include <opencv2/core.hpp>

#include <functional>
#include <string>

namespace display {

// Whether a window can be opened at all, decided before any window call because HighGUI on Qt ends
// the process when it finds no display. On false, `why` holds a one-line reason. The answer is
// worked out on the first call and kept for the life of the process.
bool available(std::string& why);

// The window title for the viewer `instance` whose window is called `title`: `title` itself when
// no other viewer of this process holds it, else `title` followed by the instance name in
// parentheses ("Stereo Depth Image (Morvane1)"), so that every window of a process has a title of
// its own. The title is held until releaseTitle(). Both implementations share this rule.
std::string claimTitle(const std::string& title, const std::string& instance);
void releaseTitle(const std::string& claimed) noexcept;

// Opens an auto-sized window titled `name` and returns once it exists; nothing happens if it is
// already open. Throws std::runtime_error with the reason from available() when there is no
// display, or when the display thread does not answer.
void createWindow(const std::string& name);

// Closes the window `name` if this seam opened it, and returns once it is closed; otherwise, or
// when no window was ever opened in this process, does nothing.
void destroyWindow(const std::string& name) noexcept;

// Shows `image` in the window `name`, opening the window if needed, and returns once the window
// has taken the image in (the caller may then release it); the painting follows on the display
// thread. A window this seam opened that the user then closed from its title bar stays closed, and
// the image is dropped, until createWindow() opens it again; one line on standard error says so when the closing is noticed.
// Throws cv::Exception when HighGUI refuses the image and std::runtime_error when there is no
// display or the display thread does not answer.
void showImage(const std::string& name, const cv::Mat& image);

// Waits at most `delayMs` milliseconds for a key pressed in any window of the process, and no
// longer than until the display thread has serviced the windows once after the call (so what was
// shown before is painted): the servicing itself goes on without it. Returns the code of the key
// pressed since the previous call, or -1. With no window open, no display, or `delayMs` <= 0, it
// returns at once.
int waitKey(int delayMs);

// The status bar under a window's image, where HighGUI has one (built with Qt); elsewhere the
// calls below do nothing. Its line has two parts, the pointer's and the stream's, shown side by
// side.
bool hasStatusBar();

// Sets the stream's part of the status line of the window `name` and returns at once; the display
// thread shows it, and asks the pointer readout again, when it next takes up handed-over calls.
// Nothing happens when that window is not open then.
void setStreamStatus(const std::string& name, const std::string& text);

// Answers, on the display thread, what to show for the point (`x`, `y`) of the image of window
// `name` (image coordinates; they may lie outside the image): the pointer's part, or empty.
using PointerReadout = std::function<std::string(int x, int y)>;
// Gives the open window `name` a readout that it asks whenever the pointer moves over its image,
// and again whenever its stream part is set while the pointer is still over the image; returns
// once it is in place. destroyWindow() drops it: it is never called after that has returned.
// Nothing happens when the window is not open.
void setPointerReadout(const std::string& name, PointerReadout readout);

// What to do when the display goes away under open windows (its X server ended, the connection to
// it broke). The display library cannot go on then and would end the process by itself. Instead,
// one line naming the display goes to standard error and `leave` runs, on the thread that noticed
// (the display thread): it should end the process without touching the display. When it returns,
// or none was set, the process ends with status 1. Set it before the first window opens.
void onDisplayLost(void (*leave)());

}  // namespace display
