// The entry point shared by the component programs: each hosts exactly one component.
#ifndef FRAME_COMPONENTMAIN_H
#define FRAME_COMPONENTMAIN_H

#include <rtm/Manager.h>

namespace frame {

typedef void (*RegisterFunc)(RTC::Manager* manager);

// Raises omniORB's limit on a GIOP message to 128 MiB for the ORB this process starts next,
// unless the user chose one: omniORB takes the ORB's arguments (the middleware's "corba.args")
// over the environment, and the environment over its configuration file, so the limit goes into
// the environment (ORBgiopMaxMsgSize) when the environment has none and the configuration file
// ($OMNIORB_CONFIG, else /etc/omniORB.cfg) sets none other than omniORB's own 2 MiB. The same on
// the bundled and the installed middleware; the child processes inherit it.
void defaultMessageLimit();

// Calls defaultMessageLimit(), hands the command line to the middleware's manager, installs the
// module init procedure and activates the manager, then blocks in its run loop until it shuts down;
// returns 0 then. The module init procedure calls `registerFunc` and creates the component
// `componentName`; when that fails it writes "Component create failed." to standard error and
// aborts the process. Main thread only; call once.
int runComponentProgram(int argc, char** argv, RegisterFunc registerFunc,
                        const char* componentName);

// Ends the process at once with `status`, for when an orderly shutdown cannot run because the
// calling thread, the display thread, cannot return to where it was (its display went away under
// it). First every connection of every port is ended by its peer's port (it stops
// writing, removes the segment of a shared-memory connection and tells the others), while this
// process refuses incoming requests, having waited for those already running; then every
// component is unregistered, which takes it out of the naming services. A peer that cannot be
// reached within 5 s is left. The same on either middleware. Static destructors do not run.
[[noreturn]] void leaveProcess(int status);

}  // namespace frame

#endif
