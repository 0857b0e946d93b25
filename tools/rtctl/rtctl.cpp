// rtctl: lists, inspects, connects and drives RT components through their CORBA objects, as
// the middleware's own tools do. Every failure is one line on standard error and a non-zero exit.
#include <omniORB4/CORBA.h>
#include <rtm/RemoteUtil.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <omniORB4/Naming.hh>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Probe.h"
#include "RecordingCommands.h"
#include "RecordingWriter.h"
#include "SystemDescription.h"

namespace {

using RTC::remote::dataTypesMatch;
using RTC::remote::findString;
using RTC::remote::returnCodeName;
using RTC::remote::stateName;

const char* const kUsage =
    "usage: rtctl [-n HOST[:PORT]] COMMAND ...\n"
    "  list                               components in the naming service, as paths\n"
    "  show PATH                          profile, ports, connections, state per context\n"
    "  connect OUT:PORT IN:PORT [-p KEY=VALUE]... [--id ID]\n"
    "                                     connect an output data port to an input data port\n"
    "  disconnect PATH:PORT [ID]          end one connection of the port, or all of them\n"
    "  activate PATH | deactivate PATH | reset PATH\n"
    "                                     change the state in the component's own context\n"
    "  state PATH                         the state in the component's own context\n"
    "  exit PATH                          end the component\n"
    "  save FILE PATH...                  write the components' contexts, states, configuration\n"
    "                                     sets and the connections among them to FILE\n"
    "  restore FILE                       set those configuration sets and context rates again,\n"
    "                                     make the connections that are missing, and activate\n"
    "                                     the components that were active\n"
    "  hz PATH:PORT                       rate of an output port's values, once a second\n"
    "  delay PATH:PORT                    their delay: now minus each value's time stamp\n"
    "  bw PATH:PORT                       their bandwidth: CDR bytes a second, mean value size\n"
    "                                     (a probe port of rtctl's own is connected, over\n"
    "                                     corba_cdr unless -p says shared_memory; --count N and\n"
    "                                     --seconds S end it, as do Ctrl-C and SIGTERM, each\n"
    "                                     disconnecting it first)\n"
    "  record FILE PATH:PORT... [--seconds S] [--count N] [--max-bytes B]\n"
    "                                     append every value the output ports send, as it\n"
    "                                     arrived, to a new recording FILE (a probe port on each;\n"
    "                                     ends at S seconds, N values, B bytes (K, M, G: 1024s),\n"
    "                                     a full disk, Ctrl-C or SIGTERM)\n"
    "  info FILE                          ports, types, counts, duration and sizes of a recording\n"
    "  export FILE DIR [--port P] [--from T] [--to T] [--every N] [--tiff]\n"
    "                                     write a recording's frames as PNG, its depth maps as\n"
    "                                     z planes (.npy, or TIFF) and coloured PNG, each with a\n"
    "                                     JSON side file; T in seconds from the first value\n"
    "PATH: a naming path (\"host.host_cxt/Morvane0.rtc\"), a name found anywhere in the\n"
    "naming service (\"Morvane0.rtc\", \"Morvane0\"), an IOR (\"IOR:...\") or a corbaloc URL.\n"
    "-n: the naming service, default localhost:2809.\n"
    "Connector properties default to dataport.interface_type corba_cdr, dataport.dataflow_type\n"
    "push, dataport.subscription_type flush; -p adds or replaces any (dataport.buffer.length,\n"
    "dataport.serializer.cdr.endian, ...). Between processes of one host,\n"
    "-p dataport.interface_type=shared_memory passes values through a shared-memory segment\n"
    "(size: -p dataport.shem_default_size=16M; it grows for larger values).\n";

// Calls to components and the naming service give up after this long.
const CORBA::ULong kCallTimeoutMs = 15000;
const CORBA::ULong kConnectTimeoutMs = 3000;

// A failure to report: the message is the whole line after "rtctl: ".
struct Failure : std::runtime_error {
    explicit Failure(const std::string& what) : std::runtime_error(what) {}
};

struct Usage : std::runtime_error {
    explicit Usage(const std::string& what) : std::runtime_error(what) {}
};

bool isReference(const std::string& path) {
    for (const char* scheme : {"IOR:", "corbaloc:", "corbaname:"})
        if (path.compare(0, std::string(scheme).size(), scheme) == 0) return true;
    return false;
}

// "PATH:PORT" at the last ':', which no port name holds and which IORs and corbaloc URLs do not
// end with.
void splitPortArgument(const std::string& argument, std::string& path, std::string& port) {
    const auto colon = argument.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == argument.size())
        throw Usage("expected PATH:PORT, got \"" + argument + "\"");
    path = argument.substr(0, colon);
    port = argument.substr(colon + 1);
}

class Tool {
public:
    Tool(CORBA::ORB_ptr orb, std::string nameServer)
        : m_orb(CORBA::ORB::_duplicate(orb)), m_nameServer(std::move(nameServer)) {}

    CosNaming::NamingContext_ptr naming() {
        if (!CORBA::is_nil(m_naming)) return m_naming.in();
        std::string address = m_nameServer;
        if (address.find(':') == std::string::npos) address += ":2809";
        try {
            CORBA::Object_var obj =
                m_orb->string_to_object(("corbaloc::" + address + "/NameService").c_str());
            m_naming = CosNaming::NamingContext::_narrow(obj);
        } catch (const CORBA::Exception&) {
            m_naming = CosNaming::NamingContext::_nil();
        }
        if (CORBA::is_nil(m_naming)) throw Failure("no naming service at " + address);
        return m_naming.in();
    }

