// A raw client built from our IDL against component programs in other processes: what the
// component, port and context objects answer, and the connection protocol and corba_cdr push as a
// peer of another implementation would drive them.
#include <gtest/gtest.h>
#include <rtm/RTC.h>
#include <rtm/OutPortBase.h>
#include <rtm/RemoteUtil.h>
#include <rtm/SdoServiceAdmin.h>
#include <rtm/ShmSegment.h>
#include <rtm/idl/ComponentObserverSkel.h>
#include <rtm/idl/SharedMemorySkel.h>

#include <StereoCameraService.hh>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <limits>
#include <mutex>
#include <regex>
#include <thread>

#include "Cdr.h"
#include "Orb.h"
#include "Processes.h"
#include "StereoPattern.h"

namespace {

using namespace std::chrono_literals;
using RTC::remote::findNV;
using RTC::remote::findString;
using RTC::remote::setNV;
using remotetest::Component;

RTC::RTObject_ptr componentOf(const Component& c) {
    CORBA::Object_var obj = testsupport::orb()->string_to_object(c.ior().c_str());
    RTC::RTObject_ptr comp = RTC::RTObject::_narrow(obj);
    omniORB::setClientCallTimeout(comp, 20000);
    return comp;
}

RTC::PortService_ptr firstPort(RTC::RTObject_ptr comp) {
    RTC::PortServiceList_var ports = comp->get_ports();
    if (ports->length() == 0) return RTC::PortService::_nil();
    return RTC::PortService::_duplicate(ports[0].in());
}

RTC::ExecutionContext_ptr ownContext(RTC::RTObject_ptr comp) {
    RTC::ExecutionContextList_var ecs = comp->get_owned_contexts();
    if (ecs->length() == 0) return RTC::ExecutionContext::_nil();
    return RTC::ExecutionContext::_duplicate(ecs[0].in());
}

std::string text(const SDOPackage::NVList& list, const char* name) {
    std::string v;
    return findString(list, name, v) ? v : "<missing>";
}

RTC::ConnectorProfile profileFor(std::initializer_list<RTC::PortService_ptr> ports,
                                 const char* id = "") {
    RTC::ConnectorProfile p;
    p.name = CORBA::string_dup("raw");
    p.connector_id = CORBA::string_dup(id);
    p.ports.length(static_cast<CORBA::ULong>(ports.size()));
    CORBA::ULong i = 0;
    for (RTC::PortService_ptr port : ports) p.ports[i++] = RTC::PortService::_duplicate(port);
    setNV(p.properties, "dataport.interface_type", "corba_cdr");
    setNV(p.properties, "dataport.dataflow_type", "push");
    setNV(p.properties, "dataport.subscription_type", "flush");
    return p;
}

OpenRTM::CdrData cdr(const testsupport::Bytes& bytes) {
    OpenRTM::CdrData d;
    d.length(static_cast<CORBA::ULong>(bytes.size()));
    for (CORBA::ULong i = 0; i < d.length(); ++i) d[i] = bytes[i];
    return d;
}

OpenRTM::CdrData mapBytes(CORBA::ULong sec, bool littleEndian = true) {
    QOR::TimedStereoData map;
    pattern::fill(map, sec, 5, 4);
    cdrMemoryStream s;
    s.setByteSwapFlag(littleEndian);
    map >>= s;
    const auto* p = static_cast<const std::uint8_t*>(s.bufPtr());
    return cdr(testsupport::Bytes(p, p + s.bufSize()));
}

// The input side of a connection, in this process: records the tm.sec of every map put into it,
// and can be made to hang in put.
class RecordingInPort : public POA_OpenRTM::InPortCdr {
public:
    OpenRTM::PortStatus put(const OpenRTM::CdrData& data) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_hang) m_changed.wait_for(lock, 15s, [this] { return !m_hang; });
        QOR::TimedStereoData map;
        try {
            testsupport::decode(testsupport::Bytes(data.get_buffer(), data.get_buffer() + data.length()), map);
        } catch (const CORBA::SystemException&) {
            return OpenRTM::PORT_ERROR;
        }
        m_secs.push_back(map.tm.sec);
        m_intact = m_intact && pattern::intact(map);
        m_changed.notify_all();
        return OpenRTM::PORT_OK;
    }
    std::vector<unsigned long> waitFor(std::size_t n, std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_for(lock, limit, [&] { return m_secs.size() >= n; });
        return m_secs;
    }
    void hang(bool on) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_hang = on;
        m_changed.notify_all();
    }
    bool intact() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_intact;
    }

private:
    // Guards the members below; m_changed signals a recorded put or an end of hanging.
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<unsigned long> m_secs;
    bool m_intact = true;
    bool m_hang = false;
};

class Wire : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::rootPoa();
        ASSERT_FALSE(consumer.ior().empty()) << consumer.output();
        comp = componentOf(consumer);
        ASSERT_FALSE(CORBA::is_nil(comp));
        port = firstPort(comp);
        ASSERT_FALSE(CORBA::is_nil(port));
        ec = ownContext(comp);
        ASSERT_FALSE(CORBA::is_nil(ec));
    }

    Component consumer{"stereo_consumer", "", {"exec_cxt.periodic.rate:40"}};
    RTC::RTObject_var comp;
    RTC::PortService_var port;
    RTC::ExecutionContext_var ec;
};

TEST_F(Wire, ComponentAnswersForEveryBaseInterfaceWithItsProfile) {
    for (const char* id : {"IDL:openrtm.aist.go.jp/OpenRTM/DataFlowComponent:1.0",
                           "IDL:omg.org/RTC/RTObject:1.0", "IDL:omg.org/RTC/DataFlowComponent:1.0",
                           "IDL:omg.org/RTC/LightweightRTObject:1.0",
                           "IDL:omg.org/RTC/ComponentAction:1.0",
                           "IDL:omg.org/RTC/DataFlowComponentAction:1.0",
                           "IDL:org.omg/SDOPackage/SDO:1.0",
                           "IDL:org.omg/SDOPackage/SDOSystemElement:1.0"})
        EXPECT_TRUE(comp->_is_a(id)) << id;
    EXPECT_FALSE(comp->_is_a("IDL:omg.org/RTC/FsmParticipant:1.0"));
    EXPECT_FALSE(comp->_is_a("IDL:openrtm.aist.go.jp/OpenRTM/DataFlowComponent:1.1"));

    RTC::ComponentProfile_var p = comp->get_component_profile();
    EXPECT_STREQ("StereoConsumer0", p->instance_name);
    EXPECT_STREQ("StereoConsumer", p->type_name);
    EXPECT_STREQ("test depth map consumer", p->description);
    EXPECT_STREQ("1.0.0", p->version);
    EXPECT_STREQ("example.org", p->vendor);
    EXPECT_STREQ("Test", p->category);
    EXPECT_TRUE(CORBA::is_nil(p->parent));
    EXPECT_EQ("StereoConsumer0", text(p->properties, "instance_name"));
    EXPECT_EQ("40", text(p->properties, "exec_cxt.periodic.rate"));
    ASSERT_EQ(1u, p->port_profiles.length());
    EXPECT_STREQ("StereoConsumer0.stereo", p->port_profiles[0].name);
    EXPECT_TRUE(p->port_profiles[0].port_ref->_is_equivalent(port));
}

TEST_F(Wire, PortProfileCarriesTheDataPortFacts) {
    EXPECT_TRUE(port->_is_a("IDL:omg.org/RTC/PortService:1.0"));
    EXPECT_TRUE(port->_is_a("IDL:org.omg/SDOPackage/SDOService:1.0"));
    RTC::PortProfile_var p = port->get_port_profile();
    EXPECT_STREQ("StereoConsumer0.stereo", p->name);
    EXPECT_EQ(0u, p->interfaces.length());
    EXPECT_TRUE(p->port_ref->_is_equivalent(port));
    EXPECT_TRUE(p->owner->_is_equivalent(comp));
    EXPECT_EQ(0u, p->connector_profiles.length());
    EXPECT_EQ("DataInPort", text(p->properties, "port.port_type"));
    EXPECT_EQ("TimedStereoData", text(p->properties, "dataport.data_type"));
    EXPECT_EQ("Any", text(p->properties, "dataport.subscription_type"));
    EXPECT_EQ("push", text(p->properties, "dataport.dataflow_type"));
    EXPECT_EQ("corba_cdr,shared_memory", text(p->properties, "dataport.interface_type"));
    EXPECT_EQ("little,big", text(p->properties, "dataport.serializer.cdr.endian"));
    for (CORBA::ULong i = 0; i < p->properties.length(); ++i) {
        const char* s = nullptr;
        EXPECT_TRUE(p->properties[i].value >>= s) << p->properties[i].name << " is not a string";
    }
}

