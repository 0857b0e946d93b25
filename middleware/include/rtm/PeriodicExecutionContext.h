// The periodic execution context: one thread that runs its components' periods at a fixed rate,
// or, when externally triggered, one period per tick().
#ifndef RTM_PERIODICEXECUTIONCONTEXT_H
#define RTM_PERIODICEXECUTIONCONTEXT_H

#include <rtm/ExecutionContextBase.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace RTC {

class PeriodicExecutionContext : public ExecutionContextBase {
public:
    enum class Trigger { Timer, External };

    // The rates taken, in Hz: a period of 1000 s at the longest, 100 microseconds at the
    // shortest.
    static constexpr double kMinRate = 0.001;
    static constexpr double kMaxRate = 10000.0;
    // True for a finite rate within [kMinRate, kMaxRate].
    static bool acceptableRate(double rate);

    // `rate` in Hz; a rate that is not acceptable is taken as 1000.
    explicit PeriodicExecutionContext(double rate = 1000.0, Trigger trigger = Trigger::Timer);
    ~PeriodicExecutionContext() override;

    bool is_running() override;
    // Starts the thread, which first calls onStartup of every component.
    ReturnCode_t start() override;
    // Calls onShutdown of every component on the context's thread and joins it.
    ReturnCode_t stop() override;
    double get_rate() override;
    // BAD_PARAMETER, and nothing changed, for a rate that is not acceptable. Otherwise the next
    // period comes one new period after the last one began (at once if that has passed), and
    // onRateChanged of every component is called.
    ReturnCode_t set_rate(double rate) override;
    ReturnCode_t add_component(RTObject_impl* comp) override;
    ReturnCode_t remove_component(RTObject_impl* comp) override;
    // State changes take effect between periods, on the context's thread, which runs
    // onActivated, onDeactivated or onReset. Called from another thread while the context runs,
    // these wait (a second at most) until the change has taken effect.
    ReturnCode_t activate_component(RTObject_impl* comp) override;
    ReturnCode_t deactivate_component(RTObject_impl* comp) override;
    ReturnCode_t reset_component(RTObject_impl* comp) override;
    LifeCycleState get_component_state(RTObject_impl* comp) override;
    ExecutionKind get_kind() override { return PERIODIC; }
    RTObject_impl* getOwner() const override;
    void setOwner(RTObject_impl* owner) override;

    // With Trigger::External: runs one period on the context's thread and returns when it is done
    // (pending state changes first). Ignored with Trigger::Timer.
    void tick();
    // Periods run since start.
    unsigned long long periods() const;

private:
    enum class Request { None, Activate, Deactivate, Reset };
    struct Entry {
        RTObject_impl* comp;
        LifeCycleState state;
        Request request;
    };

    ReturnCode_t request(RTObject_impl* comp, Request what, LifeCycleState required);
    void run();
    void applyRequests(std::unique_lock<std::mutex>& lock);
    void runPeriod(std::unique_lock<std::mutex>& lock);
    Entry* find(RTObject_impl* comp);
    UniqueId handleOf(RTObject_impl* comp) const;

    // Guards every member below; m_changed signals state changes, ticks and stop requests.
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Entry> m_entries;
    RTObject_impl* m_owner = nullptr;
    double m_rate;
    Trigger m_trigger;
    bool m_running = false;
    bool m_stopRequested = false;
    bool m_rateChanged = false;
    unsigned long long m_tickRequests = 0;
    unsigned long long m_ticksDone = 0;
    unsigned long long m_periods = 0;
    std::thread m_thread;
    std::thread::id m_threadId;
};

}  // namespace RTC

#endif
