#include "RemotePeer.h"

#include <rtm/RemoteUtil.h>

#include <unistd.h>

#include <fstream>
#include <sstream>

namespace benchpeer {

CORBA::ORB_ptr orb() {
    static CORBA::ORB_ptr s_orb = [] {
        const char* args[] = {"bench", "-ORBendPoint", "giop:tcp:127.0.0.1:",
                              "-ORBgiopMaxMsgSize", kMaxMessage, nullptr};
        int argc = 5;
        return CORBA::ORB_init(argc, const_cast<char**>(args));
    }();
    return s_orb;
}

std::unique_ptr<remotetest::Component> startComponent(const std::string& program,
                                                      const std::vector<std::string>& options,
                                                      const std::map<std::string, std::string>& env) {
    // The test helper's default rate (50 Hz) is replaced by the middleware's own (1000 Hz), the
    // rate the viewers run at unless configured otherwise.
    std::vector<std::string> all = {"exec_cxt.periodic.rate:1000",
                                    std::string("corba.args:-ORBgiopMaxMsgSize ") + kMaxMessage};
    all.insert(all.end(), options.begin(), options.end());
    return std::unique_ptr<remotetest::Component>(new remotetest::Component(program, "", all, env));
}

CORBA::Object_ptr connectFirstPortOver(const std::string& componentIor,
                                       const char* interfaceType, std::string& why,
                                       const std::map<std::string, std::string>& extra) {
    try {
        CORBA::Object_var obj = orb()->string_to_object(componentIor.c_str());
        RTC::RTObject_var comp = RTC::RTObject::_narrow(obj);
        if (CORBA::is_nil(comp)) {
            why = "the reference is not an RTObject";
            return CORBA::Object::_nil();
        }
        RTC::PortServiceList_var ports = comp->get_ports();
        if (ports->length() == 0) {
            why = "the component has no port";
            return CORBA::Object::_nil();
        }
        RTC::ConnectorProfile p;
        p.name = CORBA::string_dup("bench");
        p.connector_id = CORBA::string_dup("");
        p.ports.length(1);
        p.ports[0] = RTC::PortService::_duplicate(ports[0].in());
        RTC::remote::setNV(p.properties, "dataport.interface_type", interfaceType);
        RTC::remote::setNV(p.properties, "dataport.dataflow_type", "push");
        RTC::remote::setNV(p.properties, "dataport.subscription_type", "flush");
        RTC::remote::setNV(p.properties, "dataport.serializer.cdr.endian", "little");
        for (const auto& e : extra) RTC::remote::setNV(p.properties, e.first.c_str(), e.second.c_str());
        if (ports[0]->connect(p) != RTC::RTC_OK) {
            why = "connect() refused";
            return CORBA::Object::_nil();
        }
        std::string ior;
        if (!RTC::remote::findString(p.properties, "dataport.corba_cdr.inport_ior", ior)) {
            why = "no dataport.corba_cdr.inport_ior in the connector";
            return CORBA::Object::_nil();
        }
        return orb()->string_to_object(ior.c_str());
    } catch (const CORBA::Exception& e) {
        why = std::string("CORBA ") + e._name();
        return CORBA::Object::_nil();
    }
}

OpenRTM::InPortCdr_ptr connectFirstPort(const std::string& componentIor, std::string& why) {
    CORBA::Object_var obj = connectFirstPortOver(componentIor, "corba_cdr", why);
    if (CORBA::is_nil(obj)) return OpenRTM::InPortCdr::_nil();
    return OpenRTM::InPortCdr::_narrow(obj);
}

double cpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The command name may hold spaces; the fields after it start past the last ')'.
    const std::size_t close = all.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(all.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    // Fields 3 to 13 (state .. cmajflt) come before utime (14) and stime (15).
    for (int i = 3; i <= 13; ++i) fields >> field;
    if (!(fields >> utime >> stime)) return -1;
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

long residentKb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, 6, "VmRSS:") == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

}  // namespace benchpeer