TEST_F(Wire, OwnContextAnswersAndDrivesTheComponent) {
    EXPECT_TRUE(ec->_is_a("IDL:omg.org/RTC/ExecutionContextService:1.0"));
    EXPECT_TRUE(ec->_is_a("IDL:omg.org/RTC/ExecutionContext:1.0"));
    EXPECT_EQ(RTC::PERIODIC, ec->get_kind());
    EXPECT_DOUBLE_EQ(40.0, ec->get_rate());
    EXPECT_TRUE(ec->is_running());
    EXPECT_EQ(0, comp->get_context_handle(ec));
    RTC::ExecutionContext_var byHandle = comp->get_context(0);
    EXPECT_TRUE(byHandle->_is_equivalent(ec));
    EXPECT_TRUE(CORBA::is_nil(RTC::ExecutionContext_var(comp->get_context(1))));
    EXPECT_TRUE(CORBA::is_nil(RTC::ExecutionContext_var(comp->get_context(1000))));
    EXPECT_TRUE(comp->is_alive(ec));
    EXPECT_FALSE(comp->is_alive(RTC::ExecutionContext::_nil()));
    RTC::ExecutionContextList_var participating = comp->get_participating_contexts();
    EXPECT_EQ(0u, participating->length());

    RTC::ExecutionContextService_var service = RTC::ExecutionContextService::_narrow(ec);
    RTC::ExecutionContextProfile_var p = service->get_profile();
    EXPECT_EQ(RTC::PERIODIC, p->kind);
    EXPECT_DOUBLE_EQ(40.0, p->rate);
    EXPECT_TRUE(p->owner->_is_equivalent(comp));
    ASSERT_EQ(1u, p->participants.length());
    EXPECT_TRUE(p->participants[0]->_is_equivalent(comp));

    EXPECT_EQ(RTC::RTC_OK, ec->set_rate(25.0));
    EXPECT_DOUBLE_EQ(25.0, ec->get_rate());
    for (double bad : {-1.0, 0.0, 1e-9, 1e-300, 1e9, std::numeric_limits<double>::infinity(),
                       std::numeric_limits<double>::quiet_NaN()})
        EXPECT_EQ(RTC::BAD_PARAMETER, ec->set_rate(bad)) << bad;
    EXPECT_DOUBLE_EQ(25.0, ec->get_rate());

    EXPECT_EQ(RTC::INACTIVE_STATE, ec->get_component_state(comp));
    EXPECT_EQ(RTC::RTC_OK, ec->activate_component(comp));
    EXPECT_EQ(RTC::ACTIVE_STATE, ec->get_component_state(comp));
    EXPECT_TRUE(consumer.expect("activated"));
    EXPECT_EQ(RTC::PRECONDITION_NOT_MET, ec->activate_component(comp));
    EXPECT_EQ(RTC::RTC_OK, ec->deactivate_component(comp));
    EXPECT_EQ(RTC::INACTIVE_STATE, ec->get_component_state(comp));
    EXPECT_EQ(RTC::PRECONDITION_NOT_MET, ec->reset_component(comp));
    // Components it does not drive: none, and one of another process.
    EXPECT_EQ(RTC::CREATED_STATE, ec->get_component_state(RTC::LightweightRTObject::_nil()));
    EXPECT_EQ(RTC::BAD_PARAMETER, ec->activate_component(RTC::LightweightRTObject::_nil()));
    // A configured rate gets the same check.
    Component other("stereo_producer", "", {"exec_cxt.periodic.rate:1e-300"});
    RTC::RTObject_var stranger = componentOf(other);
    EXPECT_DOUBLE_EQ(1000.0, RTC::ExecutionContext_var(ownContext(stranger))->get_rate());
    EXPECT_NE(std::string::npos,
              other.output().find("exec_cxt.periodic.rate \"1e-300\" is not a rate"))
        << other.output();
    EXPECT_EQ(RTC::CREATED_STATE, ec->get_component_state(stranger));
    EXPECT_EQ(RTC::BAD_PARAMETER, ec->activate_component(stranger));
    EXPECT_EQ(RTC::BAD_PARAMETER, ec->add_component(stranger));
    EXPECT_EQ(RTC::PRECONDITION_NOT_MET, ec->remove_component(comp));
    EXPECT_EQ(RTC::PRECONDITION_NOT_MET, comp->initialize());
}

// The expected answers are those of the middleware's own components that declare no
// configuration parameters.
TEST_F(Wire, SdoOperationsAnswerAsTheMiddlewaresDo) {
    CORBA::String_var id = comp->get_sdo_id();
    EXPECT_STREQ("StereoConsumer0", id);
    CORBA::String_var type = comp->get_sdo_type();
    EXPECT_STREQ("test depth map consumer", type);
    EXPECT_EQ(0u, SDOPackage::OrganizationList_var(comp->get_owned_organizations())->length());
    EXPECT_EQ(0u, SDOPackage::OrganizationList_var(comp->get_organizations())->length());
    EXPECT_EQ(0u, SDOPackage::ServiceProfileList_var(comp->get_service_profiles())->length());
    EXPECT_EQ(0u, SDOPackage::NVList_var(comp->get_status_list())->length());
    SDOPackage::DeviceProfile_var device = comp->get_device_profile();
    EXPECT_EQ(0u, device->properties.length());
    EXPECT_STREQ("", device->device_type);
    // Unknown services and status: InvalidParameter, with these descriptions.
    auto invalid = [](auto call) {
        try {
            call();
        } catch (const SDOPackage::InvalidParameter& e) {
            return std::string(e.description.in());
        }
        return std::string("<no exception>");
    };
    EXPECT_EQ("", invalid([&] { SDOPackage::ServiceProfile_var(comp->get_service_profile("x")); }));
    EXPECT_EQ("", invalid([&] { SDOPackage::SDOService_var(comp->get_sdo_service("x")); }));
    EXPECT_EQ("get_status(): Not found", invalid([&] { CORBA::Any_var(comp->get_status("x")); }));
    // Monitoring stays unimplemented, with an empty description.
    try {
        SDOPackage::Monitoring_var(comp->get_monitoring());
        ADD_FAILURE() << "get_monitoring answered";
    } catch (const SDOPackage::InterfaceNotImplemented& e) {
        EXPECT_STREQ("", e.description);
    }

    SDOPackage::Configuration_var conf = comp->get_configuration();
    ASSERT_FALSE(CORBA::is_nil(conf));
    EXPECT_TRUE(conf->_is_a("IDL:org.omg/SDOPackage/Configuration:1.0"));
    // A stored device profile and organizations (a nil one too) come back on the component.
    device->device_type = CORBA::string_dup("stereo");
    setNV(device->properties, "serial", "7");
    EXPECT_TRUE(conf->set_device_profile(device.in()));
    device = comp->get_device_profile();
    EXPECT_STREQ("stereo", device->device_type);
    EXPECT_EQ("7", text(device->properties, "serial"));
    EXPECT_TRUE(conf->add_organization(SDOPackage::Organization::_nil()));
    SDOPackage::OrganizationList_var orgs = comp->get_organizations();
    ASSERT_EQ(1u, orgs->length());
    EXPECT_TRUE(CORBA::is_nil(orgs[0]));
    EXPECT_TRUE(conf->remove_organization("unknown"));
    // Consumers of other interfaces are not taken.
    SDOPackage::ServiceProfile service;
    service.id = CORBA::string_dup("s1");
    service.interface_type = CORBA::string_dup("IDL:x:1.0");
    EXPECT_FALSE(conf->add_service_profile(service));
    EXPECT_FALSE(conf->remove_service_profile("s1"));

    OpenRTM::DataFlowComponent_var flow = OpenRTM::DataFlowComponent::_narrow(comp);
    ASSERT_FALSE(CORBA::is_nil(flow));
    EXPECT_EQ(RTC::RTC_OK, flow->on_state_update(0));
    EXPECT_TRUE(consumer.process().running());
    EXPECT_EQ(RTC::INACTIVE_STATE, ec->get_component_state(comp));
}

SDOPackage::ConfigurationSet configurationSet(
    const char* id, std::initializer_list<std::pair<const char*, const char*>> data) {
    SDOPackage::ConfigurationSet set;
    set.id = CORBA::string_dup(id);
    set.description = CORBA::string_dup("not kept");
    for (const auto& kv : data) setNV(set.configuration_data, kv.first, kv.second);
    return set;
}

std::string setIds(const SDOPackage::ConfigurationSetList& sets) {
    std::string ids;
    for (CORBA::ULong i = 0; i < sets.length(); ++i) ids += std::string(sets[i].id.in()) + " ";
    return ids;
}