    // Every object bound below `context`, with its path.
    void collect(CosNaming::NamingContext_ptr context, const std::string& prefix,
                 std::vector<std::pair<std::string, CosNaming::Name>>& out,
                 const CosNaming::Name& base, int depth = 0) {
        if (depth > 16) return;
        CosNaming::BindingList_var list;
        CosNaming::BindingIterator_var rest;
        context->list(1000, list.out(), rest.out());
        std::vector<CosNaming::Binding> bindings;
        for (CORBA::ULong i = 0; i < list->length(); ++i) bindings.push_back(list[i]);
        if (!CORBA::is_nil(rest)) {
            CosNaming::BindingList_var more;
            while (rest->next_n(1000, more.out()))
                for (CORBA::ULong i = 0; i < more->length(); ++i) bindings.push_back(more[i]);
            rest->destroy();
        }
        for (const CosNaming::Binding& b : bindings) {
            CosNaming::Name name = base;
            name.length(base.length() + 1);
            name[base.length()] = b.binding_name[b.binding_name.length() - 1];
            const std::string path =
                (prefix.empty() ? "" : prefix + "/") + RTC::remote::toPath(b.binding_name);
            if (b.binding_type == CosNaming::ncontext) {
                try {
                    CORBA::Object_var obj = context->resolve(b.binding_name);
                    CosNaming::NamingContext_var sub = CosNaming::NamingContext::_narrow(obj);
                    if (!CORBA::is_nil(sub)) collect(sub, path, out, name, depth + 1);
                } catch (const CORBA::Exception&) {
                    // A context of another service that is gone: nothing to list there.
                }
            } else {
                out.emplace_back(path, name);
            }
        }
    }

    std::vector<std::pair<std::string, CosNaming::Name>> everything() {
        std::vector<std::pair<std::string, CosNaming::Name>> out;
        try {
            collect(naming(), "", out, CosNaming::Name());
        } catch (const CORBA::SystemException&) {
            throw Failure("no naming service at " + m_nameServer);
        }
        return out;
    }

    CORBA::Object_ptr resolvePath(const std::string& path) {
        if (isReference(path)) {
            try {
                return m_orb->string_to_object(path.c_str());
            } catch (const CORBA::Exception&) {
                throw Failure("no such component: \"" + path + "\" is not a valid reference");
            }
        }
        CosNaming::NamingContext_ptr root = naming();
        try {
            return root->resolve(RTC::remote::toName(path));
        } catch (const CosNaming::NamingContext::NotFound&) {
        } catch (const CosNaming::NamingContext::InvalidName&) {
            throw Failure("no such component: \"" + path + "\" is not a valid name");
        } catch (const CORBA::SystemException&) {
            throw Failure("no naming service at " + m_nameServer);
        }
        // A bare name ("Morvane0.rtc", "Morvane0") is looked for anywhere in the tree.
        if (path.find('/') == std::string::npos) {
            std::vector<std::string> found;
            CosNaming::Name match;
            for (const auto& entry : everything()) {
                const std::string& p = entry.first;
                const std::string last = p.substr(p.rfind('/') == std::string::npos ? 0 : p.rfind('/') + 1);
                if (last == path || last == path + ".rtc") {
                    found.push_back(p);
                    match = entry.second;
                }
            }
            if (found.size() > 1) {
                std::string all;
                for (const std::string& f : found) all += " " + f;
                throw Failure("ambiguous name \"" + path + "\":" + all);
            }
            if (found.size() == 1) {
                try {
                    return root->resolve(match);
                } catch (const CORBA::Exception&) {
                }
            }
        }
        throw Failure("no such component: " + path);
    }

    RTC::RTObject_ptr component(const std::string& path) {
        CORBA::Object_var obj = resolvePath(path);
        RTC::RTObject_var comp;
        try {
            omniORB::setClientCallTimeout(obj, kCallTimeoutMs);
            comp = RTC::RTObject::_narrow(obj);
            if (!CORBA::is_nil(comp) && comp->_non_existent()) comp = RTC::RTObject::_nil();
        } catch (const CORBA::OBJECT_NOT_EXIST&) {
            comp = RTC::RTObject::_nil();
        } catch (const CORBA::SystemException& e) {
            throw Failure("cannot reach component " + path + " (" + e._name() + ")");
        }
        if (CORBA::is_nil(comp)) throw Failure("no such component: " + path);
        omniORB::setClientCallTimeout(comp, kCallTimeoutMs);
        return comp._retn();
    }

    // The port of `comp` named `name` ("stereo", or in full "Morvane0.stereo").
    RTC::PortService_ptr port(RTC::RTObject_ptr comp, const std::string& path,
                              const std::string& name, RTC::PortProfile_var& profile) {
        RTC::PortServiceList_var ports = comp->get_ports();
        std::vector<std::string> names;
        for (CORBA::ULong i = 0; i < ports->length(); ++i) {
            omniORB::setClientCallTimeout(ports[i].in(), kCallTimeoutMs);
            RTC::PortProfile_var p = ports[i]->get_port_profile();
            const std::string full = p->name.in();
            names.push_back(full);
            const bool suffix = full.size() > name.size() &&
                                full.compare(full.size() - name.size(), name.size(), name) == 0 &&
                                full[full.size() - name.size() - 1] == '.';
            if (full == name || suffix) {
                profile = p._retn();
                return RTC::PortService::_duplicate(ports[i].in());
            }
        }
        std::string known;
        for (const std::string& n : names) known += (known.empty() ? "" : ", ") + n;
        throw Failure("no such port: " + path + ":" + name + " (ports: " +
                      (known.empty() ? "none" : known) + ")");
    }

