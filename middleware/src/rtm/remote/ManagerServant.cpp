#include "ManagerServant.h"

#include <coil/stringutil.h>
#include <omniORB4/minorCode.h>
#include <rtm/Manager.h>
#include <rtm/RTObject.h>
#include <rtm/RemoteUtil.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <sstream>
#include <thread>

#include "Registry.h"
#include "Servants.h"

namespace RTC {
namespace remote {

namespace {

// How long a master waits for a slave it started to register.
constexpr auto kSlaveStartLimit = std::chrono::seconds(10);
// How many host processes a master keeps that it started itself.
constexpr std::size_t kMaxStartedSlaves = 4;
// Bounds of what set_configuration keeps: keys changed, and the length of a key or value.
constexpr std::size_t kMaxConfigurationChanges = 256;
constexpr std::size_t kMaxConfigurationText = 4096;

// Branches of the configuration that choose code, commands, files, addresses, names or when
// the process ends: only the process's own configuration sets them.
const char* const kProtectedBranches[] = {"manager", "corba",    "naming", "logger",
                                          "sdo",     "exec_cxt", "timer",  "os",
                                          "openrtm", "config",   "module", "config_file"};

// A peer's text as one short line of a log: control characters shown as '?', long text cut.
std::string shown(const std::string& text, std::size_t limit = 120) {
    std::string out = text.substr(0, limit);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return text.size() > out.size() ? out + "..." : out;
}

// Why set_configuration must not take `key`, and the answer; empty when it may.
std::string refusal(const std::string& key, const std::string& value, RTC::ReturnCode_t& answer) {
    answer = RTC::BAD_PARAMETER;
    if (key.empty()) return "an empty key";
    if (key.size() > kMaxConfigurationText || value.size() > kMaxConfigurationText)
        return "a key or value longer than " + std::to_string(kMaxConfigurationText) + " bytes";
    if (static_cast<long>(std::count(key.begin(), key.end(), '.')) >=
        coil::Properties::kMaxKeyDepth)
        return "a key of more than " + std::to_string(coil::Properties::kMaxKeyDepth) + " levels";
    answer = RTC::PRECONDITION_NOT_MET;
    const std::string first = key.substr(0, key.find('.'));
    for (const char* branch : kProtectedBranches)
        if (first == branch) return "\"" + first + ".*\" is the process's own configuration";
    std::istringstream parts(key);
    std::string part;
    while (std::getline(parts, part, '.'))
        if (part == "config_file") return "a config_file names a file to read";
    return "";
}

void append(SDOPackage::NVList& list, const std::string& name, const std::string& value) {
    const CORBA::ULong i = list.length();
    list.length(i + 1);
    list[i].name = CORBA::string_dup(name.c_str());
    list[i].value <<= value.c_str();
}

// Appends the non-nil entries of `more` to `list`.
template <class List>
void appendAll(List& list, const List& more) {
    for (CORBA::ULong i = 0; i < more.length(); ++i) {
        const CORBA::ULong n = list.length();
        list.length(n + 1);
        list[n] = more[i];
    }
}

RTM::ModuleProfileList* profiles(const std::vector<coil::Properties>& props) {
    RTM::ModuleProfileList_var list = new RTM::ModuleProfileList;
    list->length(static_cast<CORBA::ULong>(props.size()));
    for (CORBA::ULong i = 0; i < list->length(); ++i) list[i].properties = toNVList(props[i]);
    return list._retn();
}

// Removes `key=...` items from the query of a create_component argument and returns the value.
std::string takeQueryKey(std::string& args, const std::string& key) {
    const auto q = args.find('?');
    if (q == std::string::npos) return "";
    std::istringstream in(args.substr(q + 1));
    std::string item, kept, value;
    while (std::getline(in, item, '&')) {
        if (item.compare(0, key.size() + 1, key + "=") == 0) {
            value = item.substr(key.size() + 1);
            continue;
        }
        if (item.empty()) continue;
        kept += (kept.empty() ? "" : "&") + item;
    }
    args = args.substr(0, q) + (kept.empty() ? "" : "?" + kept);
    return value;
}

// The language a create_component argument asks for: the fifth field of the long form.
std::string requestedLanguage(const std::string& args) {
    const std::string id = args.substr(0, args.find('?'));
    std::vector<std::string> f;
    std::stringstream in(id);
    std::string part;
    while (std::getline(in, part, ':')) f.push_back(part);
    return f.size() >= 5 && !f[4].empty() ? f[4] : "C++";
}

}  // namespace

ManagerServant::ManagerServant(RTC::Manager& manager, Registry& registry, bool master)
    : m_manager(manager), m_registry(registry), m_master(master) {}

std::vector<RTM::Manager_var> ManagerServant::masters() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_masters;
}

std::vector<RTM::Manager_var> ManagerServant::slaves() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_slaves;
}