// What rtconf calls for "list" (the sets, then the active set) and for "set" (the whole set's
// values, then its activation), answered as by a component with no parameters.
TEST_F(Wire, ConfigurationAnswersRtconfsCallsAsTheMiddlewareDoes) {
    SDOPackage::Configuration_var conf = comp->get_configuration();
    RTC::ComponentProfile_var profile = comp->get_component_profile();
    EXPECT_EQ("", text(profile->properties, "conf")) << "no set yet: the bare key";

    // First list: no sets; asking for the active one makes an empty "default".
    EXPECT_EQ(0u, SDOPackage::ConfigurationSetList_var(conf->get_configuration_sets())->length());
    SDOPackage::ConfigurationSet_var active = conf->get_active_configuration_set();
    EXPECT_STREQ("default", active->id);
    EXPECT_STREQ("", active->description);
    EXPECT_EQ(0u, active->configuration_data.length());
    // Second list: "+default*".
    SDOPackage::ConfigurationSetList_var sets = conf->get_configuration_sets();
    EXPECT_EQ("default ", setIds(sets));
    active = conf->get_active_configuration_set();
    EXPECT_STREQ("default", active->id);
    EXPECT_TRUE(conf->activate_configuration_set("default"));
    profile = comp->get_component_profile();
    EXPECT_EQ("<missing>", text(profile->properties, "conf"));
    EXPECT_EQ("", text(profile->properties, "conf.default"));

    // "set": values merged into the set, kept as conf.<set>.<key>, then activated again.
    EXPECT_TRUE(conf->set_configuration_set_values(
        configurationSet("default", {{"gain", "2"}, {"description", "bright"}})));
    EXPECT_THROW(SDOPackage::ConfigurationSet_var(conf->get_active_configuration_set()),
                 SDOPackage::NotAvailable)
        << "a change leaves no set active until one is activated";
    EXPECT_TRUE(conf->activate_configuration_set("default"));
    active = conf->get_active_configuration_set();
    EXPECT_STREQ("bright", active->description) << "from the key, not the member";
    ASSERT_EQ(2u, active->configuration_data.length());
    EXPECT_STREQ("gain", active->configuration_data[0].name);
    EXPECT_EQ("2", text(active->configuration_data, "gain"));
    profile = comp->get_component_profile();
    EXPECT_EQ("2", text(profile->properties, "conf.default.gain"));
    EXPECT_EQ("bright", text(profile->properties, "conf.default.description"));
}

TEST_F(Wire, ConfigurationSetsAreMadeRemovedAndActivatedByTheMiddlewaresRules) {
    SDOPackage::Configuration_var conf = comp->get_configuration();
    auto description = [](auto call) {
        try {
            call();
        } catch (const SDOPackage::InvalidParameter& e) {
            return "InvalidParameter " + std::string(e.description.in());
        } catch (const SDOPackage::InternalError& e) {
            return "InternalError " + std::string(e.description.in());
        }
        return std::string("<no exception>");
    };
    // Empty and unknown ids.
    EXPECT_EQ("InternalError ID is empty", description([&] {
                  SDOPackage::ConfigurationSet_var(conf->get_configuration_set(""));
              }));
    for (const char* unknown : {"default", "__widget__", "mode1"})
        EXPECT_EQ("InternalError Unknown exception", description([&] {
                      SDOPackage::ConfigurationSet_var(conf->get_configuration_set(unknown));
                  }))
            << unknown;
    EXPECT_EQ("InvalidParameter ID is empty.",
              description([&] { conf->set_configuration_set_values(configurationSet("", {})); }));
    EXPECT_EQ("InvalidParameter ID is empty.",
              description([&] { conf->remove_configuration_set(""); }));
    EXPECT_EQ("InvalidParameter ID is empty.",
              description([&] { conf->activate_configuration_set(""); }));
    EXPECT_EQ("InvalidParameter Configuration::activate_configuration_set()",
              description([&] { conf->activate_configuration_set("mode1"); }));
    EXPECT_FALSE(conf->add_configuration_set(configurationSet("", {})));

    // Added sets may be removed unless active; sets made by setting values may not.
    EXPECT_TRUE(conf->add_configuration_set(configurationSet("mode1", {{"gain", "3"}})));
    EXPECT_FALSE(conf->add_configuration_set(configurationSet("mode1", {})));
    EXPECT_TRUE(conf->set_configuration_set_values(
        configurationSet("mode2", {{"exported_ports", "a.b.in,c.out"}})));
    EXPECT_TRUE(
        conf->set_configuration_set_values(configurationSet("__widget__", {{"gain", "slider"}})));
    SDOPackage::ConfigurationSet_var mode2 = conf->get_configuration_set("mode2");
    EXPECT_EQ("a.in,c.out", text(mode2->configuration_data, "exported_ports"));
    EXPECT_EQ("mode1 mode2 __widget__ ",
              setIds(SDOPackage::ConfigurationSetList_var(conf->get_configuration_sets())));
    EXPECT_EQ("InvalidParameter Configuration::activate_configuration_set()",
              description([&] { conf->activate_configuration_set("__widget__"); }));
    EXPECT_TRUE(conf->activate_configuration_set("mode1"));
    EXPECT_FALSE(conf->remove_configuration_set("mode1")) << "active";
    EXPECT_FALSE(conf->remove_configuration_set("mode2")) << "not added";
    EXPECT_FALSE(conf->remove_configuration_set("default"));
    EXPECT_TRUE(conf->activate_configuration_set("mode2"));
    EXPECT_TRUE(conf->remove_configuration_set("mode1"));
    EXPECT_FALSE(conf->remove_configuration_set("mode1")) << "gone";
    EXPECT_EQ("mode2 __widget__ ",
              setIds(SDOPackage::ConfigurationSetList_var(conf->get_configuration_sets())));

    // The parameter operations: nothing declared, nothing changed.
    EXPECT_EQ(0u, SDOPackage::ParameterList_var(conf->get_configuration_parameters())->length());
    EXPECT_EQ(0u, SDOPackage::NVList_var(conf->get_configuration_parameter_values())->length());
    EXPECT_EQ("InvalidParameter Name is empty.",
              description([&] { CORBA::Any_var(conf->get_configuration_parameter_value("")); }));
    CORBA::Any_var none = conf->get_configuration_parameter_value("gain");
    EXPECT_EQ(CORBA::tk_null, CORBA::TypeCode_var(none->type())->kind());
    CORBA::Any five;
    five <<= "5";
    EXPECT_TRUE(conf->set_configuration_parameter("gain", five));
    EXPECT_EQ(0u, SDOPackage::NVList_var(conf->get_configuration_parameter_values())->length());
}

// Sets, their keys and values have bounds; a refusal changes nothing, and a removed set makes
// room again. Keys too deep to keep are refused, never a crash.
TEST_F(Wire, ConfigurationSetsAndValuesAreBounded) {
    SDOPackage::Configuration_var conf = comp->get_configuration();
    auto refusal = [&](const SDOPackage::ConfigurationSet& set) {
        try {
            conf->set_configuration_set_values(set);
        } catch (const SDOPackage::InvalidParameter& e) {
            return std::string(e.description.in());
        }
        return std::string("<accepted>");
    };
    SDOPackage::ConfigurationSet big = configurationSet("big", {});
    setNV(big.configuration_data, "v", std::string(64 * 1024 + 1, 'x').c_str());
    EXPECT_EQ("no value longer than 65536 bytes", refusal(big));
    EXPECT_FALSE(conf->add_configuration_set(big));
    SDOPackage::ConfigurationSet wide = configurationSet("wide", {});
    for (int i = 0; i < 257; ++i)
        setNV(wide.configuration_data, ("k" + std::to_string(i)).c_str(), "1");
    EXPECT_EQ("no more than 256 keys in a set", refusal(wide));
    SDOPackage::ConfigurationSet deep = configurationSet("deep", {});
    setNV(deep.configuration_data, std::string(100000, '.').c_str(), "1");
    EXPECT_EQ("key of too many levels", refusal(deep));
    EXPECT_FALSE(conf->add_configuration_set(deep));
    // 63 sets of 64 KiB fit in 4 MiB; the next does not, until one is removed.
    SDOPackage::ConfigurationSet full = configurationSet("", {});
    setNV(full.configuration_data, "v", std::string(64 * 1024, 'x').c_str());
    int added = 0;
    for (; added < 200; ++added) {
        full.id = CORBA::string_dup(("s" + std::to_string(added)).c_str());
        if (!conf->add_configuration_set(full)) break;
    }
    EXPECT_EQ(63, added);
    EXPECT_EQ(63u, SDOPackage::ConfigurationSetList_var(conf->get_configuration_sets())->length());
    EXPECT_TRUE(conf->remove_configuration_set("s0"));
    EXPECT_TRUE(conf->add_configuration_set(full));
    RTC::ComponentProfile_var profile = comp->get_component_profile();
    EXPECT_EQ(64 * 1024u, text(profile->properties, "conf.s1.v").size());
    // The count of sets is bounded as well.
    for (int i = 0; i < 63; ++i) conf->remove_configuration_set(("s" + std::to_string(i)).c_str());
    SDOPackage::ConfigurationSet small = configurationSet("", {{"v", "1"}});
    for (added = 0; added < 200; ++added) {
        small.id = CORBA::string_dup(("t" + std::to_string(added)).c_str());
        if (!conf->add_configuration_set(small)) break;
    }
    EXPECT_EQ(127, added) << "128 with the one 64 KiB set left";
    EXPECT_TRUE(consumer.process().running());
}