    RTC::ExecutionContext_ptr ownContext(RTC::RTObject_ptr comp, const std::string& path) {
        RTC::ExecutionContextList_var contexts = comp->get_owned_contexts();
        if (contexts->length() == 0) throw Failure(path + " has no execution context of its own");
        omniORB::setClientCallTimeout(contexts[0].in(), kCallTimeoutMs);
        return RTC::ExecutionContext::_duplicate(contexts[0].in());
    }

private:
    CORBA::ORB_var m_orb;
    std::string m_nameServer;
    CosNaming::NamingContext_var m_naming;
};

std::string property(const SDOPackage::NVList& list, const char* name) {
    std::string value;
    findString(list, name, value);
    return value;
}

void printProperties(const SDOPackage::NVList& list, const std::string& indent) {
    for (CORBA::ULong i = 0; i < list.length(); ++i)
        std::cout << indent << list[i].name.in() << ": "
                  << RTC::remote::anyToText(list[i].value) << "\n";
}

std::string portName(RTC::PortService_ptr port) {
    if (CORBA::is_nil(port)) return "<nil>";
    try {
        omniORB::setClientCallTimeout(port, kCallTimeoutMs);
        RTC::PortProfile_var p = port->get_port_profile();
        return p->name.in();
    } catch (const CORBA::Exception& e) {
        return std::string("<unreachable: ") + e._name() + ">";
    }
}

int show(Tool& tool, const std::string& path) {
    RTC::RTObject_var comp = tool.component(path);
    RTC::ComponentProfile_var p = comp->get_component_profile();
    std::cout << p->instance_name.in() << "\n"
              << "  type: " << p->type_name.in() << "\n"
              << "  description: " << p->description.in() << "\n"
              << "  version: " << p->version.in() << "\n"
              << "  vendor: " << p->vendor.in() << "\n"
              << "  category: " << p->category.in() << "\n";
    auto printContexts = [&](const RTC::ExecutionContextList& list, const char* title) {
        for (CORBA::ULong i = 0; i < list.length(); ++i) {
            RTC::ExecutionContext_ptr ec = list[i].in();
            try {
                omniORB::setClientCallTimeout(ec, kCallTimeoutMs);
                const RTC::ExecutionContextHandle_t h = comp->get_context_handle(ec);
                std::cout << "  " << title << " context " << h << ": "
                          << RTC::remote::kindName(ec->get_kind()) << ", " << ec->get_rate()
                          << " Hz, " << (ec->is_running() ? "running" : "stopped") << ", state "
                          << stateName(ec->get_component_state(comp)) << "\n";
            } catch (const CORBA::Exception& e) {
                std::cout << "  " << title << " context: unreachable (" << e._name() << ")\n";
            }
        }
    };
    RTC::ExecutionContextList_var owned = comp->get_owned_contexts();
    printContexts(owned.in(), "owned");
    RTC::ExecutionContextList_var participating = comp->get_participating_contexts();
    printContexts(participating.in(), "participating");
    for (CORBA::ULong i = 0; i < p->port_profiles.length(); ++i) {
        const RTC::PortProfile& port = p->port_profiles[i];
        std::cout << "  port " << port.name.in() << "\n";
        printProperties(port.properties, "    ");
        for (CORBA::ULong c = 0; c < port.connector_profiles.length(); ++c) {
            const RTC::ConnectorProfile& cp = port.connector_profiles[c];
            std::cout << "    connection " << cp.connector_id.in() << " \"" << cp.name.in()
                      << "\":";
            for (CORBA::ULong k = 0; k < cp.ports.length(); ++k)
                std::cout << (k ? " -> " : " ") << portName(cp.ports[k].in());
            std::cout << "\n";
            printProperties(cp.properties, "      ");
        }
    }
    std::cout << "  properties:\n";
    printProperties(p->properties, "    ");
    return 0;
}

int connect(Tool& tool, const std::string& first, const std::string& second,
            const std::vector<std::string>& settings, const std::string& id) {
    std::string path[2], portArg[2];
    splitPortArgument(first, path[0], portArg[0]);
    splitPortArgument(second, path[1], portArg[1]);
    RTC::RTObject_var comp[2];
    RTC::PortService_var port[2];
    RTC::PortProfile_var profile[2];
    for (int i = 0; i < 2; ++i) {
        comp[i] = tool.component(path[i]);
        port[i] = tool.port(comp[i], path[i], portArg[i], profile[i]);
    }
    int out = 0, in = 1;
    const std::string type0 = property(profile[0]->properties, "port.port_type");
    const std::string type1 = property(profile[1]->properties, "port.port_type");
    if (type0 == "DataInPort" && type1 == "DataOutPort") std::swap(out, in);
    if (property(profile[out]->properties, "port.port_type") != "DataOutPort")
        throw Failure(std::string(profile[out]->name.in()) + " is not an output data port");
    if (property(profile[in]->properties, "port.port_type") != "DataInPort")
        throw Failure(std::string(profile[in]->name.in()) + " is not an input data port");
    const std::string outType = property(profile[out]->properties, "dataport.data_type");
    const std::string inType = property(profile[in]->properties, "dataport.data_type");
    if (!dataTypesMatch(outType, inType))
        throw Failure("data types do not match: " + std::string(profile[out]->name.in()) +
                      " sends " + outType + ", " + profile[in]->name.in() + " takes " + inType);

    RTC::ConnectorProfile cp;
    cp.name = CORBA::string_dup(
        (std::string(profile[out]->name.in()) + "_" + profile[in]->name.in()).c_str());
    cp.connector_id = CORBA::string_dup(id.c_str());
    cp.ports.length(2);
    cp.ports[0] = RTC::PortService::_duplicate(port[out]);
    cp.ports[1] = RTC::PortService::_duplicate(port[in]);
    RTC::remote::setNV(cp.properties, "dataport.interface_type", "corba_cdr");
    RTC::remote::setNV(cp.properties, "dataport.dataflow_type", "push");
    RTC::remote::setNV(cp.properties, "dataport.subscription_type", "flush");
    if (!outType.empty())
        RTC::remote::setNV(cp.properties, "dataport.data_type", outType.c_str());
    for (const std::string& s : settings) {
        const auto eq = s.find('=');
        if (eq == std::string::npos || eq == 0) throw Usage("expected -p KEY=VALUE, got \"" + s + "\"");
        RTC::remote::setNV(cp.properties, s.substr(0, eq).c_str(), s.substr(eq + 1).c_str());
    }
    const RTC::ReturnCode_t r = port[out]->connect(cp);
    if (r != RTC::RTC_OK) throw Failure(std::string("connect refused: ") + returnCodeName(r));
    std::cout << cp.connector_id.in() << std::endl;
    return 0;
}