void ManagerServant::dropDeadMasters() {
    // Those left unasked when the time is up are asked on the next round.
    const PeerBudget budget = m_registry.budget(kPeerCallLimit);
    for (RTM::Manager_var& m : masters()) {
        if (!budget.limit(m, kPeerCallTimeoutMs)) break;
        bool dead = true;
        try {
            dead = m->_non_existent();
        } catch (const CORBA::Exception&) {
        }
        if (dead) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_masters.erase(
                std::remove_if(m_masters.begin(), m_masters.end(),
                               [&](const RTM::Manager_var& x) { return x.in() == m.in(); }),
                m_masters.end());
        }
    }
}

RTC::ReturnCode_t ManagerServant::load_module(const char* pathname, const char* initfunc) {
    std::string error;
    const RTC::ReturnCode_t result = m_manager.tryLoadModule(pathname, initfunc, error);
    if (result != RTC::RTC_OK)
        std::cerr << "manager: load_module(\"" << shown(pathname) << "\") refused ("
                  << returnCodeName(result) << "): " << shown(error, 400) << std::endl;
    return result;
}

RTC::ReturnCode_t ManagerServant::unload_module(const char* pathname) {
    if (!m_manager.unloadModule(pathname))
        throw CORBA::UNKNOWN(omni::UNKNOWN_UserException, CORBA::COMPLETED_MAYBE);
    return RTC::RTC_OK;
}

RTM::ModuleProfileList* ManagerServant::get_loadable_modules() {
    return profiles(m_manager.getLoadableModules());
}

RTM::ModuleProfileList* ManagerServant::get_loaded_modules() {
    RTM::ModuleProfileList_var list = new RTM::ModuleProfileList;
    for (const std::string& path : m_manager.getLoadedModules()) {
        const CORBA::ULong i = list->length();
        list->length(i + 1);
        append(list[i].properties, "file_path", path);
    }
    return list._retn();
}

RTM::ModuleProfileList* ManagerServant::get_factory_profiles() {
    return profiles(m_manager.getFactoryProfiles());
}

RTC::RTObject_ptr ManagerServant::create_component(const char* module_name) {
    if (m_master) return createInSlave(module_name);
    RTObject_impl* comp = m_manager.createComponent(module_name);
    return comp ? m_registry.componentRef(comp) : RTC::RTObject::_nil();
}

RTC::RTObject_ptr ManagerServant::createInSlave(const std::string& request) {
    std::string args = request;
    const std::string name = takeQueryKey(args, "manager_name");
    const std::string address = takeQueryKey(args, "manager_address");
    const std::string language = requestedLanguage(args);
    std::vector<RTM::Manager_var> candidates;
    if (!address.empty()) {
        try {
            CORBA::Object_var obj = m_registry.orb()->string_to_object(
                ("corbaloc::" + address + "/" + m_manager.getConfig().getProperty("manager.name"))
                    .c_str());
            omniORB::setClientCallTimeout(obj, kPeerCallTimeoutMs);
            RTM::Manager_var m = RTM::Manager::_narrow(obj);
            if (!CORBA::is_nil(m)) candidates.push_back(m);
        } catch (const CORBA::Exception&) {
        }
    } else {
        for (RTM::Manager_var& slave : slaves()) {
            try {
                RTM::ManagerProfile_var p = slave->get_profile();
                std::string value;
                if (!name.empty()
                        ? findString(p->properties, "instance_name", value) && value == name
                        : !findString(p->properties, "language", value) || value == language)
                    candidates.push_back(slave);
            } catch (const CORBA::Exception&) {
            }
        }
    }
    for (RTM::Manager_var& m : candidates) {
        try {
            RTC::RTObject_var comp = m->create_component(args.c_str());
            if (!CORBA::is_nil(comp)) return comp._retn();
        } catch (const CORBA::Exception&) {
        }
    }
    if (name.empty() && address.empty()) {
        if (m_manager.loadableType(args)) return launchSlaveAndCreate(args);
        std::cerr << "manager: create_component(\"" << shown(request)
                  << "\") refused: no loadable module offers that type, so no host is started"
                  << std::endl;
        return RTC::RTObject::_nil();
    }
    std::cerr << "manager: no slave manager created \"" << shown(request) << "\"" << std::endl;
    return RTC::RTObject::_nil();
}

