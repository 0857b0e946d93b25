// Connector profiles with arbitrary ports and properties through connect and notify_connect of a
// real input port's and a real output port's PortService, as the middleware's manager activates
// them, in this process. Each input is a few connection requests (ProfileCase.h); afterwards every
// connection the ports hold is ended, so no state carries over to the next input.
//
// A CORBA system exception is an accepted answer. Findings: a crash, a sanitizer report, a hang,
// a connection reported made that a port does not hold, or one that outlives its disconnection.
#include <StereoCameraService.hh>
#include <rtm/DataFlowComponentBase.h>
#include <rtm/InPort.h>
#include <rtm/Manager.h>
#include <rtm/OutPort.h>
#include <rtm/RemoteUtil.h>

#include "FuzzSupport.h"
#include "ProfileCase.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

using namespace profilecase;

class Probe : public RTC::DataFlowComponentBase {
public:
    explicit Probe(RTC::Manager* manager)
        : RTC::DataFlowComponentBase(manager), in("in", m_inValue), out("out", outValue) {}

    RTC::ReturnCode_t onInitialize() override {
        addInPort("in", in);
        addOutPort("out", out);
        return RTC::RTC_OK;
    }

private:
    QOR::TimedStereoData m_inValue;

public:
    QOR::TimedStereoData outValue;
    RTC::InPort<QOR::TimedStereoData> in;
    RTC::OutPort<QOR::TimedStereoData> out;
};

const char* const kProbeProfile[] = {"implementation_id", "ProfileProbe", "type_name", "ProfileProbe",
                                     "description", "connector profile fuzz target", "version", "1.0.0",
                                     "vendor", "example.org", "category", "Fuzz",
                                     "activity_type", "PERIODIC", "kind", "DataFlowComponent",
                                     "max_instance", "1", "language", "C++",
                                     "lang_type", "compile", ""};

RTC::RTObject_impl* createProbe(RTC::Manager* manager) { return new Probe(manager); }
void destroyProbe(RTC::RTObject_impl* comp) { delete comp; }

struct World {
    RTC::Manager* manager = nullptr;
    Probe* probe = nullptr;
    CORBA::ORB_ptr orb = CORBA::ORB::_nil();
    RTC::RTObject_var component;
    RTC::PortService_var inPort, outPort;
    std::string inIor, outIor, componentIor;
};

World& world() {
    static World w;
    return w;
}

[[noreturn]] void setupFailed(const std::string& what) {
    std::fprintf(stderr, "fuzz_connector_profile: set-up failed: %s\n", what.c_str());
    std::abort();
}

// omniORB reads its configuration file at ORB_init: clients may reach the loopback address only,
// so that even a reference the harness failed to filter cannot make the process connect elsewhere.
void confineClientsToLoopback(const std::string& dir) {
    const std::string path = dir + "/omniORB.cfg";
    std::ofstream cfg(path, std::ios::trunc);
    cfg << "clientTransportRule = 127.0.0.1 tcp\n"
           "clientTransportRule = * none\n";
    if (!cfg) setupFailed("cannot write " + path);
    cfg.close();
    ::setenv("OMNIORB_CONFIG", path.c_str(), 1);
}