// A tool's component observer, in this process: records "<kind> <hint>" for every notice.
class RecordingObserver : public POA_OpenRTM::ComponentObserver {
public:
    void update_status(OpenRTM::StatusKind kind, const char* hint) override {
        static const char* const kinds[] = {"COMPONENT_PROFILE", "RTC_STATUS",    "EC_STATUS",
                                            "PORT_PROFILE",      "CONFIGURATION", "HEARTBEAT"};
        std::lock_guard<std::mutex> lock(m_mutex);
        m_notices.push_back(std::string(kind < 6 ? kinds[kind] : "?") + " " + hint);
        m_changed.notify_all();
    }
    // The notices so far, once every one of `expected` has come (as often as it is listed there)
    // or `limit` has passed. The observer's ORB may run oneway calls side by side, so the order
    // in which they arrive is not the order in which they were sent.
    std::vector<std::string> waitFor(const std::vector<std::string>& expected,
                                     std::chrono::milliseconds limit = 10s) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_for(lock, limit, [&] {
            return std::all_of(expected.begin(), expected.end(), [&](const std::string& e) {
                return std::count(m_notices.begin(), m_notices.end(), e) >=
                       std::count(expected.begin(), expected.end(), e);
            });
        });
        return m_notices;
    }

private:
    // Guards m_notices; m_changed signals a new one.
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_notices;
};

// An observer servant activated in the test's POA for the test's length.
struct Observer {
    Observer() : servant(new RecordingObserver) {
        oid = testsupport::rootPoa()->activate_object(servant);
        CORBA::Object_var obj = testsupport::rootPoa()->id_to_reference(oid.in());
        ref = OpenRTM::ComponentObserver::_narrow(obj);
    }
    ~Observer() {
        testsupport::rootPoa()->deactivate_object(oid.in());
        servant->_remove_ref();
    }
    RecordingObserver* servant;
    PortableServer::ObjectId_var oid;
    OpenRTM::ComponentObserver_var ref;
};

SDOPackage::ServiceProfile observerProfile(
    const char* id, CORBA::Object_ptr service,
    std::initializer_list<std::pair<const char*, const char*>> properties) {
    SDOPackage::ServiceProfile p;
    p.id = CORBA::string_dup(id);
    p.interface_type = CORBA::string_dup("IDL:OpenRTM/ComponentObserver:1.0");
    for (const auto& kv : properties) setNV(p.properties, kv.first, kv.second);
    p.service = SDOPackage::SDOService::_unchecked_narrow(service);
    return p;
}

// How many threads the process `pid` runs.
long threadsOf(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.compare(0, 8, "Threads:") == 0) return std::stol(line.substr(8));
    return -1;
}

// The notices of one kind, sorted: they arrive in no fixed order.
std::vector<std::string> only(const std::vector<std::string>& notices, const std::string& kind) {
    std::vector<std::string> out;
    for (const std::string& n : notices)
        if (n.compare(0, kind.size() + 1, kind + " ") == 0) out.push_back(n);
    std::sort(out.begin(), out.end());
    return out;
}

// How RT System Editor learns of changes without polling: the hints are the middleware's.
TEST_F(Wire, ObserversAreToldOfStatesContextsConnectionsAndSetsAsTheyAsk) {
    SDOPackage::Configuration_var conf = comp->get_configuration();
    Observer all, ports;
    ASSERT_TRUE(conf->add_service_profile(observerProfile(
        "all", all.ref,
        {{"observed_status", "ALL"}, {"heartbeat.enable", "YES"}, {"heartbeat.interval", "0.2"}})));
    ASSERT_TRUE(conf->add_service_profile(
        observerProfile("ports", ports.ref, {{"observed_status", " port_profile"}})));
    EXPECT_FALSE(conf->add_service_profile(observerProfile("", all.ref, {})));
    EXPECT_FALSE(conf->add_service_profile(observerProfile("nil", CORBA::Object::_nil(), {})));
    // The profiles given are the component's SDO services.
    SDOPackage::ServiceProfileList_var held = comp->get_service_profiles();
    ASSERT_EQ(2u, held->length());
    EXPECT_STREQ("all", held[0].id);
    EXPECT_EQ("0.2", text(held[0].properties, "heartbeat.interval"));
    SDOPackage::ServiceProfile_var one = comp->get_service_profile("ports");
    EXPECT_STREQ("IDL:OpenRTM/ComponentObserver:1.0", one->interface_type);
    SDOPackage::SDOService_var service = comp->get_sdo_service("all");
    EXPECT_TRUE(service->_is_equivalent(all.ref));

    ASSERT_EQ(RTC::RTC_OK, ec->activate_component(comp));
    ASSERT_EQ(RTC::RTC_OK, ec->deactivate_component(comp));
    ASSERT_EQ(RTC::RTC_OK, ec->set_rate(20.0));
    RTC::ConnectorProfile p = profileFor({port.in()});
    ASSERT_EQ(RTC::RTC_OK, port->connect(p));
    ASSERT_EQ(RTC::RTC_OK, port->disconnect(p.connector_id));
    ASSERT_TRUE(conf->add_configuration_set(configurationSet("mode1", {{"gain", "3"}})));
    ASSERT_TRUE(conf->activate_configuration_set("mode1"));

    const std::vector<std::string> states{"RTC_STATUS ACTIVE:0", "RTC_STATUS INACTIVE:0"};
    const std::vector<std::string> contexts{"EC_STATUS RATE_CHANGED:0"};
    const std::vector<std::string> connection{"PORT_PROFILE CONNECT:StereoConsumer0.stereo",
                                              "PORT_PROFILE DISCONNECT:StereoConsumer0.stereo"};
    const std::vector<std::string> sets{"CONFIGURATION ACTIVATE_CONFIG_SET: mode1",
                                        "CONFIGURATION ADD_CONFIG_SET: mode1"};
    std::vector<std::string> expected{"HEARTBEAT "};
    for (const auto* group : {&states, &contexts, &connection, &sets})
        expected.insert(expected.end(), group->begin(), group->end());
    const auto notices = all.servant->waitFor(expected);
    EXPECT_EQ(states, only(notices, "RTC_STATUS"));
    EXPECT_EQ(contexts, only(notices, "EC_STATUS"));
    EXPECT_EQ(connection, only(notices, "PORT_PROFILE"));
    EXPECT_EQ(sets, only(notices, "CONFIGURATION"));
    auto portNotices = ports.servant->waitFor(connection);
    std::sort(portNotices.begin(), portNotices.end());
    EXPECT_EQ(connection, portNotices) << "only what it asked for";

    EXPECT_TRUE(conf->remove_service_profile("all"));
    EXPECT_FALSE(conf->remove_service_profile("all"));
    held = comp->get_service_profiles();
    ASSERT_EQ(1u, held->length());
    EXPECT_STREQ("ports", held[0].id);
}

// A host that takes no new connection: its one-place backlog is full, so a connect to it waits
// until the caller gives up, as with a host that has dropped off the network.
struct SilentHost {
    SilentHost() {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        listener = ::socket(AF_INET, SOCK_STREAM, 0);
        ::bind(listener, reinterpret_cast<sockaddr*>(&addr), len);
        ::listen(listener, 0);
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
        filler = ::socket(AF_INET, SOCK_STREAM, 0);
        ::connect(filler, reinterpret_cast<sockaddr*>(&addr), len);
        port = ntohs(addr.sin_port);
    }
    ~SilentHost() {
        ::close(filler);
        ::close(listener);
    }
    int listener, filler, port;
};

// Observers that have gone or hang are dropped at their first failed call; the component, its
// context and the other observers carry on meanwhile.
TEST_F(Wire, DeadOrHungObserversAreDroppedWithoutHoldingUpTheComponent) {
    SDOPackage::Configuration_var conf = comp->get_configuration();
    SilentHost silent;
    const std::string gone =
        "corbaloc:iiop:127.0.0.1:" + std::to_string(testsupport::freeLoopbackPort()) + "/gone";
    const std::string hung = "corbaloc:iiop:127.0.0.1:" + std::to_string(silent.port) + "/hung";
    Observer live;
    ASSERT_TRUE(conf->add_service_profile(observerProfile(
        "dead", CORBA::Object_var(testsupport::orb()->string_to_object(gone.c_str())), {})));
    ASSERT_TRUE(conf->add_service_profile(observerProfile(
        "hung", CORBA::Object_var(testsupport::orb()->string_to_object(hung.c_str())), {})));
    ASSERT_TRUE(conf->add_service_profile(observerProfile("live", live.ref, {})));
    // Each change is made at once: the context's thread never waits for an observer.
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(RTC::RTC_OK, ec->activate_component(comp));
        EXPECT_EQ(RTC::ACTIVE_STATE, ec->get_component_state(comp));
        ASSERT_EQ(RTC::RTC_OK, ec->deactivate_component(comp));
        EXPECT_EQ(RTC::INACTIVE_STATE, ec->get_component_state(comp));
    }
    std::vector<std::string> states;
    for (int i = 0; i < 3; ++i) states.insert(states.end(), {"RTC_STATUS ACTIVE:0", "RTC_STATUS INACTIVE:0"});
    EXPECT_EQ(6u, only(live.servant->waitFor(states), "RTC_STATUS").size());
    SDOPackage::ServiceProfileList_var held = comp->get_service_profiles();
    for (auto deadline = std::chrono::steady_clock::now() + 10s;
         held->length() != 1 && std::chrono::steady_clock::now() < deadline;
         held = comp->get_service_profiles())
        std::this_thread::sleep_for(50ms);
    ASSERT_EQ(1u, held->length());
    EXPECT_STREQ("live", held[0].id);
    EXPECT_TRUE(consumer.process().running());
}