RTC::RTObject_ptr ManagerServant::launchSlaveAndCreate(const std::string& args) {
    // One start at a time, so that the bound holds and each new slave is told apart.
    std::lock_guard<std::mutex> starting(m_startMutex);
    if (m_hosts.running() >= kMaxStartedSlaves) {
        std::cerr << "manager: create_component(\"" << shown(args)
                  << "\") refused: " << kMaxStartedSlaves
                  << " host processes started by this master are running" << std::endl;
        return RTC::RTObject::_nil();
    }
    const coil::Properties& config = m_manager.getConfig();
    const std::string language = requestedLanguage(args);
    std::string command = config.getProperty("manager.modules." + language + ".manager_cmd");
    // As for the profiler: the default names the host program of this tool set.
    if (command == "rtcd") command = ProcessLauncher::besideProgram(command, {"rtcd", "qor-rtcd"});
    std::string loadPath = config.getProperty("manager.modules.load_path");
    const std::string langPaths = config.getProperty("manager.modules." + language + ".load_paths");
    if (!langPaths.empty()) loadPath += "," + langPaths;
    std::vector<std::string> argv = ProcessLauncher::commandWords(command);
    if (argv.empty()) {
        std::cerr << "manager: cannot create \"" << shown(args) << "\": no slave, and no "
                  << "manager.modules." << language << ".manager_cmd to start one" << std::endl;
        return RTC::RTObject::_nil();
    }
    for (const std::string& o :
         {"manager.modules.load_path:" + loadPath, std::string("manager.is_master:NO"),
          std::string("manager.corba_servant:YES"),
          "corba.master_manager:" + config.getProperty("corba.master_manager"),
          "manager.name:" + config.getProperty("manager.name"),
          std::string("manager.instance_name:manager_%p"),
          std::string("manager.shutdown_auto:NO")}) {
        argv.push_back("-o");
        argv.push_back(o);
    }
    // The new host names itself where this one does, and listens on the same interfaces.
    for (const char* key : {"corba.nameservers", "naming.enable", "naming.type", "naming.formats",
                            "naming.update.enable", "naming.update.interval"}) {
        argv.push_back("-o");
        argv.push_back(std::string(key) + ":" + config.getProperty(key));
    }
    std::string hosts;
    for (const std::string& ep : coil::split(config.getProperty("corba.endpoints"), ",", true)) {
        const auto colon = ep.rfind(':');
        if (colon == std::string::npos) continue;
        hosts += (hosts.empty() ? "" : ",") + ep.substr(0, colon + 1);
    }
    argv.push_back("-o");
    argv.push_back("corba.endpoints:" + hosts);
    const std::vector<RTM::Manager_var> before = slaves();
    std::string error;
    const pid_t started = m_hosts.start(argv, error);
    if (started < 0) {
        std::cerr << "manager: cannot create \"" << shown(args) << "\": cannot start \"" << argv[0]
                  << "\" (" << error << ")" << std::endl;
        return RTC::RTObject::_nil();
    }
    const auto deadline = std::chrono::steady_clock::now() + kSlaveStartLimit;
    while (std::chrono::steady_clock::now() < deadline) {
        for (RTM::Manager_var& slave : slaves()) {
            const bool known =
                std::any_of(before.begin(), before.end(),
                            [&](const RTM::Manager_var& b) { return b->_is_equivalent(slave); });
            if (known) continue;
            try {
                RTC::RTObject_var comp = slave->create_component(args.c_str());
                if (!CORBA::is_nil(comp)) return comp._retn();
            } catch (const CORBA::Exception&) {
            }
            std::cerr << "manager: the new slave manager could not create \"" << shown(args) << "\""
                      << std::endl;
            return RTC::RTObject::_nil();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    // A host that never registered serves nobody: it goes.
    m_hosts.end(started);
    std::cerr << "manager: cannot create \"" << shown(args) << "\": the slave started with \""
              << argv[0] << "\" did not register within 10 s and was ended" << std::endl;
    return RTC::RTObject::_nil();
}

RTC::ReturnCode_t ManagerServant::delete_component(const char* instance_name) {
    RTObject_impl* comp = m_manager.getComponent(instance_name);
    if (!comp) return RTC::BAD_PARAMETER;
    PortableServer::Servant_var<ComponentServant> servant = m_registry.servantOf(comp);
    if (servant.in()) {
        try {
            servant->exit();
        } catch (const CORBA::Exception&) {
            // Exiting already.
        }
    }
    return RTC::RTC_OK;
}

RTC::RTCList* ManagerServant::get_components() {
    RTC::RTCList_var list = new RTC::RTCList;
    for (RTObject_impl* comp : m_manager.getComponents()) {
        RTC::RTObject_var ref = m_registry.componentRef(comp);
        if (CORBA::is_nil(ref)) continue;
        const CORBA::ULong i = list->length();
        list->length(i + 1);
        list[i] = ref._retn();
    }
    // Slaves that never answer share one limit; those not reached in time are left out.
    const PeerBudget budget = m_registry.budget(kPeerCallLimit);
    for (RTM::Manager_var& slave : slaves()) {
        if (!budget.limit(slave, kPeerCallTimeoutMs)) break;
        try {
            RTC::RTCList_var more = slave->get_components();
            appendAll(list.inout(), more.in());
        } catch (const CORBA::Exception&) {
            remove_slave_manager(slave);
        }
    }
    return list._retn();
}

RTC::ComponentProfileList* ManagerServant::get_component_profiles() {
    RTC::ComponentProfileList_var list = new RTC::ComponentProfileList;
    for (RTObject_impl* comp : m_manager.getComponents()) {
        PortableServer::Servant_var<ComponentServant> servant = m_registry.servantOf(comp);
        if (!servant.in()) continue;
        try {
            RTC::ComponentProfile_var p = servant->get_component_profile();
            const CORBA::ULong i = list->length();
            list->length(i + 1);
            list[i] = p.in();
        } catch (const CORBA::Exception&) {
            // Gone meanwhile.
        }
    }
    // Slaves that never answer share one limit; those not reached in time are left out.
    const PeerBudget budget = m_registry.budget(kPeerCallLimit);
    for (RTM::Manager_var& slave : slaves()) {
        if (!budget.limit(slave, kPeerCallTimeoutMs)) break;
        try {
            RTC::ComponentProfileList_var more = slave->get_component_profiles();
            appendAll(list.inout(), more.in());
        } catch (const CORBA::Exception&) {
            remove_slave_manager(slave);
        }
    }
    return list._retn();
}

RTC::RTCList* ManagerServant::get_components_by_name(const char* name) {
    RTC::RTCList_var list = new RTC::RTCList;
    std::string instance = name, category;
    const auto slash = instance.find('/');
    if (slash != std::string::npos) {
        category = instance.substr(0, slash);
        instance = instance.substr(slash + 1);
    }
    if (instance.empty()) return list._retn();
    for (RTObject_impl* comp : m_manager.getComponents()) {
        if (instance != comp->getInstanceName()) continue;
        if (!category.empty() && category != "*" && category != comp->getCategory()) continue;
        RTC::RTObject_var ref = m_registry.componentRef(comp);
        if (CORBA::is_nil(ref)) continue;
        const CORBA::ULong i = list->length();
        list->length(i + 1);
        list[i] = ref._retn();
    }
    return list._retn();
}

RTM::ManagerProfile* ManagerServant::get_profile() {
    RTM::ManagerProfile_var profile = new RTM::ManagerProfile;
    const coil::Properties& config = m_manager.getConfig();
    // The "manager" branch without its prefix, then the host's description for tools.
    for (const char* branch : {"manager", "os"}) {
        const coil::Properties* node = config.findNode(branch);
        if (!node) continue;
        const std::string prefix = std::string(branch) == "os" ? "os." : "";
        for (const auto& entry : node->propertyValues())
            append(profile->properties, prefix + entry.first, entry.second);
    }
    return profile._retn();
}

RTM::NVList* ManagerServant::get_configuration() {
    return new RTM::NVList(toNVList(m_manager.getConfiguration()));
}

// The middleware takes any key; here the keys that choose what the process runs, reads, where it
// listens or names itself, or when it ends, stay as the process's own configuration set them.
RTC::ReturnCode_t ManagerServant::set_configuration(const char* name, const char* value) {
    const std::string key = name, text = value;
    RTC::ReturnCode_t answer = RTC::RTC_OK;
    std::string why = refusal(key, text, answer);
    if (why.empty() && !m_manager.setConfiguration(key, text, kMaxConfigurationChanges)) {
        answer = RTC::OUT_OF_RESOURCES;
        why = std::to_string(kMaxConfigurationChanges) + " keys have been changed already";
    }
    if (why.empty()) return RTC::RTC_OK;
    std::cerr << "manager: set_configuration(\"" << shown(key) << "\") refused ("
              << returnCodeName(answer) << "): " << why << std::endl;
    return answer;
}

CORBA::Boolean ManagerServant::is_master() { return m_master; }

RTM::ManagerList* ManagerServant::get_master_managers() {
    RTM::ManagerList_var list = new RTM::ManagerList;
    for (RTM::Manager_var& m : masters()) {
        const CORBA::ULong i = list->length();
        list->length(i + 1);
        list[i] = m;
    }
    return list._retn();
}

RTM::ManagerList* ManagerServant::get_slave_managers() {
    RTM::ManagerList_var list = new RTM::ManagerList;
    for (RTM::Manager_var& m : slaves()) {
        const CORBA::ULong i = list->length();
        list->length(i + 1);
        list[i] = m;
    }
    return list._retn();
}

namespace {

RTC::ReturnCode_t addLink(std::mutex& mutex, std::vector<RTM::Manager_var>& links,
                          RTM::Manager_ptr mgr) {
    if (CORBA::is_nil(mgr)) return RTC::BAD_PARAMETER;
    std::lock_guard<std::mutex> lock(mutex);
    for (RTM::Manager_var& m : links)
        if (m->_is_equivalent(mgr)) return RTC::BAD_PARAMETER;
    RTM::Manager_var added = RTM::Manager::_duplicate(mgr);
    omniORB::setClientCallTimeout(added, kPeerCallTimeoutMs);
    links.push_back(added);
    return RTC::RTC_OK;
}

RTC::ReturnCode_t removeLink(std::mutex& mutex, std::vector<RTM::Manager_var>& links,
                             RTM::Manager_ptr mgr) {
    if (CORBA::is_nil(mgr)) return RTC::BAD_PARAMETER;
    std::lock_guard<std::mutex> lock(mutex);
    for (auto it = links.begin(); it != links.end(); ++it) {
        if ((*it)->_is_equivalent(mgr)) {
            links.erase(it);
            return RTC::RTC_OK;
        }
    }
    return RTC::BAD_PARAMETER;
}

}  // namespace

RTC::ReturnCode_t ManagerServant::add_master_manager(RTM::Manager_ptr mgr) {
    return addLink(m_mutex, m_masters, mgr);
}
RTC::ReturnCode_t ManagerServant::remove_master_manager(RTM::Manager_ptr mgr) {
    return removeLink(m_mutex, m_masters, mgr);
}
RTC::ReturnCode_t ManagerServant::add_slave_manager(RTM::Manager_ptr mgr) {
    return addLink(m_mutex, m_slaves, mgr);
}
RTC::ReturnCode_t ManagerServant::remove_slave_manager(RTM::Manager_ptr mgr) {
    return removeLink(m_mutex, m_slaves, mgr);
}

RTC::ReturnCode_t ManagerServant::fork() { return RTC::RTC_OK; }
RTC::ReturnCode_t ManagerServant::restart() { return RTC::RTC_OK; }

RTC::ReturnCode_t ManagerServant::shutdown() {
    // The process ends on the manager's thread, after this reply has gone.
    m_manager.terminate();
    return RTC::RTC_OK;
}

CORBA::Object_ptr ManagerServant::get_service(const char*) { return CORBA::Object::_nil(); }

}  // namespace remote
}  // namespace RTC