void setUp() {
    World& w = world();
    char dirTemplate[] = "/tmp/fuzz_connector_profile.XXXXXX";
    const char* dir = ::mkdtemp(dirTemplate);
    if (!dir) setupFailed("mkdtemp");
    confineClientsToLoopback(dir);
    const std::string iorFile = std::string(dir) + "/iors";
    std::vector<std::string> args = {"fuzz_connector_profile", "-d",
                                     "-o", "naming.enable:NO",
                                     "-o", "logger.enable:NO",
                                     "-o", "corba.endpoints:127.0.0.1:",
                                     "-o", "exec_cxt.periodic.type:ExtTrigExecutionContext",
                                     "-o", "corba.ior_file:" + iorFile};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    w.manager = RTC::Manager::init(static_cast<int>(args.size()), argv.data());
    if (!w.manager->activateManager()) setupFailed("activateManager");
    coil::Properties profile(const_cast<const char**>(kProbeProfile));
    w.manager->registerFactory(profile, createProbe, destroyProbe);
    w.probe = dynamic_cast<Probe*>(w.manager->createComponent("ProfileProbe"));
    if (!w.probe) setupFailed("createComponent");
    w.orb = w.manager->getORB();

    // The manager writes "<instance name> <IOR>" for every component it made reachable.
    std::ifstream in(iorFile);
    std::string name, ior;
    if (!(in >> name >> ior)) setupFailed("no reference in " + iorFile);
    in.close();
    std::remove(iorFile.c_str());
    std::remove((std::string(dir) + "/omniORB.cfg").c_str());
    ::rmdir(dir);

    CORBA::Object_var obj = w.orb->string_to_object(ior.c_str());
    w.component = RTC::RTObject::_narrow(obj);
    if (CORBA::is_nil(w.component)) setupFailed("the component's reference");
    RTC::PortServiceList_var ports = w.component->get_ports();
    for (CORBA::ULong i = 0; i < ports->length(); ++i) {
        RTC::PortProfile_var p = ports[i]->get_port_profile();
        std::string type;
        RTC::remote::findString(p->properties, "port.port_type", type);
        if (type == "DataInPort") w.inPort = RTC::PortService::_duplicate(ports[i].in());
        if (type == "DataOutPort") w.outPort = RTC::PortService::_duplicate(ports[i].in());
    }
    if (CORBA::is_nil(w.inPort) || CORBA::is_nil(w.outPort)) setupFailed("the ports' references");
    w.inIor = CORBA::String_var(w.orb->object_to_string(w.inPort.in())).in();
    w.outIor = CORBA::String_var(w.orb->object_to_string(w.outPort.in())).in();
    w.componentIor = ior;
}

// What one input has made so far: the ids its calls ended with, and the input side's last
// published InPortCdr (possibly deactivated since).
struct Run {
    std::vector<std::string> ids;
    std::string consumerIor;
};

std::string ownIor(int ref, const Run& run) {
    const World& w = world();
    switch (ref) {
    case kOutPort: return w.outIor;
    case kComponent: return w.componentIor;
    case kConsumer:
        if (!run.consumerIor.empty()) return run.consumerIor;
        return w.inIor;
    default: return w.inIor;
    }
}

// A text that no ORB can take for a URL: without a ':' there is no scheme.
std::string schemeless(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), ':'), text.end());
    return text;
}

std::string garbageIor(const Garbage& g, const Run& run) {
    std::string s;
    switch (g.form) {
    case kNotHex: s = "IOR:zz" + schemeless(g.text); break;
    case kTruncated: {
        const std::string full = ownIor(g.own, run);
        const std::size_t digits = full.size() - 4;
        s = full.substr(0, 4 + static_cast<std::size_t>(g.cut) % digits);
        break;
    }
    case kBadDigit: {
        s = ownIor(g.own, run);
        s[4 + static_cast<std::size_t>(g.cut) % (s.size() - 4)] = 'x';
        break;
    }
    default: return schemeless(g.text);
    }
    // Parsing an "IOR:" string is local; one that parsed would carry addresses the harness did
    // not choose, so it is never handed on.
    try {
        CORBA::Object_var obj = world().orb->string_to_object(s.c_str());
        fuzzsupport::fail("a spoiled IOR parsed", __FILE__, __LINE__);
    } catch (const CORBA::SystemException&) {
    }
    return s;
}

CORBA::Object_ptr ownObject(int ref, const Run& run) {
    const World& w = world();
    switch (ref) {
    case kInPort: return CORBA::Object::_duplicate(w.inPort.in());
    case kOutPort: return CORBA::Object::_duplicate(w.outPort.in());
    case kComponent: return CORBA::Object::_duplicate(w.component.in());
    case kConsumer:
        if (run.consumerIor.empty()) return CORBA::Object::_nil();
        return w.orb->string_to_object(run.consumerIor.c_str());
    default: return CORBA::Object::_nil();
    }
}