// One sender serves every observer of a component, which holds a bounded number of them; the
// heartbeat has a floor.
TEST_F(Wire, ObserversShareOneSenderUpToTheirLimit) {
    SDOPackage::Configuration_var conf = comp->get_configuration();
    const long before = threadsOf(consumer.process().pid());
    Observer one;
    for (std::size_t i = 0; i < RTC::SdoServiceAdmin::kMaxObservers; ++i)
        ASSERT_TRUE(conf->add_service_profile(
            observerProfile(("o" + std::to_string(i)).c_str(), one.ref, {})))
            << i;
    EXPECT_FALSE(conf->add_service_profile(observerProfile("over", one.ref, {})));
    EXPECT_TRUE(conf->add_service_profile(
        observerProfile("o0", one.ref, {{"observed_status", "RTC_STATUS"}})))
        << "a profile replacing one held is taken";
    EXPECT_EQ(RTC::SdoServiceAdmin::kMaxObservers,
              SDOPackage::ServiceProfileList_var(comp->get_service_profiles())->length());
    // The sender, and nothing per observer.
    EXPECT_LE(threadsOf(consumer.process().pid()), before + 2);
    ASSERT_EQ(RTC::RTC_OK, ec->activate_component(comp));
    const auto notices =
        one.servant->waitFor(std::vector<std::string>(RTC::SdoServiceAdmin::kMaxObservers,
                                                      "RTC_STATUS ACTIVE:0"));
    EXPECT_EQ(RTC::SdoServiceAdmin::kMaxObservers, only(notices, "RTC_STATUS").size());
    EXPECT_TRUE(conf->remove_service_profile("o1"));
    EXPECT_TRUE(conf->add_service_profile(observerProfile("again", one.ref, {})));

    SDOPackage::ServiceProfile flood = observerProfile(
        "flood", one.ref, {{"heartbeat.enable", "YES"}, {"heartbeat.interval", "1e-9"}});
    EXPECT_EQ(std::chrono::milliseconds(100),
              std::chrono::duration_cast<std::chrono::milliseconds>(
                  RTC::ComponentObserverConsumer(flood).heartbeatInterval()));
}

// Peers that never answer: a connection names a bounded number of ports, a notify_connect whose
// later ports are silent fails within one call limit however many they are, a component takes
// part in a bounded number of other processes' contexts, and with all of those silent the
// program still ends promptly on SIGTERM.
TEST_F(Wire, PeersThatNeverAnswerHoldNeitherACallNorTheEndForLong) {
    SilentHost silent;
    auto silentObject = [&](const std::string& key) {
        return testsupport::orb()->string_to_object(
            ("corbaloc:iiop:127.0.0.1:" + std::to_string(silent.port) + "/" + key).c_str());
    };
    auto chain = [&](CORBA::ULong length, const char* id) {
        RTC::ConnectorProfile p = profileFor({port.in()}, id);
        p.ports.length(length);
        for (CORBA::ULong i = 1; i < length; ++i)
            p.ports[i] = RTC::PortService::_unchecked_narrow(
                CORBA::Object_var(silentObject("port" + std::to_string(i))));
        return p;
    };
    omniORB::setClientCallTimeout(port, 30000);
    RTC::ConnectorProfile tooLong = chain(17, "too-long");
    EXPECT_EQ(RTC::BAD_PARAMETER, port->connect(tooLong));
    EXPECT_EQ(RTC::BAD_PARAMETER, port->notify_connect(tooLong));
    RTC::ConnectorProfile longest = chain(16, "silent-chain");
    EXPECT_EQ(RTC::RTC_ERROR, port->notify_connect(longest));
    EXPECT_EQ(0u, RTC::ConnectorProfileList_var(port->get_connector_profiles())->length());

    for (int i = 0; i < 16; ++i) {
        RTC::ExecutionContext_var foreign = RTC::ExecutionContext::_unchecked_narrow(
            CORBA::Object_var(silentObject("ec" + std::to_string(i))));
        EXPECT_EQ(1000 + i, comp->attach_context(foreign)) << i;
    }
    RTC::ExecutionContext_var oneTooMany = RTC::ExecutionContext::_unchecked_narrow(
        CORBA::Object_var(silentObject("ec16")));
    EXPECT_EQ(-1, comp->attach_context(oneTooMany));

    consumer.process().signal(SIGTERM);
    ASSERT_TRUE(consumer.process().wait(30s)) << "still waiting for its silent peers";
    EXPECT_TRUE(WIFEXITED(consumer.process().status()));
    EXPECT_EQ(0, WEXITSTATUS(consumer.process().status())) << consumer.output();
}

TEST_F(Wire, InPortCdrTakesValuesInTheConnectionsByteOrderAndDropsGarbage) {
    ASSERT_EQ(RTC::RTC_OK, ec->activate_component(comp));
    // A connector id as another tool made it, with a zero-filled tail.
    RTC::ConnectorProfile little = profileFor({port.in()}, "0a1b2c3d-0000-0000-0000-000000000000");
    ASSERT_EQ(RTC::RTC_OK, port->connect(little));
    EXPECT_STREQ("0a1b2c3d-0000-0000-0000-000000000000", little.connector_id);
    std::string ior;
    ASSERT_TRUE(findString(little.properties, "dataport.corba_cdr.inport_ior", ior));
    const CORBA::Any* ref = findNV(little.properties, "dataport.corba_cdr.inport_ref");
    ASSERT_NE(nullptr, ref);
    OpenRTM::InPortCdr_ptr typed = OpenRTM::InPortCdr::_nil();
    ASSERT_TRUE(*ref >>= typed) << "inport_ref does not hold an OpenRTM::InPortCdr";
    CORBA::Object_var fromIor = testsupport::orb()->string_to_object(ior.c_str());
    EXPECT_TRUE(fromIor->_is_equivalent(typed));
    OpenRTM::InPortCdr_var in = OpenRTM::InPortCdr::_duplicate(typed);

    EXPECT_EQ(OpenRTM::PORT_OK, in->put(mapBytes(1)));
    EXPECT_TRUE(consumer.expect("got 1 5x4 ok")) << consumer.output();
    EXPECT_EQ(OpenRTM::PORT_OK, in->put(cdr(testsupport::Bytes(64, 0xff))));
    EXPECT_TRUE(consumer.expect("dropped 1")) << consumer.output();
    EXPECT_EQ(OpenRTM::PORT_ERROR, in->put(OpenRTM::CdrData()));
    EXPECT_EQ(OpenRTM::PORT_OK, in->put(mapBytes(2)));
    EXPECT_TRUE(consumer.expect("got 2 5x4 ok")) << consumer.output();

    RTC::ConnectorProfile big = profileFor({port.in()});
    setNV(big.properties, "dataport.serializer.cdr.endian", "big,little");
    ASSERT_EQ(RTC::RTC_OK, port->connect(big));
    EXPECT_STRNE("", big.connector_id);
    ASSERT_TRUE(*findNV(big.properties, "dataport.corba_cdr.inport_ref") >>= typed);
    OpenRTM::InPortCdr_var bigIn = OpenRTM::InPortCdr::_duplicate(typed);
    EXPECT_EQ(OpenRTM::PORT_OK, bigIn->put(mapBytes(3, false)));
    EXPECT_TRUE(consumer.expect("got 3 5x4 ok")) << consumer.output();
    // Little-endian bytes on the big-endian connection do not decode: its order is its own.
    EXPECT_EQ(OpenRTM::PORT_OK, bigIn->put(mapBytes(4, true)));
    EXPECT_TRUE(consumer.expect("dropped 2")) << consumer.output();
    EXPECT_EQ(OpenRTM::PORT_OK, in->put(mapBytes(5)));
    EXPECT_TRUE(consumer.expect("got 5 5x4 ok")) << consumer.output();

    RTC::ConnectorProfileList_var listed = port->get_connector_profiles();
    EXPECT_EQ(2u, listed->length());
    RTC::ConnectorProfile_var one = port->get_connector_profile(little.connector_id);
    EXPECT_STREQ(little.connector_id, one->connector_id);
    EXPECT_EQ(RTC::RTC_OK, port->disconnect(little.connector_id));
    EXPECT_THROW(in->put(mapBytes(6)), CORBA::OBJECT_NOT_EXIST);
    EXPECT_EQ(OpenRTM::PORT_OK, bigIn->put(mapBytes(7, false)));
    EXPECT_TRUE(consumer.expect("got 7 5x4 ok")) << consumer.output();
    EXPECT_EQ(RTC::RTC_OK, port->disconnect_all());
    EXPECT_EQ(0u, RTC::ConnectorProfileList_var(port->get_connector_profiles())->length());
    EXPECT_EQ(RTC::BAD_PARAMETER, port->disconnect(big.connector_id));
}

