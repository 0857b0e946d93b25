// The management face as a network peer reaches it: the manager object (set_configuration,
// load_module, create_component and the reads), a component's Configuration object and
// connection requests with arbitrary property keys, served by the middleware's own manager in
// this process.
//
// An input is text, one call a line: an operation letter, then tab-separated arguments; "%N" in
// an argument stands for N dots (up to 200000), so that deep keys fit in a short input.
//   s key value      set_configuration          l path init     load_module
//   c args           create_component           g               every read of the profiles
//   v id k v k v...  set_configuration_set_values
//   a id k v ...     add_configuration_set      r id / A id     remove / activate a set
//   p key value      connect on the input port with that property
//
// Findings: a crash, a sanitizer report, a hang, a module loaded, a protected key accepted, a
// change to the process's own configuration, or more sets than the bound.
// clang-format off
// The data type before the port templates that use it.
#include <StereoCameraService.hh>
// clang-format on
#include <arpa/inet.h>
#include <netinet/in.h>
#include <rtm/ConfigAdmin.h>
#include <rtm/DataFlowComponentBase.h>
#include <rtm/InPort.h>
#include <rtm/Manager.h>
#include <rtm/RemoteUtil.h>
#include <rtm/idl/ManagerSkel.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "FuzzSupport.h"

namespace {

class Probe : public RTC::DataFlowComponentBase {
public:
    explicit Probe(RTC::Manager* manager)
        : RTC::DataFlowComponentBase(manager), in("in", m_value) {}
    RTC::ReturnCode_t onInitialize() override {
        addInPort("in", in);
        return RTC::RTC_OK;
    }

private:
    QOR::TimedStereoData m_value;

public:
    RTC::InPort<QOR::TimedStereoData> in;
};

const char* const kProbeProfile[] = {"implementation_id",
                                     "Probe",
                                     "type_name",
                                     "Probe",
                                     "description",
                                     "management fuzz target",
                                     "version",
                                     "1.0.0",
                                     "vendor",
                                     "example.org",
                                     "category",
                                     "Fuzz",
                                     "activity_type",
                                     "PERIODIC",
                                     "kind",
                                     "DataFlowComponent",
                                     "max_instance",
                                     "0",
                                     "language",
                                     "C++",
                                     "lang_type",
                                     "compile",
                                     ""};

RTC::RTObject_impl* createProbe(RTC::Manager* manager) { return new Probe(manager); }
void destroyProbe(RTC::RTObject_impl* comp) { delete comp; }

// Keys of the own configuration that no call may change.
const char* const kWatched[] = {"manager.modules.load_path",
                                "manager.modules.abs_path_allowed",
                                "manager.modules.C++.profile_cmd",
                                "manager.modules.C++.manager_cmd",
                                "corba.nameservers",
                                "manager.is_master"};

struct World {
    RTC::Manager* manager = nullptr;
    RTC::RTObject_impl* probe = nullptr;
    RTM::Manager_var object;
    RTC::RTObject_var component;
    SDOPackage::Configuration_var configuration;
    RTC::PortService_var port;
    std::vector<std::string> watched;
};

World& world() {
    static World w;
    return w;
}

[[noreturn]] void setupFailed(const std::string& what) {
    std::fprintf(stderr, "fuzz_management: set-up failed: %s\n", what.c_str());
    std::abort();
}

int freeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        setupFailed("no free port");
    ::close(fd);
    return ntohs(a.sin_port);
}

