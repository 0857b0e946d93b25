// The component lifecycle as the execution context drives it: state changes between periods on
// the context's own thread, and failures that put a component in the error state.
#include <gtest/gtest.h>
#include <rtm/DataFlowComponentBase.h>
#include <rtm/PeriodicExecutionContext.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Trigger = RTC::PeriodicExecutionContext::Trigger;

// Records each callback with the thread it ran on; individual callbacks can be made to fail.
class Recorder : public RTC::DataFlowComponentBase {
public:
    Recorder() : RTC::DataFlowComponentBase(nullptr) {}

    RTC::ReturnCode_t onActivated(RTC::UniqueId) override { return note("activated", failActivate); }
    RTC::ReturnCode_t onDeactivated(RTC::UniqueId) override { return note("deactivated"); }
    RTC::ReturnCode_t onExecute(RTC::UniqueId) override {
        if (throwInExecute) {
            note("execute");
            throw std::runtime_error("boom");
        }
        return note("execute", failExecute);
    }
    RTC::ReturnCode_t onStateUpdate(RTC::UniqueId) override { return note("state_update"); }
    RTC::ReturnCode_t onAborting(RTC::UniqueId) override { return note("aborting"); }
    RTC::ReturnCode_t onError(RTC::UniqueId) override { return note("error"); }
    RTC::ReturnCode_t onReset(RTC::UniqueId) override { return note("reset"); }
    RTC::ReturnCode_t onStartup(RTC::UniqueId) override { return note("startup"); }
    RTC::ReturnCode_t onShutdown(RTC::UniqueId) override { return note("shutdown"); }
    RTC::ReturnCode_t onRateChanged(RTC::UniqueId) override { return note("rate_changed"); }

    std::vector<std::string> takeCalls() {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<std::string> out;
        out.swap(m_calls);
        return out;
    }
    std::vector<std::thread::id> threads() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_threads;
    }

    std::atomic<bool> failActivate{false};
    std::atomic<bool> failExecute{false};
    std::atomic<bool> throwInExecute{false};

private:
    RTC::ReturnCode_t note(const char* what, bool fail = false) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.push_back(what);
        m_threads.push_back(std::this_thread::get_id());
        return fail ? RTC::RTC_ERROR : RTC::RTC_OK;
    }
    // Guards the two lists.
    std::mutex m_mutex;
    std::vector<std::string> m_calls;
    std::vector<std::thread::id> m_threads;
};

using Calls = std::vector<std::string>;

class SteppedContext : public ::testing::Test {
protected:
    void SetUp() override {
        ec.add_component(&comp);
        ASSERT_EQ(RTC::RTC_OK, ec.start());
        ec.tick();
        EXPECT_EQ(Calls{"startup"}, comp.takeCalls());
    }
    void TearDown() override { ec.stop(); }

    RTC::PeriodicExecutionContext ec{1000.0, Trigger::External};
    Recorder comp;
};

TEST_F(SteppedContext, ActivationTakesEffectBetweenPeriods) {
    EXPECT_EQ(RTC::INACTIVE_STATE, ec.get_component_state(&comp));
    ec.tick();
    EXPECT_TRUE(comp.takeCalls().empty()) << "an inactive component is not executed";

    ASSERT_EQ(RTC::RTC_OK, ec.activate_component(&comp));
    EXPECT_EQ(RTC::PRECONDITION_NOT_MET, ec.activate_component(&comp)) << "already pending";
    ec.tick();
    EXPECT_EQ(RTC::ACTIVE_STATE, ec.get_component_state(&comp));
    EXPECT_EQ((Calls{"activated", "execute", "state_update"}), comp.takeCalls());

    ec.tick();
    EXPECT_EQ((Calls{"execute", "state_update"}), comp.takeCalls());

    ASSERT_EQ(RTC::RTC_OK, ec.deactivate_component(&comp));
    ec.tick();
    EXPECT_EQ(RTC::INACTIVE_STATE, ec.get_component_state(&comp));
    EXPECT_EQ(Calls{"deactivated"}, comp.takeCalls());
    EXPECT_EQ(RTC::PRECONDITION_NOT_MET, ec.deactivate_component(&comp));
}

TEST_F(SteppedContext, CallbacksRunOnTheContextsOwnThread) {
    ec.activate_component(&comp);
    ec.tick();
    ec.deactivate_component(&comp);
    ec.tick();
    const auto threads = comp.threads();
    ASSERT_GE(threads.size(), 5u);
    for (const auto& t : threads) {
        EXPECT_EQ(threads.front(), t);
        EXPECT_NE(std::this_thread::get_id(), t);
    }
}

TEST_F(SteppedContext, FailedActivationLeadsToErrorUntilReset) {
    comp.failActivate = true;
    ec.activate_component(&comp);
    ec.tick();
    EXPECT_EQ(RTC::ERROR_STATE, ec.get_component_state(&comp));
    EXPECT_EQ((Calls{"activated", "aborting", "error"}), comp.takeCalls());
    ec.tick();
    EXPECT_EQ(Calls{"error"}, comp.takeCalls()) << "onError runs each period in the error state";
    EXPECT_EQ(RTC::PRECONDITION_NOT_MET, ec.activate_component(&comp));

    ASSERT_EQ(RTC::RTC_OK, ec.reset_component(&comp));
    ec.tick();
    EXPECT_EQ(RTC::INACTIVE_STATE, ec.get_component_state(&comp));
    EXPECT_EQ(Calls{"reset"}, comp.takeCalls());
}