TEST_F(Wire, ConnectRefusesKnownIdsOtherDataTypesAndOtherTransports) {
    RTC::ConnectorProfile first = profileFor({port.in()}, "same");
    setNV(first.properties, "dataport.data_type", "IDL:QOR/TimedStereoData:1.0");
    ASSERT_EQ(RTC::RTC_OK, port->connect(first));
    RTC::ConnectorProfile again = profileFor({port.in()}, "same");
    EXPECT_EQ(RTC::PRECONDITION_NOT_MET, port->connect(again));
    EXPECT_EQ(RTC::PRECONDITION_NOT_MET, port->notify_connect(again));

    struct Case {
        const char* key;
        const char* value;
    };
    for (const Case& c : {Case{"dataport.data_type", "IDL:QOR/TimedImageData:1.0"},
                          Case{"dataport.data_type", "TimedImageData"},
                          Case{"dataport.interface_type", "direct"},
                          Case{"dataport.dataflow_type", "pull"}}) {
        RTC::ConnectorProfile p = profileFor({port.in()});
        setNV(p.properties, c.key, c.value);
        EXPECT_EQ(RTC::BAD_PARAMETER, port->connect(p)) << c.key << " " << c.value;
    }
    RTC::ConnectorProfile none = profileFor({});
    EXPECT_EQ(RTC::BAD_PARAMETER, port->connect(none));
    RTC::ConnectorProfile deep = profileFor({port.in()});
    setNV(deep.properties, ("dataport." + std::string(100000, '.')).c_str(), "x");
    EXPECT_EQ(RTC::BAD_PARAMETER, port->connect(deep));
    EXPECT_EQ(RTC::BAD_PARAMETER, port->notify_connect(deep));
    // Only the accepted connection is there.
    RTC::ConnectorProfileList_var listed = port->get_connector_profiles();
    ASSERT_EQ(1u, listed->length());
    EXPECT_STREQ("same", listed[0].connector_id);
}

TEST_F(Wire, FullBufferThatMustNotOverwriteAnswersBufferFull) {
    RTC::ConnectorProfile p = profileFor({port.in()});
    setNV(p.properties, "dataport.buffer.length", "2");
    setNV(p.properties, "dataport.buffer.write.full_policy", "do_nothing");
    ASSERT_EQ(RTC::RTC_OK, port->connect(p));
    OpenRTM::InPortCdr_ptr typed = OpenRTM::InPortCdr::_nil();
    ASSERT_TRUE(*findNV(p.properties, "dataport.corba_cdr.inport_ref") >>= typed);
    EXPECT_EQ(OpenRTM::PORT_OK, typed->put(mapBytes(1)));
    EXPECT_EQ(OpenRTM::PORT_OK, typed->put(mapBytes(2)));
    EXPECT_EQ(OpenRTM::BUFFER_FULL, typed->put(mapBytes(3)));
    ASSERT_EQ(RTC::RTC_OK, ec->activate_component(comp));
    EXPECT_EQ((std::vector<unsigned long>{1, 2}), consumer.received(2)) << consumer.output();
    EXPECT_EQ(OpenRTM::PORT_OK, typed->put(mapBytes(4)));
    EXPECT_EQ((std::vector<unsigned long>{4}), consumer.received(1)) << consumer.output();
}

TEST_F(Wire, EitherPortMayComeFirstInTheProfile) {
    Component producer("stereo_producer", "");
    RTC::RTObject_var producerComp = componentOf(producer);
    RTC::PortService_var out = firstPort(producerComp);
    RTC::ExecutionContext_var producerEc = ownContext(producerComp);
    // The input side first: it publishes before the output side subscribes.
    RTC::ConnectorProfile p = profileFor({port.in(), out.in()});
    ASSERT_EQ(RTC::RTC_OK, out->connect(p));
    RTC::ConnectorProfileList_var outSide = out->get_connector_profiles();
    ASSERT_EQ(1u, outSide->length());
    EXPECT_STREQ(p.connector_id, outSide[0].connector_id);
    EXPECT_EQ(2u, outSide[0].ports.length());
    ASSERT_EQ(RTC::RTC_OK, ec->activate_component(comp));
    ASSERT_EQ(RTC::RTC_OK, producerEc->activate_component(producerComp));
    bool intact = false;
    const auto secs = consumer.received(3, 20s, &intact);
    EXPECT_EQ((std::vector<unsigned long>{1, 2, 3}), secs) << consumer.output();
    EXPECT_TRUE(intact);
    // Ended from the input side, on both sides.
    EXPECT_EQ(RTC::RTC_OK, port->disconnect(p.connector_id));
    EXPECT_EQ(0u, RTC::ConnectorProfileList_var(out->get_connector_profiles())->length());
}

TEST_F(Wire, ConnectionRefusedLaterInTheChainIsUndoneEarlier) {
    Component producer("stereo_producer", "");
    Component images("image_consumer", "");
    RTC::RTObject_var producerComp = componentOf(producer);
    RTC::RTObject_var imageComp = componentOf(images);
    RTC::PortService_var out = firstPort(producerComp);
    RTC::PortService_var imageIn = firstPort(imageComp);
    // The stereo consumer takes the connection, the image consumer refuses it.
    RTC::ConnectorProfile p = profileFor({out.in(), port.in(), imageIn.in()});
    setNV(p.properties, "dataport.data_type", "TimedStereoData");
    EXPECT_EQ(RTC::BAD_PARAMETER, out->connect(p));
    EXPECT_EQ(0u, RTC::ConnectorProfileList_var(out->get_connector_profiles())->length());
    EXPECT_EQ(0u, RTC::ConnectorProfileList_var(port->get_connector_profiles())->length());
    EXPECT_EQ(0u, RTC::ConnectorProfileList_var(imageIn->get_connector_profiles())->length());
}

TEST_F(Wire, ContextOfAnotherProcessCanBeAttachedAndDetached) {
    Component producer("stereo_producer", "");
    RTC::RTObject_var producerComp = componentOf(producer);
    RTC::ExecutionContext_var foreign = ownContext(producerComp);
    EXPECT_FALSE(comp->is_alive(foreign));
    EXPECT_EQ(-1, comp->get_context_handle(foreign));
    const RTC::ExecutionContextHandle_t h = comp->attach_context(foreign);
    EXPECT_EQ(1000, h);
    EXPECT_EQ(h, comp->attach_context(foreign));
    EXPECT_TRUE(comp->is_alive(foreign));
    EXPECT_EQ(h, comp->get_context_handle(foreign));
    RTC::ExecutionContext_var byHandle = comp->get_context(h);
    EXPECT_TRUE(byHandle->_is_equivalent(foreign));
    RTC::ExecutionContextList_var participating = comp->get_participating_contexts();
    ASSERT_EQ(1u, participating->length());
    EXPECT_TRUE(participating[0]->_is_equivalent(foreign));
    // Its own context still comes first, and the component cannot be finalized while it
    // takes part in another.
    EXPECT_EQ(0, comp->get_context_handle(ec));
    EXPECT_EQ(RTC::PRECONDITION_NOT_MET, comp->finalize());

    EXPECT_EQ(RTC::BAD_PARAMETER, comp->detach_context(0));
    EXPECT_EQ(RTC::RTC_OK, comp->detach_context(h));
    EXPECT_EQ(RTC::BAD_PARAMETER, comp->detach_context(h));
    EXPECT_FALSE(comp->is_alive(foreign));
    EXPECT_EQ(0u, RTC::ExecutionContextList_var(comp->get_participating_contexts())->length());
    EXPECT_EQ(RTC::INACTIVE_STATE, ec->get_component_state(comp));
}

TEST_F(Wire, ShutdownWhileCallsArriveEndsTheProgramCleanly) {
    RTC::ConnectorProfile p = profileFor({port.in()});
    ASSERT_EQ(RTC::RTC_OK, port->connect(p));
    OpenRTM::InPortCdr_ptr typed = OpenRTM::InPortCdr::_nil();
    ASSERT_TRUE(*findNV(p.properties, "dataport.corba_cdr.inport_ref") >>= typed);
    OpenRTM::InPortCdr_var in = OpenRTM::InPortCdr::_duplicate(typed);
    ASSERT_EQ(RTC::RTC_OK, ec->activate_component(comp));
    std::atomic<int> answered{0};
    auto hammer = [&](int which) {
        for (;;) {
            try {
                if (which == 0) {
                    RTC::ComponentProfile_var prof = comp->get_component_profile();
                } else if (which == 1) {
                    in->put(mapBytes(static_cast<CORBA::ULong>(answered.load())));
                } else {
                    ec->get_component_state(comp);
                    RTC::ConnectorProfileList_var l = port->get_connector_profiles();
                }
                ++answered;
            } catch (const CORBA::SystemException&) {
                return;
            }
        }
    };
    std::vector<std::thread> callers;
    for (int i = 0; i < 3; ++i) callers.emplace_back(hammer, i);
    while (answered.load() < 100) std::this_thread::sleep_for(5ms);
    consumer.process().signal(SIGTERM);
    const bool ended = consumer.process().wait(20s);
    for (auto& t : callers) t.join();
    ASSERT_TRUE(ended) << consumer.output();
    EXPECT_TRUE(WIFEXITED(consumer.process().status())) << "ended by signal "
                                                        << WTERMSIG(consumer.process().status());
    EXPECT_EQ(0, WEXITSTATUS(consumer.process().status()));
}

