// Binding the camera's StereoCameraService in the naming services, beside its component.
#ifndef SERVICENAME_H
#define SERVICENAME_H

#include <omniORB4/CORBA.h>

#include <string>
#include <vector>

// Binds `obj` as "<host>.host_cxt/<instance>.StereoCameraService" in each naming service of
// `nameservers` (a "corba.nameservers" value: "host" or "host:port" entries, comma-separated),
// making the host context as needed and replacing an older binding. Returns the services it was
// bound in; a service that does not answer gets one line on standard error.
std::vector<std::string> bindCameraService(CORBA::ORB_ptr orb, CORBA::Object_ptr obj,
                                           const std::string& nameservers,
                                           const std::string& host, const std::string& instance);

// The naming path of that binding, as rtctl and the camera client write it.
std::string cameraServicePath(const std::string& host, const std::string& instance);

#endif