int disconnect(Tool& tool, const std::string& argument, const std::string& id) {
    std::string path, portArg;
    splitPortArgument(argument, path, portArg);
    RTC::RTObject_var comp = tool.component(path);
    RTC::PortProfile_var profile;
    RTC::PortService_var port = tool.port(comp, path, portArg, profile);
    const RTC::ReturnCode_t r = id.empty() ? port->disconnect_all() : port->disconnect(id.c_str());
    if (r != RTC::RTC_OK)
        throw Failure("disconnect refused: " + std::string(returnCodeName(r)) +
                      (id.empty() ? "" : " (no connection " + id + ")"));
    return 0;
}

// How long a transition the context took on but did not finish within its own wait may take.
const std::chrono::seconds kLateTransition{10};

// Activates, deactivates or resets `comp` in `ec`. The real middleware waits for a transition
// for exec_cxt.*_timeout (0.5 to 1 s) and answers RTC_ERROR when the component's thread has not
// made it by then, though the transition still happens: a loaded host's window takes longer to
// open. So RTC_ERROR with the component still in the state it started from is waited out, up to
// kLateTransition; the command succeeds only once the component is in the state asked for.
// `what` starts the line of a refusal.
void transition(RTC::ExecutionContext_ptr ec, RTC::LightweightRTObject_ptr comp,
                const std::string& command, const std::string& path, const std::string& what) {
    const RTC::LifeCycleState from = ec->get_component_state(comp);
    RTC::ReturnCode_t r = RTC::RTC_OK;
    RTC::LifeCycleState wanted = RTC::INACTIVE_STATE;
    if (command == "activate") {
        r = ec->activate_component(comp);
        wanted = RTC::ACTIVE_STATE;
    } else if (command == "deactivate") {
        r = ec->deactivate_component(comp);
    } else {
        r = ec->reset_component(comp);
    }
    RTC::LifeCycleState now = ec->get_component_state(comp);
    if (r == RTC::RTC_ERROR && now == from && from != wanted) {
        const auto start = std::chrono::steady_clock::now();
        while (now == from && std::chrono::steady_clock::now() - start < kLateTransition) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            now = ec->get_component_state(comp);
        }
        if (now == wanted) {
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - start);
            std::cerr << "rtctl: " << command << " " << path << ": the context answered "
                      << returnCodeName(r) << " before the component got there; it did "
                      << ms.count() << " ms later" << std::endl;
            return;
        }
    }
    if (r != RTC::RTC_OK)
        throw Failure(what + " refused: " + returnCodeName(r) + " (state " + stateName(now) + ")");
}

int changeState(Tool& tool, const std::string& command, const std::string& path) {
    RTC::RTObject_var comp = tool.component(path);
    if (command == "exit") {
        const RTC::ReturnCode_t r = comp->exit();
        if (r != RTC::RTC_OK) throw Failure(std::string("exit refused: ") + returnCodeName(r));
        return 0;
    }
    RTC::ExecutionContext_var ec = tool.ownContext(comp, path);
    if (command == "state") {
        std::cout << stateName(ec->get_component_state(comp)) << std::endl;
        return 0;
    }
    transition(ec, comp, command, path, command);
    return 0;
}

// A connection's properties worth asking for again: string values, without the objects that
// its ports published for it (names ending in "_ior" or "_ref"), which a new connection replaces.
coil::Properties requestedProperties(const SDOPackage::NVList& list) {
    coil::Properties out;
    for (CORBA::ULong i = 0; i < list.length(); ++i) {
        const std::string name = list[i].name.in();
        const std::string tail = name.size() >= 4 ? name.substr(name.size() - 4) : "";
        const char* value = nullptr;
        if (tail == "_ior" || tail == "_ref" || !(list[i].value >>= value)) continue;
        out.setProperty(name, value);
    }
    return out;
}

SDOPackage::Configuration_ptr configurationOf(RTC::RTObject_ptr comp) {
    try {
        SDOPackage::Configuration_var conf = comp->get_configuration();
        if (!CORBA::is_nil(conf)) omniORB::setClientCallTimeout(conf, kCallTimeoutMs);
        return conf._retn();
    } catch (const SDOPackage::InterfaceNotImplemented&) {
    } catch (const SDOPackage::NotAvailable&) {
    }
    return SDOPackage::Configuration::_nil();
}