// A stale binding where the host context belongs, to an object that is gone: the component
// says what is wrong with the path, not that no naming service answers.
TEST(Naming, APathThroughSomethingThatIsNotAContextIsReportedAsSuch) {
    remotetest::NamingService naming;
    ASSERT_TRUE(naming.ready());
    CORBA::Object_var ns = testsupport::orb()->string_to_object(
        ("corbaloc::" + naming.address() + "/NameService").c_str());
    CosNaming::NamingContext_var root = CosNaming::NamingContext::_narrow(ns);
    ASSERT_FALSE(CORBA::is_nil(root));
    const std::string context = remotetest::hostName() + ".host_cxt";
    CORBA::Object_var gone = testsupport::orb()->string_to_object(
        ("corbaloc:iiop:127.0.0.1:" + std::to_string(testsupport::freeLoopbackPort()) + "/gone")
            .c_str());
    root->rebind(RTC::remote::toName(context), gone);
    Component consumer("stereo_consumer", naming.address());
    ASSERT_FALSE(consumer.ior().empty()) << consumer.output();
    const std::string out = consumer.output();
    EXPECT_NE(std::string::npos,
              out.find("\"" + context + "\" there is bound to something that is not a naming "
                       "context"))
        << out;
    EXPECT_EQ(std::string::npos, out.find("no naming service answers")) << out;
}

class Pushing : public ::testing::Test {
protected:
    void SetUp() override {
        PortableServer::POA_var poa = PortableServer::POA::_duplicate(testsupport::rootPoa());
        recorder = new RecordingInPort;
        oid = poa->activate_object(recorder);
        CORBA::Object_var obj = poa->id_to_reference(oid.in());
        inRef = OpenRTM::InPortCdr::_narrow(obj);
        ASSERT_FALSE(producer.ior().empty()) << producer.output();
        producerComp = componentOf(producer);
        out = firstPort(producerComp);
        producerEc = ownContext(producerComp);
    }
    void TearDown() override {
        recorder->hang(false);
        deactivate();
        recorder->_remove_ref();
    }
    void deactivate() {
        if (active) testsupport::rootPoa()->deactivate_object(oid.in());
        active = false;
    }
    // Connects the producer's port to the recorder, which publishes only its IOR.
    void connect() {
        RTC::ConnectorProfile p = profileFor({out.in()});
        CORBA::String_var ior = testsupport::orb()->object_to_string(inRef.in());
        setNV(p.properties, "dataport.corba_cdr.inport_ior", ior.in());
        ASSERT_EQ(RTC::RTC_OK, out->connect(p));
        ASSERT_EQ(RTC::RTC_OK, producerEc->activate_component(producerComp));
    }
    bool connections(std::size_t n, std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        do {
            if (RTC::ConnectorProfileList_var(out->get_connector_profiles())->length() == n)
                return true;
            std::this_thread::sleep_for(50ms);
        } while (std::chrono::steady_clock::now() < deadline);
        return false;
    }

    Component producer{"stereo_producer", "", {"exec_cxt.periodic.rate:20"}};
    RecordingInPort* recorder = nullptr;
    PortableServer::ObjectId_var oid;
    bool active = true;
    OpenRTM::InPortCdr_var inRef;
    RTC::RTObject_var producerComp;
    RTC::PortService_var out;
    RTC::ExecutionContext_var producerEc;
};

TEST_F(Pushing, OutputPortPushesEveryValueAndDropsAPeerThatHasGone) {
    connect();
    const auto secs = recorder->waitFor(4, 20s);
    ASSERT_GE(secs.size(), 4u) << producer.output();
    for (std::size_t i = 0; i < secs.size(); ++i) EXPECT_EQ(i + 1, secs[i]);
    EXPECT_TRUE(recorder->intact());
    deactivate();
    EXPECT_TRUE(connections(0, 10s)) << producer.output();
    EXPECT_TRUE(producer.process().running());
    EXPECT_TRUE(producer.expect("ok", 5s));
}

TEST_F(Pushing, HungPeerStallsTheWriterForSecondsAtMostAndIsDropped) {
    recorder->hang(true);
    connect();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(producer.expect("wrote 1 failed", 20s)) << producer.output();
    const auto stalled = std::chrono::steady_clock::now() - start;
    EXPECT_LT(stalled, 6s);
    EXPECT_GT(stalled, 1s);
    // With the peer dropped, the following writes go nowhere and take no time.
    ASSERT_TRUE(producer.expect("wrote 5 ok", 5s)) << producer.output();
    EXPECT_TRUE(connections(0, 1s));
}

// ---- shared memory, the raw client writing ----

// Places `value` in `segment` behind a length header of `header` octets in the given order.
void place(RTC::SegmentWriter& segment, const OpenRTM::CdrData& value, bool littleEndian,
           unsigned long long header) {
    segment.writeHeader(header, littleEndian);
    std::memcpy(segment.valueArea(), value.get_buffer(), value.length());
}

void place(RTC::SegmentWriter& segment, const OpenRTM::CdrData& value, bool littleEndian = true) {
    place(segment, value, littleEndian, value.length());
}

OpenRTM::PortSharedMemory_ptr connectShm(RTC::PortService_ptr port, const char* endian,
                                         std::string& id) {
    RTC::ConnectorProfile p = profileFor({port});
    setNV(p.properties, "dataport.interface_type", "shared_memory");
    setNV(p.properties, "dataport.serializer.cdr.endian", endian);
    if (port->connect(p) != RTC::RTC_OK) return OpenRTM::PortSharedMemory::_nil();
    id = p.connector_id.in();
    std::string ior;
    findString(p.properties, "dataport.corba_cdr.inport_ior", ior);
    CORBA::Object_var obj = testsupport::orb()->string_to_object(ior.c_str());
    return OpenRTM::PortSharedMemory::_narrow(obj);
}

