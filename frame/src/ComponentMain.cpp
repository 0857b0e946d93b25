#include <frame/ComponentMain.h>
#include <rtm/RTObject.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace frame {

namespace {

// Set once by runComponentProgram() before the manager calls the module init procedure.
RegisterFunc g_register = nullptr;
const char* g_componentName = nullptr;

void MyModuleInit(RTC::Manager* manager) {
    g_register(manager);
    RTC::RTObject_impl* comp = manager->createComponent(g_componentName);
    if (comp == NULL) {
        std::cerr << "Component create failed." << std::endl;
        abort();
    }
}

// omniORB refuses GIOP messages over 2 MiB by default, less than one 320x240 depth map.
const char kMessageLimit[] = "134217728";
const char kOmniOrbDefaultLimit[] = "2097152";

// The giopMaxMsgSize omniORB's configuration file sets, or "" (no file, or not set there).
std::string configuredMessageLimit() {
    const char* path = std::getenv("OMNIORB_CONFIG");
    std::ifstream in(path && *path ? path : "/etc/omniORB.cfg");
    std::string line, value;
    while (std::getline(in, line)) {
        const std::size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#') continue;
        if (line.compare(start, 14, "giopMaxMsgSize") != 0) continue;
        const std::size_t eq = line.find('=', start);
        if (eq == std::string::npos) continue;
        const std::size_t v = line.find_first_not_of(" \t", eq + 1);
        const std::size_t end = line.find_first_of(" \t#", v);
        value =
            v == std::string::npos ? "" : line.substr(v, end == std::string::npos ? end : end - v);
    }
    return value;
}

}  // namespace

void defaultMessageLimit() {
    if (std::getenv("ORBgiopMaxMsgSize")) return;
    const std::string configured = configuredMessageLimit();
    if (!configured.empty() && configured != kOmniOrbDefaultLimit) return;
    ::setenv("ORBgiopMaxMsgSize", kMessageLimit, 0);
}

int runComponentProgram(int argc, char** argv, RegisterFunc registerFunc,
                        const char* componentName) {
    g_register = registerFunc;
    g_componentName = componentName;
    defaultMessageLimit();
    RTC::Manager* manager = RTC::Manager::init(argc, argv);
    manager->setModuleInitProc(MyModuleInit);
    manager->activateManager();
    manager->runManager(false);
    return 0;
}

void leaveProcess(int status) {
    RTC::Manager& manager = RTC::Manager::instance();
    const std::vector<RTC::RTObject_impl*> components = manager.getComponents();
    // Every connection of every port, with the peer's port that can end it.
    struct Connection {
        RTC::PortService_var peer;
        std::string id;
    };
    std::vector<Connection> connections;
    for (RTC::RTObject_impl* comp : components) {
        try {
            RTC::PortServiceList_var ports = comp->get_ports();
            for (CORBA::ULong i = 0; i < ports->length(); ++i) {
                RTC::ConnectorProfileList_var profiles = ports[i]->get_connector_profiles();
                for (CORBA::ULong c = 0; c < profiles->length(); ++c) {
                    const RTC::PortServiceList& members = profiles[c].ports;
                    for (CORBA::ULong m = 0; m < members.length(); ++m) {
                        if (CORBA::is_nil(members[m]) || members[m]->_is_equivalent(ports[i]))
                            continue;
                        connections.push_back({RTC::PortService::_duplicate(members[m]),
                                               std::string(profiles[c].connector_id.in())});
                        break;
                    }
                }
            }
        } catch (const CORBA::Exception&) {
        }
    }
    // No value may be arriving while the connections end: OpenRTM-aist 2.0.2 deletes an input
    // port's servant at once, under a put still running on it, and crashes. So requests are
    // refused (TRANSIENT) from here on and the running ones waited for (this thread is a
    // component's, never one serving a request), and each connection is ended by its peer, which
    // stops writing, removes its segment and finds this side refusing its notice. The
    // middleware's unregisterComponent then takes the names away (on OpenRTM-aist that is all it
    // does).
    try {
        PortableServer::POAManager_var poaManager = manager.getPOAManager();
        if (!CORBA::is_nil(poaManager)) poaManager->discard_requests(true);
    } catch (const CORBA::Exception&) {
    }
    for (Connection& c : connections) {
        try {
            omniORB::setClientCallTimeout(c.peer.in(), 5000);
            c.peer->disconnect(c.id.c_str());
        } catch (const CORBA::Exception&) {
        }
    }
    for (RTC::RTObject_impl* comp : components) manager.unregisterComponent(comp);
    std::cout.flush();
    std::fflush(nullptr);
    ::_exit(status);
}

}  // namespace frame
