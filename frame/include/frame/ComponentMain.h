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

// Ends the process at once with `status`, for when an orderly shutdown cannot run because the
// calling thread, a component's execution thread, cannot return to where it was (its display went
// away under it). Every component is first taken out of the naming services and its connections
// with peers are ended. Static destructors do not run.
[[noreturn]] void leaveProcess(int status);

}  // namespace frame

#endif
