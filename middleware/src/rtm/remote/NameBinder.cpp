#include "NameBinder.h"

#include <coil/stringutil.h>
#include <rtm/RemoteUtil.h>

#include <algorithm>
#include <cstring>
#include <iostream>

namespace RTC {
namespace remote {

namespace {

// The longest one naming call made while unbinding may take.
const CORBA::ULong kNamingCallTimeoutMs = 5000;

CosNaming::Name prefix(const CosNaming::Name& name, CORBA::ULong length) {
    CosNaming::Name part;
    part.length(length);
    for (CORBA::ULong i = 0; i < length; ++i) part[i] = name[i];
    return part;
}

}  // namespace

NameBinder::NameBinder(CORBA::ORB_ptr orb, const std::string& servers, CORBA::ULong timeoutMs)
    : m_orb(CORBA::ORB::_duplicate(orb)), m_timeoutMs(timeoutMs) {
    for (const std::string& entry : coil::split(servers, ",", true)) {
        m_servers.emplace_back();
        m_servers.back().entry = entry;
    }
}

std::string NameBinder::serviceAddress(const std::string& entry) {
    for (const char* scheme : {"corbaloc:", "corbaname:", "IOR:"})
        if (entry.compare(0, std::strlen(scheme), scheme) == 0) return entry;
    const auto bracket = entry.rfind(']');
    const auto colon = entry.rfind(':');
    const bool hasPort = colon != std::string::npos && (bracket == std::string::npos || colon > bracket);
    return "corbaloc::" + entry + (hasPort ? "" : ":2809") + "/NameService";
}

std::string NameBinder::expand(const std::string& format, const coil::Properties& component,
                               const coil::Properties& config) {
    std::string out;
    for (std::string::size_type i = 0; i < format.size(); ++i) {
        if (format[i] != '%' || i + 1 == format.size()) {
            out += format[i];
            continue;
        }
        const char field = format[++i];
        switch (field) {
            case 'n': out += component.getProperty("instance_name"); break;
            case 't':
            case 'm': out += component.getProperty("type_name"); break;
            case 'c': out += component.getProperty("category"); break;
            case 'v': out += component.getProperty("version"); break;
            case 'V': out += component.getProperty("vendor"); break;
            case 'i': out += component.getProperty("implementation_id"); break;
            case 'h': out += config.getProperty("os.hostname"); break;
            case 'M': out += config.getProperty("manager.name"); break;
            case 'p': out += config.getProperty("manager.pid"); break;
            case '%': out += '%'; break;
            default:
                out += '%';
                out += field;
        }
    }
    return out;
}

void NameBinder::warnOnce(Server& server) {
    server.root = CosNaming::NamingContext::_nil();
    if (server.warned) return;
    server.warned = true;
    std::cerr << "manager: no naming service answers at " << server.entry
              << "; components are not registered there" << std::endl;
}

CosNaming::NamingContext_ptr NameBinder::root(Server& server) {
    if (CORBA::is_nil(server.root)) {
        CORBA::Object_var ref = m_orb->string_to_object(serviceAddress(server.entry).c_str());
        server.root = CosNaming::NamingContext::_unchecked_narrow(ref);
        omniORB::setClientCallTimeout(server.root, m_timeoutMs);
    }
    return server.root.in();
}

CORBA::ULong NameBinder::bindOne(Server& server, CORBA::Object_ptr obj,
                                 const CosNaming::Name& name) {
    root(server);
    // Every step is named from the root: compound names let the service walk the path.
    for (CORBA::ULong i = 0; i + 1 < name.length(); ++i) {
        const CosNaming::Name step = prefix(name, i + 1);
        CORBA::Object_var found;
        try {
            found = server.root->bind_new_context(step);
        } catch (const CosNaming::NamingContext::AlreadyBound&) {
            found = server.root->resolve(step);
        }
        // Whatever is bound there answers for itself, or not at all: a failure here says nothing
        // about the naming service.
        CosNaming::NamingContext_var context;
        try {
            context = CosNaming::NamingContext::_narrow(found);
        } catch (const CORBA::SystemException&) {
        }
        if (CORBA::is_nil(context)) return i + 1;
    }
    server.root->rebind(name, obj);
    return 0;
}

void NameBinder::notAContext(const Server& server, const std::string& path, CORBA::ULong steps) {
    const CosNaming::Name name = toName(path);
    std::cerr << "manager: cannot bind \"" << path << "\" at " << server.entry << ": \""
              << toPath(prefix(name, std::min(steps, name.length())))
              << "\" there is bound to something that is not a naming context" << std::endl;
}

std::vector<NameBinder::Binding> NameBinder::bind(CORBA::Object_ptr obj,
                                                  const std::vector<std::string>& paths) {
    std::vector<Binding> bound;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (Server& server : m_servers) {
        for (const std::string& path : paths) {
            const CosNaming::Name name = toName(path);
            if (name.length() == 0) continue;
            try {
                if (const CORBA::ULong steps = bindOne(server, obj, name)) {
                    notAContext(server, path, steps);
                    continue;
                }
                bound.push_back(Binding{CosNaming::NamingContext::_duplicate(server.root), name,
                                        CORBA::Object::_duplicate(obj)});
            } catch (const CosNaming::NamingContext::NotFound& e) {
                notAContext(server, path, name.length() - e.rest_of_name.length() + 1);
            } catch (const CosNaming::NamingContext::CannotProceed& e) {
                notAContext(server, path, name.length() - e.rest_of_name.length() + 1);
            } catch (const CosNaming::NamingContext::InvalidName&) {
                std::cerr << "manager: cannot bind \"" << path << "\" at " << server.entry
                          << ": the naming service finds the name invalid" << std::endl;
            } catch (const CORBA::Exception&) {
                // Unreachable, not a naming service, or refusing: none of the paths will do.
                warnOnce(server);
                break;
            }
        }
    }
    return bound;
}

std::vector<NameBinder::Binding> NameBinder::bindMissing(CORBA::Object_ptr obj,
                                                         const std::vector<std::string>& paths) {
    std::vector<Binding> bound;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (Server& server : m_servers) {
        for (const std::string& path : paths) {
            const CosNaming::Name name = toName(path);
            if (name.length() == 0) continue;
            try {
                try {
                    CORBA::Object_var present = root(server)->resolve(name);
                    continue;
                } catch (const CosNaming::NamingContext::NotFound&) {
                }
                if (bindOne(server, obj, name) == 0)
                    bound.push_back(Binding{CosNaming::NamingContext::_duplicate(server.root),
                                            name, CORBA::Object::_duplicate(obj)});
            } catch (const CosNaming::NamingContext::NotFound&) {
            } catch (const CosNaming::NamingContext::CannotProceed&) {
            } catch (const CosNaming::NamingContext::InvalidName&) {
            } catch (const CORBA::Exception&) {
                server.root = CosNaming::NamingContext::_nil();
                break;
            }
        }
    }
    return bound;
}

void NameBinder::unbind(const std::vector<Binding>& bindings, const PeerBudget& budget) {
    for (const Binding& b : bindings) {
        try {
            if (!budget.limit(b.root, kNamingCallTimeoutMs)) return;
            CORBA::Object_var bound = b.root->resolve(b.name);
            if (!bound->_is_equivalent(b.object) || !budget.limit(b.root, kNamingCallTimeoutMs))
                continue;
            b.root->unbind(b.name);
        } catch (const CORBA::Exception&) {
        }
    }
}

}  // namespace remote
}  // namespace RTC
