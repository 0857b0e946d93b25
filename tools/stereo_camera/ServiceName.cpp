#include "ServiceName.h"

#include <omniORB4/Naming.hh>

#include <iostream>
#include <sstream>

namespace {

std::vector<std::string> entries(const std::string& list) {
    std::vector<std::string> out;
    std::stringstream in(list);
    std::string item;
    while (std::getline(in, item, ',')) {
        const auto b = item.find_first_not_of(" \t");
        const auto e = item.find_last_not_of(" \t");
        if (b != std::string::npos) out.push_back(item.substr(b, e - b + 1));
    }
    return out;
}

}  // namespace

std::string cameraServicePath(const std::string& host, const std::string& instance) {
    return host + ".host_cxt/" + instance + ".StereoCameraService";
}

std::vector<std::string> bindCameraService(CORBA::ORB_ptr orb, CORBA::Object_ptr obj,
                                           const std::string& nameservers,
                                           const std::string& host, const std::string& instance) {
    std::vector<std::string> bound;
    for (const std::string& entry : entries(nameservers)) {
        const std::string address =
            "corbaloc::" + entry + (entry.find(':') == std::string::npos ? ":2809" : "") +
            "/NameService";
        try {
            CORBA::Object_var ns = orb->string_to_object(address.c_str());
            omniORB::setClientCallTimeout(ns, 3000);
            CosNaming::NamingContext_var root = CosNaming::NamingContext::_narrow(ns);
            if (CORBA::is_nil(root)) throw CORBA::OBJECT_NOT_EXIST();
            CosNaming::Name name;
            name.length(1);
            name[0].id = host.c_str();
            name[0].kind = "host_cxt";
            CosNaming::NamingContext_var context;
            try {
                context = root->bind_new_context(name);
            } catch (const CosNaming::NamingContext::AlreadyBound&) {
                CORBA::Object_var existing = root->resolve(name);
                context = CosNaming::NamingContext::_narrow(existing);
            }
            name[0].id = instance.c_str();
            name[0].kind = "StereoCameraService";
            context->rebind(name, obj);
            bound.push_back(entry);
        } catch (const CORBA::Exception& e) {
            std::cerr << "StereoCameraSim: cannot bind its StereoCameraService in the naming service "
                      << entry << " (" << e._name() << ")" << std::endl;
        }
    }
    return bound;
}