TEST_F(SteppedContext, ExecuteThatFailsOrThrowsLeadsToError) {
    for (bool throws : {false, true}) {
        SCOPED_TRACE(throws ? "throws" : "returns an error");
        comp.failExecute = !throws;
        comp.throwInExecute = throws;
        ec.activate_component(&comp);
        ec.tick();
        EXPECT_EQ(RTC::ERROR_STATE, ec.get_component_state(&comp));
        EXPECT_EQ((Calls{"activated", "execute", "aborting"}), comp.takeCalls());
        comp.failExecute = false;
        comp.throwInExecute = false;
        ec.reset_component(&comp);
        ec.tick();
        comp.takeCalls();
        ASSERT_EQ(RTC::INACTIVE_STATE, ec.get_component_state(&comp));
    }
}

TEST_F(SteppedContext, RateChangesReachTheComponent) {
    EXPECT_EQ(1000.0, ec.get_rate());
    for (double bad : {0.0, -5.0, 1e-9, 1e-300, 1e5, std::numeric_limits<double>::infinity(),
                       std::numeric_limits<double>::quiet_NaN()})
        EXPECT_EQ(RTC::BAD_PARAMETER, ec.set_rate(bad)) << bad;
    EXPECT_EQ(1000.0, ec.get_rate());
    EXPECT_TRUE(comp.takeCalls().empty());
    // The context's thread may take each change as it comes; a tick makes sure it has.
    for (double good : {RTC::PeriodicExecutionContext::kMinRate,
                        RTC::PeriodicExecutionContext::kMaxRate, 25.0}) {
        ASSERT_EQ(RTC::RTC_OK, ec.set_rate(good)) << good;
        ec.tick();
        EXPECT_EQ(good, ec.get_rate());
        EXPECT_EQ(Calls{"rate_changed"}, comp.takeCalls()) << good;
    }
    EXPECT_EQ(RTC::PERIODIC, ec.get_kind());
}

TEST(PeriodicContext, TimerDrivenContextExecutesAndStops) {
    RTC::PeriodicExecutionContext ec(200.0);
    Recorder comp;
    ec.add_component(&comp);
    ec.start();
    // Called from another thread while running, activation returns once it has taken effect.
    ASSERT_EQ(RTC::RTC_OK, ec.activate_component(&comp));
    EXPECT_EQ(RTC::ACTIVE_STATE, ec.get_component_state(&comp));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (ec.periods() < 5 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    EXPECT_GE(ec.periods(), 5u);
    ASSERT_EQ(RTC::RTC_OK, ec.deactivate_component(&comp));
    EXPECT_EQ(RTC::INACTIVE_STATE, ec.get_component_state(&comp));
    EXPECT_EQ(RTC::RTC_OK, ec.stop());
    EXPECT_FALSE(ec.is_running());
    const Calls calls = comp.takeCalls();
    EXPECT_EQ("startup", calls.front());
    EXPECT_EQ("shutdown", calls.back());
    EXPECT_EQ(RTC::PRECONDITION_NOT_MET, ec.stop());
}

// A context waiting out the longest period takes a faster rate at once.
TEST(PeriodicContext, RateChangeWakesAContextWaitingOutALongPeriod) {
    RTC::PeriodicExecutionContext ec(200.0);
    Recorder comp;
    ec.add_component(&comp);
    ec.start();
    ASSERT_EQ(RTC::RTC_OK, ec.activate_component(&comp));
    auto waitFor = [&](const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
        return done();
    };
    ASSERT_EQ(RTC::RTC_OK, ec.set_rate(RTC::PeriodicExecutionContext::kMinRate));
    std::vector<std::string> seen;
    ASSERT_TRUE(waitFor([&] {
        for (const std::string& c : comp.takeCalls()) seen.push_back(c);
        return std::find(seen.begin(), seen.end(), "rate_changed") != seen.end();
    }));
    const unsigned long long slow = ec.periods();
    ASSERT_EQ(RTC::RTC_OK, ec.set_rate(200.0));
    EXPECT_TRUE(waitFor([&] { return ec.periods() >= slow + 3; })) << ec.periods() - slow;
    ec.stop();
}

TEST(PeriodicContext, UnknownComponentIsABadParameter) {
    RTC::PeriodicExecutionContext ec(100.0, Trigger::External);
    Recorder comp;
    EXPECT_EQ(RTC::BAD_PARAMETER, ec.activate_component(&comp));
    EXPECT_EQ(RTC::CREATED_STATE, ec.get_component_state(&comp));
    EXPECT_EQ(RTC::RTC_OK, ec.add_component(&comp));
    EXPECT_EQ(RTC::PRECONDITION_NOT_MET, ec.add_component(&comp));
    EXPECT_EQ(RTC::RTC_OK, ec.remove_component(&comp));
}

}  // namespace
