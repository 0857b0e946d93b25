// The few HighGUI window calls the viewers make, as free functions resolved at link time: programs
// link qor::display (OpenCV HighGUI), tests link qor::display_recording instead.
//
// Threads: every function is meant to be called from one thread, the component's execution thread,
// which then owns the windows it creates. available() and destroyWindow() are safe from any thread;
// destroyWindow() from a thread other than a window's creator leaves that window alone.
#pragma once

#include <opencv2/core.hpp>

#include <string>

namespace display {

// Whether a window can be opened at all, decided before any window call because HighGUI on Qt ends
// the process when it finds no display. On false, `why` holds a one-line reason. The answer is
// worked out on the first call and kept for the life of the process.
bool available(std::string& why);

// HighGUI on Qt serves the windows of one thread per process: the first thread that calls it keeps
// it for the life of the process, and calls from any other thread wait for ever. Each viewer keeps
// its window on its own execution thread, so a process can hold one viewer. claimDisplay()
// reserves HighGUI for `owner` (named `ownerName` in messages) until releaseDisplay(owner). It is
// refused, with a one-line reason in `why`, while another owner holds it, or once an earlier
// owner has used it (HighGUI then stays with that owner's thread). Any thread.
bool claimDisplay(const void* owner, const std::string& ownerName, std::string& why);
void releaseDisplay(const void* owner) noexcept;

// Opens an auto-sized window titled `name`; nothing happens if it is already open. Throws
// std::runtime_error with the reason from available() when there is no display, or when HighGUI
// already serves another thread of this process.
void createWindow(const std::string& name);

// Closes the window `name` if this seam opened it on the calling thread; otherwise does nothing.
void destroyWindow(const std::string& name) noexcept;

// Shows `image` in the window `name`, opening the window if needed. A window this seam opened
// that the user then closed from its title bar stays closed, and the image is dropped, until
// createWindow() opens it again; one line on standard error says so when the closing is noticed.
// Throws cv::Exception when HighGUI refuses the image and std::runtime_error when there is no
// display.
void showImage(const std::string& name, const cv::Mat& image);

// Waits up to `delayMs` milliseconds for a key (0 waits for ever) while servicing window events;
// returns the key code, or -1 when none was pressed. Without a display it returns -1 at once.
int waitKey(int delayMs);

// What to do when the display goes away under open windows (its X server ended, the connection to
// it broke). The display library cannot go on then and would end the process by itself. Instead,
// one line naming the display goes to standard error and `leave` runs, on the thread that noticed
// (the windows' thread): it should end the process without touching the display. When it returns,
// or none was set, the process ends with status 1. Set it before the first window opens.
void onDisplayLost(void (*leave)());

}  // namespace display
