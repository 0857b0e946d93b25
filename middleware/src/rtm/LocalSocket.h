// Peers on this host reach the process's ORB through a Unix socket as well as TCP. omniORB
// prefers the socket for an object on its own host and falls back to TCP when it cannot use it.
// Over loopback TCP the kernel's protocol work for a 66 MB depth map is charged to the receiving
// viewer, some 10 ms of CPU a map that the socket does not cost.
#ifndef RTM_LOCALSOCKET_H
#define RTM_LOCALSOCKET_H

#include <string>

namespace RTC {

class LocalSocket {
public:
    LocalSocket() = delete;

    // The directory the socket goes in: omniORB's own default, "omni-<user>" under $TMPDIR (else
    // /tmp), made here with mode 0755 when missing. Empty when it cannot be used safely: not a
    // directory, not this user's, writable by others (another user could then put a socket of
    // their own in place of ours), or its path too long for a socket's name. `why` then says so,
    // unless the directory could not even be made.
    static std::string directory(std::string* why = nullptr);

    // Removes from `dir` the sockets omniORB left behind for processes that are gone (a process
    // killed outright cannot remove its own): those named "<pid>-<time>" whose pid runs no more.
    static void removeStale(const std::string& dir);

    // Whether the ORB's endpoints are chosen outside rtc.conf's corba.endpoints: in `corbaArgs`,
    // in omniORB's environment variables or in its configuration file. Then none is added.
    static bool endpointsConfigured(const std::string& corbaArgs);
};

}  // namespace RTC

#endif