// Asks what a save records: the profile, owned contexts and state, the configuration sets (the
// active one first, which makes an empty "default" where none is), and every connection whose
// ports all belong to components of `paths`.
int save(Tool& tool, const std::string& file, const std::vector<std::string>& paths) {
    rtctl::SystemDescription d;
    struct KnownPort {
        std::size_t component;
        std::string name;
        RTC::PortService_var ref;
    };
    std::vector<KnownPort> known;
    std::vector<RTC::ConnectorProfile> seen;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        RTC::RTObject_var comp = tool.component(paths[i]);
        RTC::ComponentProfile_var profile = comp->get_component_profile();
        rtctl::SavedComponent c;
        c.path = paths[i];
        c.instanceName = profile->instance_name.in();
        c.typeName = profile->type_name.in();
        RTC::ExecutionContextList_var owned = comp->get_owned_contexts();
        for (CORBA::ULong k = 0; k < owned->length(); ++k) {
            omniORB::setClientCallTimeout(owned[k].in(), kCallTimeoutMs);
            c.contexts.push_back(
                {RTC::remote::kindName(owned[k]->get_kind()), owned[k]->get_rate()});
            if (k == 0) c.state = stateName(owned[k]->get_component_state(comp));
        }
        SDOPackage::Configuration_var conf = configurationOf(comp);
        if (!CORBA::is_nil(conf)) {
            try {
                SDOPackage::ConfigurationSet_var active = conf->get_active_configuration_set();
                c.activeSet = active->id.in();
            } catch (const SDOPackage::NotAvailable&) {
            }
            SDOPackage::ConfigurationSetList_var sets = conf->get_configuration_sets();
            for (CORBA::ULong k = 0; k < sets->length(); ++k) {
                coil::Properties set(sets[k].id.in());
                set << RTC::remote::toProperties(sets[k].configuration_data);
                c.sets.push_back(set);
            }
        }
        for (CORBA::ULong k = 0; k < profile->port_profiles.length(); ++k) {
            const RTC::PortProfile& port = profile->port_profiles[k];
            known.push_back({i, port.name.in(), RTC::PortService::_duplicate(port.port_ref.in())});
            for (CORBA::ULong n = 0; n < port.connector_profiles.length(); ++n)
                seen.push_back(port.connector_profiles[n]);
        }
        d.components.push_back(c);
    }
    for (const RTC::ConnectorProfile& cp : seen) {
        const std::string id = cp.connector_id.in();
        bool again = false;
        for (const rtctl::SavedConnection& c : d.connections) again = again || c.id == id;
        if (again) continue;
        rtctl::SavedConnection c;
        c.id = id;
        c.name = cp.name.in();
        for (CORBA::ULong k = 0; k < cp.ports.length(); ++k) {
            for (const KnownPort& p : known)
                if (!CORBA::is_nil(cp.ports[k]) && p.ref->_is_equivalent(cp.ports[k].in())) {
                    c.ports.push_back({p.component, p.name});
                    break;
                }
        }
        if (c.ports.size() != cp.ports.length()) {
            std::cerr << "rtctl: leaving out connection " << id
                      << ": a port of it belongs to no component saved\n";
            continue;
        }
        c.properties = requestedProperties(cp.properties);
        d.connections.push_back(c);
    }
    std::ofstream out(file);
    d.write(out);
    out.close();
    if (!out) throw Failure("cannot write " + file);
    std::cout << "saved " << d.components.size() << " components and " << d.connections.size()
              << " connections to " << file << std::endl;
    return 0;
}

