// Registration of component references in CORBA naming services.
#ifndef RTM_REMOTE_NAMEBINDER_H
#define RTM_REMOTE_NAMEBINDER_H

#include <coil/Properties.h>
#include <rtm/RTC.h>

#include <omniORB4/Naming.hh>

#include <mutex>
#include <string>
#include <vector>

#include "PeerBudget.h"

namespace RTC {
namespace remote {

class NameBinder {
public:
    // One name bound in one naming service.
    struct Binding {
        CosNaming::NamingContext_var root;
        CosNaming::Name name;
        CORBA::Object_var object;
    };

    // `servers` is a "corba.nameservers" value: entries separated by ',', each "host" (port
    // 2809), "host:port", or a corbaloc/corbaname/IOR string of the service itself. Calls to the
    // services time out after `timeoutMs`.
    NameBinder(CORBA::ORB_ptr orb, const std::string& servers, CORBA::ULong timeoutMs);
    NameBinder(const NameBinder&) = delete;
    NameBinder& operator=(const NameBinder&) = delete;

    // Binds `obj` under each path in every naming service that answers, creating the contexts
    // of the path as needed and replacing whatever is bound under the last name. A service that
    // does not answer is reported once per process, in one line on standard error.
    std::vector<Binding> bind(CORBA::Object_ptr obj, const std::vector<std::string>& paths);
    // Binds `obj` under those of `paths` that are bound to nothing, in every naming service that
    // answers; quiet about those that do not. Returns the new bindings.
    std::vector<Binding> bindMissing(CORBA::Object_ptr obj, const std::vector<std::string>& paths);
    // Unbinds each name that is still bound to its object (another program may have taken the
    // name over since), within `budget`; names gone already, and services gone, are ignored.
    static void unbind(const std::vector<Binding>& bindings, const PeerBudget& budget);

    // A naming format with its fields replaced: %n instance name, %t and %m type name,
    // %c category, %v version, %V vendor, %i implementation id (from the component's
    // properties), %h host name, %M manager name, %p process id (from the manager's
    // configuration), %% a percent sign. Other text stays as it is.
    static std::string expand(const std::string& format, const coil::Properties& component,
                              const coil::Properties& config);
    // The object reference string of a "corba.nameservers" entry.
    static std::string serviceAddress(const std::string& entry);

private:
    struct Server {
        std::string entry;
        CosNaming::NamingContext_var root;
        bool warned = false;
    };
    // Reaches the service on first use.
    CosNaming::NamingContext_ptr root(Server& server);
    // Binds `obj` under `name`; 0 when bound, otherwise how many leading components of `name`
    // lead to something that is not a naming context.
    CORBA::ULong bindOne(Server& server, CORBA::Object_ptr obj, const CosNaming::Name& name);
    static void notAContext(const Server& server, const std::string& path, CORBA::ULong steps);
    void warnOnce(Server& server);

    CORBA::ORB_var m_orb;
    const CORBA::ULong m_timeoutMs;
    // Guards m_servers.
    std::mutex m_mutex;
    std::vector<Server> m_servers;
};

}  // namespace remote
}  // namespace RTC

#endif
