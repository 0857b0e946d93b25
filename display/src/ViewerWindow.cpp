#include "display/ViewerWindow.h"

#include <exception>
#include <iostream>
#include <map>
#include <mutex>

#include "display/Display.h"

namespace display {

namespace {

// Guards s_skipped: values skipped so far, per component.
std::mutex s_skippedMutex;
std::map<std::string, unsigned long> s_skipped;

void cannotOpen(const char* component, const std::string& window, const std::string& why) {
    std::cerr << component << ": cannot open the window \"" << window << "\": " << why
              << std::endl;
}

}  // namespace

bool openViewerWindow(const char* component, const std::string& window) {
    std::string why;
    if (!available(why)) {
        cannotOpen(component, window, why);
        return false;
    }
    try {
        createWindow(window);
    } catch (const std::exception& e) {
        cannotOpen(component, window, e.what());
        return false;
    }
    return true;
}

void reportSkipped(const char* component, const char* what, const std::string& why) {
    unsigned long n;
    {
        std::lock_guard<std::mutex> lock(s_skippedMutex);
        n = s_skipped[component]++;
    }
    if (n % 1000 == 0)
        std::cerr << component << ": skipping " << what << ": " << why << " (" << n + 1
                  << " skipped so far)" << std::endl;
}

}  // namespace display