void truncateSegment(const std::string& name, off_t size) {
    const int fd = shm_open(name.c_str(), O_RDWR, 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(0, ftruncate(fd, size));
    close(fd);
}

TEST_F(Wire, SharedMemorySegmentIsHostileInputAndTheNextGoodValueIsTaken) {
    ASSERT_EQ(RTC::RTC_OK, ec->activate_component(comp));
    std::string id;
    OpenRTM::PortSharedMemory_var in = connectShm(port, "little,big", id);
    ASSERT_FALSE(CORBA::is_nil(in));
    EXPECT_EQ(OpenRTM::PORT_ERROR, in->put()) << "put before any open_memory";

    RTC::SegmentWriter segment(RTC::newConnectorId());
    std::string error;
    ASSERT_TRUE(segment.create(4096, error)) << error;
    const std::string name = segment.name();
    place(segment, mapBytes(1));
    in->open_memory(4096, name.c_str());
    EXPECT_EQ(OpenRTM::PORT_OK, in->put());
    EXPECT_TRUE(consumer.expect("got 1 5x4 ok")) << consumer.output();

    // Length headers beyond the segment, and zero.
    for (unsigned long long header : {4096ull - 8 + 1, 1ull << 32, ~0ull, 0ull}) {
        place(segment, mapBytes(9), true, header);
        EXPECT_EQ(OpenRTM::PORT_ERROR, in->put()) << header;
    }
    // Names and sizes that must not be opened; each leaves no segment open.
    struct Open {
        unsigned long long size;
        std::string name;
    };
    for (const Open& o : {Open{4097, name}, Open{4095, name}, Open{1ull << 62, name},
                          Open{~0ull, name}, Open{4, name}, Open{4096, "../" + name},
                          Open{4096, "a/" + name}, Open{4096, ".."}, Open{4096, ""},
                          Open{4096, "no-such-" + name}}) {
        in->open_memory(o.size, o.name.c_str());
        place(segment, mapBytes(9));
        EXPECT_EQ(OpenRTM::PORT_ERROR, in->put()) << o.size << " " << o.name;
    }
    EXPECT_THROW(in->create_memory(4096, name.c_str()), CORBA::NO_IMPLEMENT);
    in->open_memory(4096, name.c_str());
    place(segment, mapBytes(2));
    EXPECT_EQ(OpenRTM::PORT_OK, in->put());
    EXPECT_TRUE(consumer.expect("got 2 5x4 ok")) << consumer.output();

    // Cut short by another process after it was opened: no fault, the value is refused.
    truncateSegment(name, 100);
    EXPECT_EQ(OpenRTM::PORT_ERROR, in->put());
    truncateSegment(name, 0);
    EXPECT_EQ(OpenRTM::PORT_ERROR, in->put());
    ASSERT_TRUE(segment.create(8192, error)) << error;
    in->open_memory(8192, name.c_str());
    place(segment, mapBytes(3));
    EXPECT_EQ(OpenRTM::PORT_OK, in->put());
    EXPECT_TRUE(consumer.expect("got 3 5x4 ok")) << consumer.output();

    // A big-endian connection reads its header and value big-endian, and nothing else.
    std::string bigId;
    OpenRTM::PortSharedMemory_var bigIn = connectShm(port, "big,little", bigId);
    ASSERT_FALSE(CORBA::is_nil(bigIn));
    RTC::SegmentWriter bigSegment(RTC::newConnectorId());
    ASSERT_TRUE(bigSegment.create(4096, error)) << error;
    bigIn->open_memory(4096, bigSegment.name().c_str());
    place(bigSegment, mapBytes(4, false), false);
    EXPECT_EQ(OpenRTM::PORT_OK, bigIn->put());
    EXPECT_TRUE(consumer.expect("got 4 5x4 ok")) << consumer.output();
    place(bigSegment, mapBytes(5, true), true);
    EXPECT_EQ(OpenRTM::PORT_ERROR, bigIn->put());

    EXPECT_TRUE(consumer.expect(bigId + ": value refused")) << consumer.output();
    EXPECT_TRUE(consumer.process().running());
    const std::string out = consumer.output();
    std::size_t lines = 0;
    for (auto at = out.find("refused so far"); at != std::string::npos;
         at = out.find("refused so far", at + 1))
        ++lines;
    EXPECT_EQ(2u, lines) << "one line per connection for its first thousand refusals\n" << out;

    // Ending the connection leaves a segment its writer still holds: the writer removes its own.
    EXPECT_EQ(RTC::RTC_OK, port->disconnect(id.c_str()));
    EXPECT_EQ(0, access(("/dev/shm/" + name).c_str(), F_OK));
    EXPECT_THROW(in->put(), CORBA::OBJECT_NOT_EXIST);
}

// A segment nobody holds any more, named by a writer's rule, of the size announced.
std::string leftOverSegment(std::size_t size) {
    const std::string name = RTC::newConnectorId();
    const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    EXPECT_LE(0, fd);
    EXPECT_EQ(0, ftruncate(fd, static_cast<off_t>(size)));
    close(fd);
    return name;
}

// Told to close or ending its connection, a reader removes only its connection's segment left
// over by a writer that has gone; another program's object, or a segment its writer still holds,
// stays whatever the writer asks.
TEST_F(Wire, ReaderUnlinksOnlyASegmentLeftOverOnItsConnection) {
    const std::string other = "qor-test-not-a-segment-" + std::to_string(getpid());
    const int fd = shm_open(other.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_LE(0, fd);
    ASSERT_EQ(0, ftruncate(fd, 4096));
    close(fd);
    RTC::SegmentWriter held(RTC::newConnectorId());
    std::string error;
    ASSERT_TRUE(held.create(4096, error)) << error;
    const std::string goneWriter = leftOverSegment(4096);
    for (const std::string& name : {other, held.name(), goneWriter}) {
        std::string id;
        OpenRTM::PortSharedMemory_var in = connectShm(port, "little,big", id);
        ASSERT_FALSE(CORBA::is_nil(in));
        in->open_memory(4096, name.c_str());
        in->close_memory(true);
        in->open_memory(4096, name.c_str());
        EXPECT_EQ(RTC::RTC_OK, port->disconnect(id.c_str()));
        const bool stays = name != goneWriter;
        EXPECT_EQ(stays, access(("/dev/shm/" + name).c_str(), F_OK) == 0) << name;
    }
    shm_unlink(other.c_str());
    shm_unlink(goneWriter.c_str());
}

// The input side of a shared-memory connection in this process: records the calls the writer
// makes and reads each value with the middleware's reader.
class RecordingSharedMemory : public POA_OpenRTM::PortSharedMemory {
public:
    void open_memory(CORBA::ULongLong size, const char* name) override {
        record("open_memory " + std::to_string(size));
        std::lock_guard<std::mutex> lock(m_mutex);
        m_name = name;
        std::string reason;
        m_reader.open(name, size, reason);
    }
    void create_memory(CORBA::ULongLong, const char*) override { record("create_memory"); }
    void close_memory(CORBA::Boolean unlink) override {
        record(unlink ? "close_memory 1" : "close_memory 0");
        std::lock_guard<std::mutex> lock(m_mutex);
        m_reader.close(false);
    }
    void setInterface(OpenRTM::PortSharedMemory_ptr) override { record("setInterface"); }
    void setEndian(CORBA::Boolean little) override {
        record(little ? "setEndian 1" : "setEndian 0");
    }
    OpenRTM::PortStatus put() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.push_back("put");
        std::string reason;
        OpenRTM::CdrData value;
        QOR::TimedStereoData map;
        if (!m_reader.read(value, true, reason)) return OpenRTM::PORT_ERROR;
        const CORBA::Octet* bytes = value.get_buffer();
        testsupport::decode(testsupport::Bytes(bytes, bytes + value.length()), map);
        m_secs.push_back(map.tm.sec);
        m_intact = m_intact && pattern::intact(map);
        m_changed.notify_all();
        return OpenRTM::PORT_OK;
    }
    OpenRTM::PortStatus get() override { return OpenRTM::PORT_ERROR; }

    std::vector<unsigned long> waitFor(std::size_t n, std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_for(lock, limit, [&] { return m_secs.size() >= n; });
        return m_secs;
    }
    std::vector<std::string> calls() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }
    // Whether the last call is `call`, waiting up to `limit` for it.
    bool lastCallBecomes(const std::string& call, std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, limit,
                                  [&] { return !m_calls.empty() && m_calls.back() == call; });
    }
    std::string name() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_name;
    }
    bool intact() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_intact;
    }

private:
    void record(const std::string& call) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_calls.push_back(call);
        }
        m_changed.notify_all();
    }
    // Guards the members below; m_changed signals a call recorded or a value read.
    std::mutex m_mutex;
    std::condition_variable m_changed;
    RTC::SegmentReader m_reader;
    std::string m_name;
    std::vector<std::string> m_calls;
    std::vector<unsigned long> m_secs;
    bool m_intact = true;
};

TEST(PushingSharedMemory, WriterAnnouncesInTheMiddlewaresOrderAndGrowsItsSegment) {
    PortableServer::POA_var poa = PortableServer::POA::_duplicate(testsupport::rootPoa());
    RecordingSharedMemory recorder;
    PortableServer::ObjectId_var oid = poa->activate_object(&recorder);
    CORBA::Object_var obj = poa->id_to_reference(oid.in());
    // 5x4 maps fit "4096" octets; the third, 40x40, does not.
    Component producer("stereo_producer", "", {"exec_cxt.periodic.rate:20"},
                       {{"PRODUCER_BIG", "3:40x40"}, {"PRODUCER_COUNT", "4"},
                        {"PRODUCER_SIZE", "5x4"}});
    RTC::RTObject_var producerComp = componentOf(producer);
    RTC::PortService_var out = firstPort(producerComp);
    RTC::ConnectorProfile p = profileFor({out.in()});
    setNV(p.properties, "dataport.interface_type", "shared_memory");
    setNV(p.properties, "dataport.shem_default_size", " 4096 ");
    CORBA::String_var ior = testsupport::orb()->object_to_string(obj.in());
    setNV(p.properties, "dataport.corba_cdr.inport_ior", ior.in());
    ASSERT_EQ(RTC::RTC_OK, out->connect(p));
    RTC::ExecutionContext_var producerEc = ownContext(producerComp);
    ASSERT_EQ(RTC::RTC_OK, producerEc->activate_component(producerComp));

    EXPECT_EQ((std::vector<unsigned long>{1, 2, 3, 4}), recorder.waitFor(4, 20s))
        << producer.output();
    EXPECT_TRUE(recorder.intact());
    const std::string name = recorder.name();
    const std::regex uuid("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}");
    EXPECT_TRUE(std::regex_match(name, uuid)) << name;
    QOR::TimedStereoData third;
    pattern::fill(third, 3, 40, 40);
    const std::string grown =
        "open_memory " + std::to_string(8 + testsupport::encode(third).size());
    EXPECT_EQ((std::vector<std::string>{"setEndian 1", "open_memory 4096", "put", "setEndian 1",
                                        "put", "setEndian 1", "close_memory 0", grown, "put",
                                        "setEndian 1", "put"}),
              recorder.calls());
    // The writer's thread may still hold the connection for the reply to the last put; the
    // connection ends when it lets go.
    EXPECT_EQ(RTC::RTC_OK, out->disconnect(p.connector_id));
    EXPECT_TRUE(recorder.lastCallBecomes("close_memory 0", 10s));
    EXPECT_NE(0, access(("/dev/shm/" + name).c_str(), F_OK)) << "unlinked at disconnect";
    poa->deactivate_object(oid.in());
}

}  // namespace
