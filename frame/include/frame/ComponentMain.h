// The entry point shared by the component programs: each hosts exactly one component.
#ifndef FRAME_COMPONENTMAIN_H
#define FRAME_COMPONENTMAIN_H

#include <rtm/Manager.h>

namespace frame {

typedef void (*RegisterFunc)(RTC::Manager* manager);

// Hands the command line to the middleware's manager, installs the module init procedure and
// activates the manager, then blocks in its run loop until it shuts down; returns 0 then.
// The module init procedure calls `registerFunc` and creates the component `componentName`; when
// that fails it writes "Component create failed." to standard error and aborts the process.
// Main thread only; call once.
int runComponentProgram(int argc, char** argv, RegisterFunc registerFunc,
                        const char* componentName);

}  // namespace frame

#endif