int restore(Tool& tool, const std::string& file) {
    std::ifstream in(file);
    if (!in) throw Failure("cannot read " + file);
    rtctl::SystemDescription d;
    try {
        d = rtctl::SystemDescription::read(in);
    } catch (const std::runtime_error& e) {
        throw Failure(file + ": " + e.what());
    }
    std::vector<RTC::RTObject_var> comps;
    for (const rtctl::SavedComponent& c : d.components) {
        RTC::RTObject_var comp = tool.component(c.path);
        RTC::ComponentProfile_var profile = comp->get_component_profile();
        if (c.instanceName != profile->instance_name.in())
            throw Failure(c.path + " is now " + profile->instance_name.in() + ", not " +
                          c.instanceName);
        comps.push_back(comp);
    }
    for (std::size_t i = 0; i < d.components.size(); ++i) {
        const rtctl::SavedComponent& c = d.components[i];
        if (!c.sets.empty() || !c.activeSet.empty()) {
            SDOPackage::Configuration_var conf = configurationOf(comps[i]);
            if (CORBA::is_nil(conf)) throw Failure(c.path + " has no configuration object");
            for (const coil::Properties& set : c.sets) {
                SDOPackage::ConfigurationSet values;
                values.id = CORBA::string_dup(set.getName());
                values.description = CORBA::string_dup(set.getProperty("description").c_str());
                values.configuration_data = RTC::remote::toNVList(set);
                if (!conf->set_configuration_set_values(values))
                    throw Failure(c.path + " refused configuration set " + set.getName());
            }
            try {
                if (!c.activeSet.empty()) conf->activate_configuration_set(c.activeSet.c_str());
            } catch (const SDOPackage::InvalidParameter&) {
                throw Failure(c.path + " cannot activate configuration set " + c.activeSet);
            }
        }
        RTC::ExecutionContextList_var owned = comps[i]->get_owned_contexts();
        for (CORBA::ULong k = 0; k < owned->length() && k < c.contexts.size(); ++k) {
            omniORB::setClientCallTimeout(owned[k].in(), kCallTimeoutMs);
            const double rate = c.contexts[k].rate;
            if (rate > 0.0 && std::fabs(owned[k]->get_rate() - rate) > 1e-9 * rate &&
                owned[k]->set_rate(rate) != RTC::RTC_OK)
                std::cerr << "rtctl: " << c.path << " keeps its context " << k << "'s rate\n";
        }
    }
    int made = 0, there = 0, activated = 0;
    for (const rtctl::SavedConnection& c : d.connections) {
        RTC::ConnectorProfile cp;
        cp.name = CORBA::string_dup(c.name.c_str());
        cp.connector_id = CORBA::string_dup(c.id.c_str());
        cp.ports.length(static_cast<CORBA::ULong>(c.ports.size()));
        for (std::size_t k = 0; k < c.ports.size(); ++k) {
            const std::string& path = d.components[c.ports[k].component].path;
            RTC::PortProfile_var profile;
            cp.ports[k] = tool.port(comps[c.ports[k].component], path, c.ports[k].name, profile);
        }
        RTC::ConnectorProfileList_var existing = cp.ports[0]->get_connector_profiles();
        bool present = false;
        for (CORBA::ULong k = 0; k < existing->length(); ++k)
            present = present || c.id == existing[k].connector_id.in();
        if (present) {
            ++there;
            continue;
        }
        cp.properties = RTC::remote::toNVList(c.properties);
        const RTC::ReturnCode_t r = cp.ports[0]->connect(cp);
        if (r != RTC::RTC_OK)
            throw Failure("connection " + c.id + " refused: " + returnCodeName(r));
        ++made;
    }
    for (std::size_t i = 0; i < d.components.size(); ++i) {
        if (d.components[i].state != "ACTIVE") continue;
        RTC::ExecutionContext_var ec = tool.ownContext(comps[i], d.components[i].path);
        if (ec->get_component_state(comps[i]) == RTC::ACTIVE_STATE) continue;
        transition(ec, comps[i], "activate", d.components[i].path,
                   "activate " + d.components[i].path);
        ++activated;
    }
    std::cout << "restored " << d.components.size() << " components: " << made
              << " connections made, " << there << " already there, " << activated
              << " components activated" << std::endl;
    return 0;
}

// When a probe run ends: after so many values or seconds (0: no limit), or on a signal.
struct ProbeLimits {
    unsigned long long count = 0;
    double seconds = 0;
};

// The signals that end a probe run; blocked in every thread, taken by sigtimedwait.
sigset_t probeSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

bool isProbeCommand(const std::string& command) {
    return command == "hz" || command == "delay" || command == "bw" || command == "record";
}

// A probe receives over corba_cdr or shared memory only.
void checkProbeSettings(const std::vector<std::string>& settings) {
    for (const std::string& s : settings) {
        const auto eq = s.find('=');
        if (eq == std::string::npos || eq == 0)
            throw Usage("expected -p KEY=VALUE, got \"" + s + "\"");
        const std::string value = s.substr(eq + 1);
        if (s.substr(0, eq) == "dataport.interface_type" && value != "corba_cdr" &&
            value != "shared_memory")
            throw Failure("the probe receives over corba_cdr or shared_memory, not " + value);
        if (s.substr(0, eq) == "dataport.dataflow_type" && value != "push")
            throw Failure("the probe takes values pushed to it, not " + value);
    }
}

// The output data port that `argument` (PATH:PORT) names, for `command`.
RTC::PortService_ptr outputPort(Tool& tool, const std::string& command, const std::string& argument,
                                RTC::PortProfile_var& profile) {
    std::string path, portArg;
    splitPortArgument(argument, path, portArg);
    RTC::RTObject_var comp = tool.component(path);
    RTC::PortService_var port = tool.port(comp, path, portArg, profile);
    const std::string type = property(profile->properties, "port.port_type");
    if (type == "DataInPort")
        throw Failure(std::string(profile->name.in()) + " is an input port; " + command +
                      " needs an output data port");
    if (type != "DataOutPort")
        throw Failure(std::string(profile->name.in()) + " is not an output data port");
    return port._retn();
}

// The root POA, taking calls: the probes' objects live there.
PortableServer::POA_ptr activeRootPoa(CORBA::ORB_ptr orb) {
    CORBA::Object_var poaObj = orb->resolve_initial_references("RootPOA");
    PortableServer::POA_var poa = PortableServer::POA::_narrow(poaObj);
    PortableServer::POAManager_var manager = poa->the_POAManager();
    manager->activate();
    return poa._retn();
}

