#include <frame/ComponentMain.h>
#include <rtm/RTObject.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

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
    for (RTC::RTObject_impl* comp : manager.getComponents()) {
        // The middleware's unregisterComponent only takes the names away on OpenRTM-aist; the
        // ports end their connections (and their segments) themselves.
        try {
            RTC::PortServiceList_var ports = comp->get_ports();
            for (CORBA::ULong i = 0; i < ports->length(); ++i) ports[i]->disconnect_all();
        } catch (const CORBA::Exception&) {
        }
        manager.unregisterComponent(comp);
    }
    std::cout.flush();
    std::fflush(nullptr);
    ::_exit(status);
}

}  // namespace frame
