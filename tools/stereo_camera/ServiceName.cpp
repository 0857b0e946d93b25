#include "ServiceName.h"

#include <iostream>
#include <omniORB4/Naming.hh>
#include <sstream>

namespace {

// How long one call to a naming service may take.
const CORBA::ULong kNamingTimeoutMs = 3000;

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

CosNaming::NamingContext_ptr rootOf(CORBA::ORB_ptr orb, const std::string& entry) {
    const std::string address = "corbaloc::" + entry +
                                (entry.find(':') == std::string::npos ? ":2809" : "") +
                                "/NameService";
    CORBA::Object_var ns = orb->string_to_object(address.c_str());
    CosNaming::NamingContext_ptr root = CosNaming::NamingContext::_unchecked_narrow(ns);
    omniORB::setClientCallTimeout(root, kNamingTimeoutMs);
    return root;
}

CosNaming::Name serviceName(const std::string& host, const std::string& instance) {
    CosNaming::Name name;
    name.length(2);
    name[0].id = host.c_str();
    name[0].kind = "host_cxt";
    name[1].id = instance.c_str();
    name[1].kind = "StereoCameraService";
    return name;
}

// Binds `obj` in one naming service; throws what the service or the ORB raise.
void bindIn(CORBA::ORB_ptr orb, CORBA::Object_ptr obj, const std::string& entry,
            const std::string& host, const std::string& instance) {
    CosNaming::NamingContext_var root = rootOf(orb, entry);
    CosNaming::Name name = serviceName(host, instance);
    CosNaming::Name context = name;
    context.length(1);
    try {
        CosNaming::NamingContext_var made = root->bind_new_context(context);
    } catch (const CosNaming::NamingContext::AlreadyBound&) {
    }
    root->rebind(name, obj);
}

// True when something is bound under the name in that service, or the service cannot say.
bool boundIn(CORBA::ORB_ptr orb, const std::string& entry, const std::string& host,
             const std::string& instance) {
    try {
        CosNaming::NamingContext_var root = rootOf(orb, entry);
        CORBA::Object_var found = root->resolve(serviceName(host, instance));
        return true;
    } catch (const CosNaming::NamingContext::NotFound&) {
        return false;
    } catch (const CORBA::Exception&) {
        return true;
    }
}

}  // namespace

std::string cameraServicePath(const std::string& host, const std::string& instance) {
    return host + ".host_cxt/" + instance + ".StereoCameraService";
}

CameraServiceName::CameraServiceName(CORBA::ORB_ptr orb, CORBA::Object_ptr obj,
                                     const std::string& nameservers, const std::string& host,
                                     const std::string& instance,
                                     std::chrono::milliseconds interval)
    : m_orb(CORBA::ORB::_duplicate(orb)),
      m_obj(CORBA::Object::_duplicate(obj)),
      m_services(entries(nameservers)),
      m_host(host),
      m_instance(instance) {
    for (const std::string& entry : m_services) {
        try {
            bindIn(m_orb, m_obj, entry, m_host, m_instance);
        } catch (const CORBA::Exception& e) {
            std::cerr
                << "StereoCameraSim: cannot bind its StereoCameraService in the naming service "
                << entry << " (" << e._name() << ")" << std::endl;
        }
    }
    if (interval.count() > 0 && !m_services.empty())
        m_rebinder = std::thread([this, interval] { keepBound(interval); });
}

CameraServiceName::~CameraServiceName() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_rebinder.joinable()) m_rebinder.join();
    for (const std::string& entry : m_services) {
        try {
            CosNaming::NamingContext_var root = rootOf(m_orb, entry);
            const CosNaming::Name name = serviceName(m_host, m_instance);
            CORBA::Object_var found = root->resolve(name);
            if (found->_is_equivalent(m_obj)) root->unbind(name);
        } catch (const CORBA::Exception&) {
        }
    }
}

void CameraServiceName::keepBound(std::chrono::milliseconds interval) {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_wake.wait_for(lock, interval, [this] { return m_stop; })) {
        lock.unlock();
        for (const std::string& entry : m_services) {
            if (boundIn(m_orb, entry, m_host, m_instance)) continue;
            try {
                bindIn(m_orb, m_obj, entry, m_host, m_instance);
            } catch (const CORBA::Exception&) {
                // Tried again at the next interval.
            }
        }
        lock.lock();
    }
}
