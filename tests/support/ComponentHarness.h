// One component created by a real manager in this process, driven by an externally triggered
// execution context so that a test steps its periods one at a time.
#pragma once

#include <rtm/Manager.h>
#include <rtm/PeriodicExecutionContext.h>

#include <chrono>
#include <stdexcept>
#include <thread>
#include <string>
#include <vector>

namespace testsupport {

class ComponentHarness {
public:
    // `registerFunc` is the component's exported registration function; the manager is the
    // process's only one, so a process makes one harness.
    ComponentHarness(void (*registerFunc)(RTC::Manager*), const char* typeName) {
        std::vector<std::string> args = {"test",
                                         "-o", "naming.enable:NO",
                                         "-o", "logger.enable:NO",
                                         "-o", "corba.endpoints:127.0.0.1:",
                                         "-o", "exec_cxt.periodic.type:ExtTrigExecutionContext"};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        manager = RTC::Manager::init(static_cast<int>(args.size()), argv.data());
        manager->activateManager();
        registerFunc(manager);
        comp = manager->createComponent(typeName);
        if (!comp) throw std::runtime_error("component creation failed");
        ec = dynamic_cast<RTC::PeriodicExecutionContext*>(comp->getContextObject(0));
        if (!ec) throw std::runtime_error("no stepped execution context");
    }
    ComponentHarness(const ComponentHarness&) = delete;
    ComponentHarness& operator=(const ComponentHarness&) = delete;

    void activate() {
        ec->activate_component(comp);
        ec->tick();
    }
    void deactivate() {
        ec->deactivate_component(comp);
        ec->tick();
    }
    void step(int periods = 1) {
        for (int i = 0; i < periods; ++i) ec->tick();
    }
    // Steps a period every few milliseconds until `done()` holds, for `limit` at most (for what
    // the component does once a second); whether it came to hold.
    template <class Done>
    bool stepUntil(Done done, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) return false;
            ec->tick();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }
    RTC::LifeCycleState state() { return ec->get_component_state(comp); }

    RTC::Manager* manager = nullptr;
    RTC::RTObject_impl* comp = nullptr;
    RTC::PeriodicExecutionContext* ec = nullptr;
};

}  // namespace testsupport
