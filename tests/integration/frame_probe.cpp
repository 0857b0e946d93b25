// A program built on the shared frame hosting a trivial component, "Probe": its output port feeds
// its own input port in process. It activates itself when its context starts, reports what it
// receives on standard output, and deactivates itself after five values. The component name
// created comes from PROBE_COMPONENT (default "Probe"), so a test can ask for one that does not
// exist.
#include <frame/ComponentMain.h>
#include <rtm/DataFlowComponentBase.h>
#include <rtm/ExecutionContextBase.h>
#include <rtm/InPort.h>
#include <rtm/OutPort.h>

#include <cstdlib>
#include <iostream>

namespace {

class Probe : public RTC::DataFlowComponentBase {
public:
    explicit Probe(RTC::Manager* manager)
        : RTC::DataFlowComponentBase(manager), m_in("in", m_received), m_out("out", m_sent) {}

    RTC::ReturnCode_t onInitialize() override {
        addInPort("in", m_in);
        addOutPort("out", m_out);
        m_out.connectLocal(m_in);
        say("initialized " + std::string(getInstanceName()));
        return RTC::RTC_OK;
    }
    RTC::ReturnCode_t onStartup(RTC::UniqueId id) override {
        getContextObject(id)->activate_component(this);
        return RTC::RTC_OK;
    }
    RTC::ReturnCode_t onActivated(RTC::UniqueId) override {
        say("activated");
        return RTC::RTC_OK;
    }
    RTC::ReturnCode_t onExecute(RTC::UniqueId id) override {
        if (m_in.isNew()) {
            m_in.read();
            say("received " + std::to_string(m_received.sec));
            if (m_received.sec == 5) getContextObject(id)->deactivate_component(this);
        }
        if (m_count < 5) {
            m_sent.sec = ++m_count;
            m_sent.nsec = 0;
            m_out.write();
        }
        return RTC::RTC_OK;
    }
    RTC::ReturnCode_t onDeactivated(RTC::UniqueId) override {
        say("deactivated");
        return RTC::RTC_OK;
    }
    RTC::ReturnCode_t onFinalize() override {
        say("finalized");
        return RTC::RTC_OK;
    }

private:
    static void say(const std::string& line) { std::cout << line << std::endl; }

    RTC::Time m_received;
    RTC::Time m_sent;
    RTC::InPort<RTC::Time> m_in;
    RTC::OutPort<RTC::Time> m_out;
    unsigned long m_count = 0;
};

const char* const kProfile[] = {"implementation_id", "Probe", "type_name", "Probe",
                                "description", "frame probe", "version", "1.0.0",
                                "vendor", "example.org", "category", "Test",
                                "activity_type", "PERIODIC", "kind", "DataFlowComponent",
                                "max_instance", "1", "language", "C++",
                                "lang_type", "compile", ""};

RTC::RTObject_impl* createProbe(RTC::Manager* manager) { return new Probe(manager); }
void deleteProbe(RTC::RTObject_impl* rtc) { delete rtc; }

void ProbeInit(RTC::Manager* manager) {
    coil::Properties profile(const_cast<const char**>(kProfile));
    manager->registerFactory(profile, createProbe, deleteProbe);
}

}  // namespace

int main(int argc, char** argv) {
    const char* name = std::getenv("PROBE_COMPONENT");
    return frame::runComponentProgram(argc, argv, ProbeInit, name ? name : "Probe");
}
