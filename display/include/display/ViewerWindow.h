// What both viewers do around their window, in terms of the display seam: open it or say why not,
// and report values they cannot draw without flooding standard error.
#pragma once

#include <string>

namespace display {

// Opens the auto-sized window `window`. With no display, or when HighGUI refuses, writes one line
// `<component>: cannot open the window "<window>": <why>` to standard error and returns false.
bool openViewerWindow(const char* component, const std::string& window);

// Counts one value that `component` skipped; writes `<component>: skipping <what>: <why>
// (<n> skipped so far)` to standard error for the first and then every thousandth. Any thread.
void reportSkipped(const char* component, const char* what, const std::string& why);

}  // namespace display