void setUp() {
    World& w = world();
    char dirTemplate[] = "/tmp/fuzz_management.XXXXXX";
    const char* dir = ::mkdtemp(dirTemplate);
    if (!dir) setupFailed("mkdtemp");
    const std::string endpoint = "127.0.0.1:" + std::to_string(freeLoopbackPort());
    // An empty load path: nothing may ever load.
    std::vector<std::string> args = {"fuzz_management",
                                     "-o",
                                     "naming.enable:NO",
                                     "-o",
                                     "logger.enable:NO",
                                     "-o",
                                     "corba.endpoints:" + endpoint,
                                     "-o",
                                     "corba.master_manager:127.0.0.1:1",
                                     "-o",
                                     "corba.update_master_manager.enable:NO",
                                     "-o",
                                     "manager.shutdown_on_nortcs:NO",
                                     "-o",
                                     "manager.modules.load_path:" + std::string(dir),
                                     "-o",
                                     "exec_cxt.periodic.type:ExtTrigExecutionContext"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    w.manager = RTC::Manager::init(static_cast<int>(args.size()), argv.data());
    if (!w.manager->activateManager()) setupFailed("activateManager");
    coil::Properties profile(const_cast<const char**>(kProbeProfile));
    w.manager->registerFactory(profile, createProbe, destroyProbe);
    w.probe = w.manager->createComponent("Probe");
    if (!w.probe) setupFailed("createComponent");
    for (const char* key : kWatched) w.watched.push_back(w.manager->getConfig().getProperty(key));

    CORBA::ORB_var orb = w.manager->getORB();
    CORBA::Object_var obj = orb->string_to_object(("corbaloc::" + endpoint + "/manager").c_str());
    w.object = RTM::Manager::_narrow(obj);
    if (CORBA::is_nil(w.object)) setupFailed("the manager object");
    RTC::RTCList_var comps = w.object->get_components();
    if (comps->length() != 1) setupFailed("the component");
    w.component = RTC::RTObject::_duplicate(comps[0]);
    w.configuration = w.component->get_configuration();
    RTC::PortServiceList_var ports = w.component->get_ports();
    if (ports->length() != 1) setupFailed("the port");
    w.port = RTC::PortService::_duplicate(ports[0]);
    // Every refusal says why on standard error; thousands a second would drown the report.
    std::cerr.setstate(std::ios::badbit);
}

// "%N" becomes N dots.
std::string expand(const std::string& arg) {
    std::string out;
    for (std::size_t i = 0; i < arg.size(); ++i) {
        if (arg[i] == '%' && i + 1 < arg.size() &&
            std::isdigit(static_cast<unsigned char>(arg[i + 1]))) {
            std::size_t n = 0, j = i + 1;
            while (j < arg.size() && std::isdigit(static_cast<unsigned char>(arg[j])) &&
                   n <= 200000)
                n = n * 10 + static_cast<std::size_t>(arg[j++] - '0');
            out.append(std::min<std::size_t>(n, 200000), '.');
            i = j - 1;
        } else {
            out.push_back(arg[i]);
        }
    }
    return out;
}

std::vector<std::string> fieldsOf(const std::string& line) {
    std::vector<std::string> f;
    std::size_t start = 1;
    while (start <= line.size()) {
        std::size_t tab = line.find('\t', start);
        if (tab == std::string::npos) tab = line.size();
        // A CORBA string ends at its first NUL: what is judged here is what is sent.
        const std::string field = line.substr(start, tab - start);
        f.push_back(expand(field.substr(0, field.find('\0'))));
        start = tab + 1;
    }
    return f;
}

std::string arg(const std::vector<std::string>& f, std::size_t i) {
    return i < f.size() ? f[i] : std::string();
}

// What set_configuration must refuse, judged here on its own.
bool isProtected(const std::string& key) {
    static const char* const branches[] = {"manager", "corba",    "naming", "logger",
                                           "sdo",     "exec_cxt", "timer",  "os",
                                           "openrtm", "config",   "module", "config_file"};
    const std::string first = key.substr(0, key.find('.'));
    for (const char* b : branches)
        if (first == b) return true;
    return ("." + key + ".").find(".config_file.") != std::string::npos;
}

SDOPackage::ConfigurationSet setOf(const std::vector<std::string>& f) {
    SDOPackage::ConfigurationSet set;
    set.id = CORBA::string_dup(arg(f, 0).c_str());
    set.description = CORBA::string_dup("");
    for (std::size_t i = 1; i + 1 < f.size(); i += 2) {
        const CORBA::ULong n = set.configuration_data.length();
        set.configuration_data.length(n + 1);
        set.configuration_data[n].name = CORBA::string_dup(f[i].c_str());
        set.configuration_data[n].value <<= f[i + 1].c_str();
    }
    return set;
}

void call(const std::string& line) {
    World& w = world();
    const std::vector<std::string> f = fieldsOf(line);
    switch (line[0]) {
        case 's': {
            const RTC::ReturnCode_t r =
                w.object->set_configuration(arg(f, 0).c_str(), arg(f, 1).c_str());
            if (isProtected(arg(f, 0))) FUZZ_CHECK(r != RTC::RTC_OK);
            break;
        }
        case 'l':
            FUZZ_CHECK(w.object->load_module(arg(f, 0).c_str(), arg(f, 1).c_str()) != RTC::RTC_OK);
            FUZZ_CHECK(RTM::ModuleProfileList_var(w.object->get_loaded_modules())->length() == 0);
            break;
        case 'c': {
            RTC::RTObject_var made = w.object->create_component(arg(f, 0).c_str());
            break;
        }
        case 'g': {
            RTM::NVList_var config = w.object->get_configuration();
            RTM::ManagerProfile_var profile = w.object->get_profile();
            RTC::ComponentProfileList_var profiles = w.object->get_component_profiles();
            SDOPackage::ConfigurationSetList_var sets = w.configuration->get_configuration_sets();
            FUZZ_CHECK(sets->length() <= RTC::ConfigAdmin::kMaxSets);
            break;
        }
        case 'v':
            w.configuration->set_configuration_set_values(setOf(f));
            break;
        case 'a':
            w.configuration->add_configuration_set(setOf(f));
            break;
        case 'r':
            w.configuration->remove_configuration_set(arg(f, 0).c_str());
            break;
        case 'A':
            w.configuration->activate_configuration_set(arg(f, 0).c_str());
            break;
        case 'p': {
            RTC::ConnectorProfile p;
            p.name = CORBA::string_dup("fuzz");
            p.connector_id = CORBA::string_dup("");
            p.ports.length(1);
            p.ports[0] = RTC::PortService::_duplicate(w.port.in());
            RTC::remote::setNV(p.properties, arg(f, 0).c_str(), arg(f, 1).c_str());
            if (w.port->connect(p) == RTC::RTC_OK) w.port->disconnect(p.connector_id.in());
            break;
        }
        default:
            break;
    }
}

}  // namespace

// The manager makes the ORB, with its own endpoint: no other ORB may come first.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    World& w = world();
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        try {
            call(line);
        } catch (const CORBA::UserException&) {
            // The interface's own refusals.
        } catch (const CORBA::SystemException&) {
            // An accepted answer.
        }
    }
    // Components the input made go; the probe stays.
    for (RTC::RTObject_impl* comp : w.manager->getComponents())
        if (comp != w.probe) w.manager->deleteComponent(comp);
    for (std::size_t i = 0; i < w.watched.size(); ++i)
        FUZZ_CHECK(w.manager->getConfig().getProperty(kWatched[i]) == w.watched[i]);
    return 0;
}