RTC::PortService_ptr portEntry(const PortEntry& p, const Run& run) {
    if (p.ref == kGarbage) {
        const std::string s = garbageIor(p.garbage, run);
        try {
            CORBA::Object_var obj = world().orb->string_to_object(s.c_str());
            return RTC::PortService::_unchecked_narrow(obj);
        } catch (const CORBA::SystemException&) {
            return RTC::PortService::_nil();
        }
    }
    CORBA::Object_var obj = ownObject(p.ref, run);
    // Unchecked: a component or an InPortCdr listed as a port is part of the input.
    return RTC::PortService::_unchecked_narrow(obj);
}

CORBA::Any anyOf(const Value& v, const Run& run) {
    CORBA::Any any;
    switch (v.kind) {
    case kKnownValue: any <<= kKnownValues[v.index]; break;
    case kText: any <<= schemeless(v.text).c_str(); break;
    case kOwnIor: any <<= ownIor(v.ref, run).c_str(); break;
    case kGarbageIor: any <<= garbageIor(v.garbage, run).c_str(); break;
    case kLong: any <<= static_cast<CORBA::Long>(v.number); break;
    case kOctets: {
        CORBA::OctetSeq octets;
        octets.length(static_cast<CORBA::ULong>(v.text.size()));
        if (!v.text.empty()) std::memcpy(octets.get_buffer(), v.text.data(), v.text.size());
        any <<= octets;
        break;
    }
    case kNilObject: any <<= CORBA::Object::_nil(); break;
    case kOwnObject: {
        CORBA::Object_var obj = ownObject(v.ref, run);
        any <<= obj.in();
        break;
    }
    case kBoolean: any <<= CORBA::Any::from_boolean(v.flag); break;
    default: break;
    }
    return any;
}

RTC::ConnectorProfile profileOf(const Call& c, const Run& run) {
    RTC::ConnectorProfile p;
    p.name = CORBA::string_dup(c.name.c_str());
    std::string id;
    if (c.idMode == kGivenId) id = c.id;
    if (c.idMode == kEarlierId && !run.ids.empty()) id = run.ids[c.earlier % run.ids.size()];
    p.connector_id = CORBA::string_dup(id.c_str());
    p.ports.length(static_cast<CORBA::ULong>(c.ports.size()));
    for (CORBA::ULong i = 0; i < p.ports.length(); ++i) p.ports[i] = portEntry(c.ports[i], run);
    // Appended as they come, duplicates included: the ports take the first of a name.
    p.properties.length(static_cast<CORBA::ULong>(c.properties.size()));
    for (CORBA::ULong i = 0; i < p.properties.length(); ++i) {
        const Property& prop = c.properties[i];
        p.properties[i].name = CORBA::string_dup(prop.known ? kKnownKeys[prop.keyIndex] : prop.key.c_str());
        p.properties[i].value = anyOf(prop.value, run);
    }
    return p;
}

std::vector<std::string> heldIds(RTC::PortService_ptr port) {
    RTC::ConnectorProfileList_var list = port->get_connector_profiles();
    std::vector<std::string> ids;
    for (CORBA::ULong i = 0; i < list->length(); ++i) ids.push_back(list[i].connector_id.in());
    return ids;
}

