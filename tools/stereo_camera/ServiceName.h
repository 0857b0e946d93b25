// Binding the camera's StereoCameraService in the naming services, beside its component.
#ifndef SERVICENAME_H
#define SERVICENAME_H

#include <omniORB4/CORBA.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Keeps `obj` bound as "<host>.host_cxt/<instance>.StereoCameraService" in each naming service
// of `nameservers` (a "corba.nameservers" value: "host" or "host:port" entries,
// comma-separated). Binds at once, making the host context as needed and replacing an older
// binding; a service that does not answer gets one line on standard error. Then, every
// `interval` (none when it is zero), binds it again wherever it has gone missing, as after a
// naming service restarted empty. Unbinds it, where it is still bound to `obj`, when destroyed.
class CameraServiceName {
public:
    CameraServiceName(CORBA::ORB_ptr orb, CORBA::Object_ptr obj, const std::string& nameservers,
                      const std::string& host, const std::string& instance,
                      std::chrono::milliseconds interval);
    ~CameraServiceName();
    CameraServiceName(const CameraServiceName&) = delete;
    CameraServiceName& operator=(const CameraServiceName&) = delete;

private:
    void keepBound(std::chrono::milliseconds interval);

    CORBA::ORB_var m_orb;
    CORBA::Object_var m_obj;
    const std::vector<std::string> m_services;
    const std::string m_host;
    const std::string m_instance;

    // Guards m_stop; m_wake ends the rebinding thread's waits.
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    std::thread m_rebinder;
};

// The naming path of that binding, as rtctl and the camera client write it.
std::string cameraServicePath(const std::string& host, const std::string& instance);

#endif