int probe(Tool& tool, CORBA::ORB_ptr orb, const std::string& command, const std::string& argument,
          const std::vector<std::string>& settings, const ProbeLimits& limits) {
    checkProbeSettings(settings);
    RTC::PortProfile_var profile;
    RTC::PortService_var port = outputPort(tool, command, argument, profile);
    PortableServer::POA_var poa = activeRootPoa(orb);
    const rtctl::Measure measure = command == "hz"      ? rtctl::Measure::Rate
                                   : command == "delay" ? rtctl::Measure::Delay
                                                        : rtctl::Measure::Bandwidth;
    rtctl::Probe probe(orb, poa, settings);
    try {
        probe.connect(port, profile->name.in(),
                      property(profile->properties, "dataport.data_type"));
    } catch (const std::runtime_error& e) {
        throw Failure(e.what());
    }

    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    Clock::time_point nextLine = start + std::chrono::seconds(1);
    const sigset_t signals = probeSignals();
    for (;;) {
        const Clock::time_point now = Clock::now();
        const bool counted = limits.count > 0 && probe.total() >= limits.count;
        const bool timed = limits.seconds > 0 &&
                           std::chrono::duration<double>(now - start).count() >= limits.seconds;
        if (counted || timed || now >= nextLine) {
            std::cout << rtctl::describe(measure, probe.take()) << std::endl;
            nextLine += std::chrono::seconds(1);
        }
        if (counted || timed) break;
        const auto wait = std::min<Clock::duration>(std::chrono::milliseconds(50), nextLine - now);
        timespec ts{0, static_cast<long>(
                           std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count())};
        if (ts.tv_nsec < 0) ts.tv_nsec = 0;
        if (sigtimedwait(&signals, nullptr, &ts) > 0) break;
    }
    probe.disconnect(std::cerr);
    return 0;
}

// "64M" and the like: bytes, with K, M or G for powers of 1024.
std::uint64_t byteCount(const std::string& text) {
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    double unit = 1;
    const std::string rest = end != nullptr ? end : "";
    if (rest == "K" || rest == "k")
        unit = 1024.0;
    else if (rest == "M")
        unit = 1024.0 * 1024;
    else if (rest == "G")
        unit = 1024.0 * 1024 * 1024;
    else if (!rest.empty())
        throw Usage("--max-bytes takes a size such as 500M, not \"" + text + "\"");
    if (end == text.c_str() || errno != 0 || !(v * unit >= 1) || v * unit > 1.8e19)
        throw Usage("--max-bytes takes a size such as 500M, not \"" + text + "\"");
    return static_cast<std::uint64_t>(v * unit);
}

// Records every value that the output ports of `arguments` send into a new file: one probe port
// on each, whose values go to the writer on the ORB threads that receive them.
int record(Tool& tool, CORBA::ORB_ptr orb, const std::vector<std::string>& arguments,
           const std::vector<std::string>& settings, const ProbeLimits& limits) {
    std::string file;
    std::vector<std::string> targets;
    std::uint64_t maxBytes = 0;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == "--max-bytes") {
            if (i + 1 >= arguments.size()) throw Usage("--max-bytes needs a value");
            maxBytes = byteCount(arguments[++i]);
        } else if (file.empty()) {
            file = arguments[i];
        } else {
            targets.push_back(arguments[i]);
        }
    }
    if (targets.empty()) throw Usage("record needs a file and at least one PATH:PORT");
    checkProbeSettings(settings);
    struct Source {
        RTC::PortService_var port;
        RTC::PortProfile_var profile;
    };
    std::vector<Source> sources(targets.size());
    std::vector<recording::RecordedPort> ports;
    for (std::size_t i = 0; i < targets.size(); ++i) {
        sources[i].port = outputPort(tool, "record", targets[i], sources[i].profile);
        ports.push_back({sources[i].profile->name.in(),
                         property(sources[i].profile->properties, "dataport.data_type")});
    }
    timespec created{};
    ::clock_gettime(CLOCK_REALTIME, &created);
    std::shared_ptr<recording::RecordingWriter> writer;
    try {
        writer = std::make_shared<recording::RecordingWriter>(
            file, ports, maxBytes,
            static_cast<std::uint64_t>(created.tv_sec) * 1000000000u +
                static_cast<std::uint64_t>(created.tv_nsec));
    } catch (const recording::RecordingError& e) {
        throw Failure(e.what());
    }

    PortableServer::POA_var poa = activeRootPoa(orb);
    // A value beyond --count is not written, whichever port it comes from. The sinks hold the
    // writer, since a value may still be arriving when the probes are gone.
    auto taken = std::make_shared<std::atomic<unsigned long long>>(0);
    const unsigned long long count = limits.count;
    std::vector<std::unique_ptr<rtctl::Probe>> probes;
    for (std::size_t i = 0; i < sources.size(); ++i) {
        probes.emplace_back(new rtctl::Probe(orb, poa, settings));
        probes.back()->setValueSink([writer, taken, count, i](const unsigned char* cdr,
                                                              std::size_t length, bool little,
                                                              std::uint64_t arrivalNs) {
            if (count > 0 && ++*taken > count) return;
            writer->append(i, cdr, length, little, arrivalNs);
        });
        try {
            probes.back()->connect(sources[i].port, sources[i].profile->name.in(), ports[i].type);
        } catch (const std::runtime_error& e) {
            for (auto& p : probes) p->disconnect(std::cerr);
            writer->close();
            if (writer->values() == 0) ::unlink(file.c_str());
            throw Failure(targets[i] + ": " + e.what());
        }
    }

    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    const sigset_t signals = probeSignals();
    for (;;) {
        const bool counted = count > 0 && writer->values() >= count;
        const bool timed =
            limits.seconds > 0 &&
            std::chrono::duration<double>(Clock::now() - start).count() >= limits.seconds;
        if (counted || timed || !writer->endReason().empty()) break;
        timespec ts{0, 50 * 1000 * 1000};
        if (sigtimedwait(&signals, nullptr, &ts) > 0) break;
    }
    for (auto& p : probes) p->disconnect(std::cerr);
    writer->close();
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    const std::string ended = writer->endReason();
    if (!ended.empty()) std::cerr << "rtctl: " << file << " ended: " << ended << std::endl;
    std::cout << "recorded " << writer->values() << " values, " << writer->bytes() << " bytes, in "
              << took << " s to " << file << std::endl;
    return 0;
}