bool holds(RTC::PortService_ptr port, const std::string& id) {
    const std::vector<std::string> ids = heldIds(port);
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

// A request answered RTC_OK: the chain ran from the first port asked (ports[0] for connect, the
// port itself for notify_connect) to the end of the list, and every port of ours on that stretch
// holds the connection.
void checkMade(const RTC::ConnectorProfile& p, RTC::PortService_ptr asked, bool connect) {
    const World& w = world();
    const std::string id = p.connector_id.in();
    FUZZ_CHECK(!id.empty());
    CORBA::ULong first = 0;
    if (!connect) {
        while (first < p.ports.length() &&
               (CORBA::is_nil(p.ports[first]) || !p.ports[first]->_is_equivalent(asked)))
            ++first;
        FUZZ_CHECK(first < p.ports.length());
    }
    bool inListed = false;
    for (CORBA::ULong i = first; i < p.ports.length(); ++i) {
        RTC::PortService_ptr port = p.ports[i];
        if (CORBA::is_nil(port)) continue;
        if (port->_is_equivalent(w.inPort)) {
            inListed = true;
            FUZZ_CHECK(holds(w.inPort, id));
        } else if (port->_is_equivalent(w.outPort)) {
            FUZZ_CHECK(holds(w.outPort, id));
        }
    }
    if (inListed) {
        // The input side answers with where to push.
        std::string ior;
        FUZZ_CHECK(RTC::remote::findString(p.properties, "dataport.corba_cdr.inport_ior", ior));
        FUZZ_CHECK(ior.compare(0, 4, "IOR:") == 0);
        FUZZ_CHECK(RTC::remote::findNV(p.properties, "dataport.corba_cdr.inport_ref") != nullptr);
    }
}

// FUZZ_TRACE=1 in the environment prints every request and its answer, to read a finding.
bool trace() {
    static const bool on = std::getenv("FUZZ_TRACE") != nullptr;
    return on;
}

void describe(const Call& c, const RTC::ConnectorProfile& p, RTC::ReturnCode_t r) {
    static const char* const refNames[] = {"nil", "in", "out", "component", "consumer", "garbage"};
    std::fprintf(stderr, "%s.%s id=\"%s\" ports=[", c.outPort ? "out" : "in",
                 c.connect ? "connect" : "notify_connect", p.connector_id.in());
    for (const PortEntry& e : c.ports) std::fprintf(stderr, " %s", refNames[e.ref]);
    std::fprintf(stderr, " ] -> %s\n", RTC::remote::returnCodeName(r));
    for (CORBA::ULong i = 0; i < p.properties.length(); ++i)
        std::fprintf(stderr, "  %s = %s\n", p.properties[i].name.in(),
                     RTC::remote::anyToText(p.properties[i].value).c_str());
}

void callOne(const Call& c, Run& run) {
    const World& w = world();
    RTC::ConnectorProfile p = profileOf(c, run);
    RTC::PortService_ptr target = c.outPort ? w.outPort.in() : w.inPort.in();
    RTC::ReturnCode_t r = RTC::RTC_ERROR;
    try {
        r = c.connect ? target->connect(p) : target->notify_connect(p);
    } catch (const CORBA::SystemException&) {
        r = RTC::RTC_ERROR;
    }
    if (trace()) describe(c, p, r);
    if (r == RTC::RTC_OK) checkMade(p, target, c.connect);
    run.ids.push_back(p.connector_id.in());
    // Written by our input port, or one of the values this harness allowed in: never foreign.
    std::string ior;
    if (RTC::remote::findString(p.properties, "dataport.corba_cdr.inport_ior", ior) &&
        ior.compare(0, 4, "IOR:") == 0) {
        try {
            CORBA::Object_var obj = w.orb->string_to_object(ior.c_str());
            if (obj->_is_a("IDL:openrtm.aist.go.jp/OpenRTM/InPortCdr:1.0")) run.consumerIor = ior;
        } catch (const CORBA::SystemException&) {
        }
    }
}

void disconnectAll() {
    const World& w = world();
    for (RTC::PortService_ptr port : {w.inPort.in(), w.outPort.in()}) {
        for (const std::string& id : heldIds(port)) {
            try {
                port->disconnect(id.c_str());
            } catch (const CORBA::SystemException&) {
            }
        }
    }
    FUZZ_CHECK(heldIds(w.inPort).empty());
    FUZZ_CHECK(heldIds(w.outPort).empty());
    FUZZ_CHECK(w.probe->in.connectors().empty());
    FUZZ_CHECK(w.probe->out.connectors().empty());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const Case c = readCase(in);
    Run run;
    for (const Call& call : c.calls) callOne(call, run);
    World& w = world();
    if (c.write) {
        // Pushes along whatever connections were made; every peer is an object of this process.
        w.probe->outValue.tm.sec = 1;
        w.probe->outValue.width = w.probe->outValue.height = 1;
        w.probe->outValue.data.length(1);
        w.probe->out.write();
        while (w.probe->in.isNew()) w.probe->in.read();
    }
    disconnectAll();
    while (w.probe->in.isNew()) w.probe->in.read();
    return 0;
}