int run(Tool& tool, CORBA::ORB_ptr orb, const std::vector<std::string>& args,
        const std::vector<std::string>& settings, const std::string& id,
        const ProbeLimits& limits) {
    if (args.empty()) throw Usage("no command");
    const std::string& command = args[0];
    auto need = [&](std::size_t lo, std::size_t hi) {
        if (args.size() - 1 < lo || args.size() - 1 > hi)
            throw Usage("wrong number of arguments for " + command);
    };
    if (command == "list") {
        need(0, 0);
        for (const auto& entry : tool.everything()) std::cout << entry.first << "\n";
        return 0;
    }
    if (command == "show") {
        need(1, 1);
        return show(tool, args[1]);
    }
    if (command == "connect") {
        need(2, 2);
        return connect(tool, args[1], args[2], settings, id);
    }
    if (command == "disconnect") {
        need(1, 2);
        return disconnect(tool, args[1], args.size() > 2 ? args[2] : "");
    }
    if (command == "activate" || command == "deactivate" || command == "reset" ||
        command == "state" || command == "exit") {
        need(1, 1);
        return changeState(tool, command, args[1]);
    }
    if (command == "save") {
        if (args.size() < 3) throw Usage("save needs a file and at least one component");
        return save(tool, args[1], std::vector<std::string>(args.begin() + 2, args.end()));
    }
    if (command == "restore") {
        need(1, 1);
        return restore(tool, args[1]);
    }
    if (command == "record")
        return record(tool, orb, std::vector<std::string>(args.begin() + 1, args.end()), settings,
                      limits);
    if (isProbeCommand(command)) {
        need(1, 1);
        return probe(tool, orb, command, args[1], settings, limits);
    }
    if (command == "info" || command == "export") {
        const std::vector<std::string> rest(args.begin() + 1, args.end());
        try {
            return command == "info" ? rtctl::recordingInfo(rest) : rtctl::recordingExport(rest);
        } catch (const std::invalid_argument& e) {
            throw Usage(e.what());
        } catch (const Failure&) {
            throw;
        } catch (const std::runtime_error& e) {
            throw Failure(e.what());
        }
    }
    throw Usage("unknown command \"" + command + "\"");
}

}  // namespace

int main(int argc, char** argv) {
    std::string nameServer = "localhost:2809";
    std::string id;
    std::vector<std::string> args, settings;
    ProbeLimits limits;
    try {
        for (int i = 1; i < argc; ++i) {
            const std::string a = argv[i];
            auto value = [&]() -> std::string {
                if (i + 1 >= argc) throw Usage("option " + a + " needs a value");
                return argv[++i];
            };
            if (a == "-h" || a == "--help") {
                std::cout << kUsage;
                return 0;
            } else if (a == "-n") {
                nameServer = value();
            } else if (a == "-p") {
                settings.push_back(value());
            } else if (a == "--id") {
                id = value();
            } else if (a == "--count" || a == "--seconds") {
                const std::string v = value();
                char* end = nullptr;
                const double n = std::strtod(v.c_str(), &end);
                if (end == v.c_str() || *end != '\0' || !(n > 0) || n > 1e12 ||
                    (a == "--count" && n != std::floor(n)))
                    throw Usage(a + " needs a positive " + (a == "--count" ? "whole " : "") +
                                "number, got \"" + v + "\"");
                if (a == "--count")
                    limits.count = static_cast<unsigned long long>(n);
                else
                    limits.seconds = n;
            } else {
                args.push_back(a);
            }
        }
    } catch (const Usage& e) {
        std::cerr << "rtctl: " << e.what() << "\n" << kUsage;
        return 2;
    }

    // A probe run ends on these signals, taken on its own terms, so they are blocked before the
    // ORB starts its threads.
    if (!args.empty() && isProbeCommand(args[0])) {
        const sigset_t signals = probeSignals();
        pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    }

    // Values of a few megabytes pass through profiles only rarely, but a tool must never be the
    // side that refuses a message.
    const char* options[][2] = {{"giopMaxMsgSize", "134217728"}, {nullptr, nullptr}};
    int orbArgc = 1;
    char name[] = "rtctl";
    char* orbArgv[] = {name, nullptr};
    CORBA::ORB_var orb = CORBA::ORB_init(orbArgc, orbArgv, "omniORB4", options);
    omniORB::setClientCallTimeout(kCallTimeoutMs);
    omniORB::setClientConnectTimeout(kConnectTimeoutMs);
    int status = 1;
    try {
        Tool tool(orb, nameServer);
        status = run(tool, orb, args, settings, id, limits);
    } catch (const Usage& e) {
        std::cerr << "rtctl: " << e.what() << "\n" << kUsage;
        status = 2;
    } catch (const Failure& e) {
        std::cerr << "rtctl: " << e.what() << std::endl;
        status = 1;
    } catch (const CORBA::OBJECT_NOT_EXIST&) {
        std::cerr << "rtctl: no such component: its object is gone" << std::endl;
        status = 1;
    } catch (const CORBA::SystemException& e) {
        std::cerr << "rtctl: the component did not answer (" << e._name() << ")" << std::endl;
        status = 1;
    } catch (const CORBA::Exception& e) {
        std::cerr << "rtctl: unexpected " << e._name() << std::endl;
        status = 1;
    }
    std::cout.flush();
    try {
        orb->destroy();
    } catch (const CORBA::Exception&) {
    }
    return status;
}
