#include <rtm/PeriodicExecutionContext.h>
#include <rtm/RTObject.h>

#include <algorithm>
#include <cmath>

namespace RTC {

namespace {

// How long a state change requested from another thread is waited for.
const std::chrono::seconds kTransitionWait(1);
// How long tick() waits for its period.
const std::chrono::seconds kTickWait(10);

std::chrono::steady_clock::duration periodOf(double rate) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(1.0 / rate));
}

}  // namespace

constexpr double PeriodicExecutionContext::kMinRate;
constexpr double PeriodicExecutionContext::kMaxRate;

bool PeriodicExecutionContext::acceptableRate(double rate) {
    return std::isfinite(rate) && rate >= kMinRate && rate <= kMaxRate;
}

ExecutionContextBase::~ExecutionContextBase() = default;

PeriodicExecutionContext::PeriodicExecutionContext(double rate, Trigger trigger)
    : m_rate(acceptableRate(rate) ? rate : 1000.0), m_trigger(trigger) {}

PeriodicExecutionContext::~PeriodicExecutionContext() { stop(); }

bool PeriodicExecutionContext::is_running() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_running;
}

ReturnCode_t PeriodicExecutionContext::start() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_running) return RTC::PRECONDITION_NOT_MET;
    m_running = true;
    m_stopRequested = false;
    m_thread = std::thread([this] { run(); });
    m_threadId = m_thread.get_id();
    return RTC::RTC_OK;
}

ReturnCode_t PeriodicExecutionContext::stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_running) return RTC::PRECONDITION_NOT_MET;
        if (std::this_thread::get_id() == m_threadId) return RTC::PRECONDITION_NOT_MET;
        m_stopRequested = true;
    }
    m_changed.notify_all();
    m_thread.join();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_running = false;
    m_threadId = std::thread::id();
    return RTC::RTC_OK;
}

double PeriodicExecutionContext::get_rate() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_rate;
}

ReturnCode_t PeriodicExecutionContext::set_rate(double rate) {
    if (!acceptableRate(rate)) return RTC::BAD_PARAMETER;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_rate = rate;
        m_rateChanged = true;
    }
    m_changed.notify_all();
    return RTC::RTC_OK;
}

ReturnCode_t PeriodicExecutionContext::add_component(RTObject_impl* comp) {
    if (!comp) return RTC::BAD_PARAMETER;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (find(comp)) return RTC::PRECONDITION_NOT_MET;
    m_entries.push_back(Entry{comp, RTC::INACTIVE_STATE, Request::None});
    return RTC::RTC_OK;
}

ReturnCode_t PeriodicExecutionContext::remove_component(RTObject_impl* comp) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
        if (it->comp != comp) continue;
        if (it->state == RTC::ACTIVE_STATE) return RTC::PRECONDITION_NOT_MET;
        m_entries.erase(it);
        return RTC::RTC_OK;
    }
    return RTC::BAD_PARAMETER;
}

ReturnCode_t PeriodicExecutionContext::activate_component(RTObject_impl* comp) {
    return request(comp, Request::Activate, RTC::INACTIVE_STATE);
}

ReturnCode_t PeriodicExecutionContext::deactivate_component(RTObject_impl* comp) {
    return request(comp, Request::Deactivate, RTC::ACTIVE_STATE);
}

ReturnCode_t PeriodicExecutionContext::reset_component(RTObject_impl* comp) {
    return request(comp, Request::Reset, RTC::ERROR_STATE);
}

LifeCycleState PeriodicExecutionContext::get_component_state(RTObject_impl* comp) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const Entry* e = find(comp);
    return e ? e->state : RTC::CREATED_STATE;
}

RTObject_impl* PeriodicExecutionContext::getOwner() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_owner;
}

void PeriodicExecutionContext::setOwner(RTObject_impl* owner) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_owner = owner;
}

void PeriodicExecutionContext::tick() {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_trigger != Trigger::External || !m_running) return;
    if (std::this_thread::get_id() == m_threadId) return;
    const unsigned long long mine = ++m_tickRequests;
    m_changed.notify_all();
    m_changed.wait_for(lock, kTickWait, [&] { return m_ticksDone >= mine || m_stopRequested; });
}

unsigned long long PeriodicExecutionContext::periods() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_periods;
}

ReturnCode_t PeriodicExecutionContext::request(RTObject_impl* comp, Request what,
                                               LifeCycleState required) {
    std::unique_lock<std::mutex> lock(m_mutex);
    Entry* e = find(comp);
    if (!e) return RTC::BAD_PARAMETER;
    if (e->state != required || e->request != Request::None) return RTC::PRECONDITION_NOT_MET;
    e->request = what;
    m_changed.notify_all();
    // Wait for the change where a thread will make it soon: a timer-driven running context, asked
    // from another thread (asked from its own thread it would wait for itself). A context that is
    // stopping makes no more changes.
    const bool wait = m_running && m_trigger == Trigger::Timer &&
                      std::this_thread::get_id() != m_threadId;
    if (wait) {
        m_changed.wait_for(lock, kTransitionWait, [&] {
            Entry* cur = find(comp);
            return !cur || cur->request == Request::None || !m_running || m_stopRequested;
        });
    }
    return RTC::RTC_OK;
}

PeriodicExecutionContext::Entry* PeriodicExecutionContext::find(RTObject_impl* comp) {
    for (Entry& e : m_entries)
        if (e.comp == comp) return &e;
    return nullptr;
}

UniqueId PeriodicExecutionContext::handleOf(RTObject_impl* comp) const {
    const UniqueId h = comp->getContextHandle(this);
    return h < 0 ? 0 : h;
}

// Calls run unlocked: callbacks may call back into the context (a component that reads its own
// state, or deactivates itself).
void PeriodicExecutionContext::applyRequests(std::unique_lock<std::mutex>& lock) {
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        Entry& e = m_entries[i];
        if (e.request == Request::None) continue;
        RTObject_impl* comp = e.comp;
        const Request what = e.request;
        lock.unlock();
        const UniqueId h = handleOf(comp);
        LifeCycleState next = RTC::INACTIVE_STATE;
        switch (what) {
            case Request::Activate:
                next = comp->on_activated(h) == RTC::RTC_OK ? RTC::ACTIVE_STATE
                                                            : RTC::ERROR_STATE;
                break;
            case Request::Deactivate:
                next = comp->on_deactivated(h) == RTC::RTC_OK ? RTC::INACTIVE_STATE
                                                              : RTC::ERROR_STATE;
                break;
            case Request::Reset:
                next = comp->on_reset(h) == RTC::RTC_OK ? RTC::INACTIVE_STATE : RTC::ERROR_STATE;
                break;
            case Request::None:
                break;
        }
        if (next == RTC::ERROR_STATE) comp->on_aborting(h);
        lock.lock();
        if (Entry* cur = find(comp)) {
            cur->state = next;
            cur->request = Request::None;
        }
        m_changed.notify_all();
    }
}

void PeriodicExecutionContext::runPeriod(std::unique_lock<std::mutex>& lock) {
    const std::vector<Entry> entries = m_entries;
    lock.unlock();
    for (const Entry& e : entries) {
        const UniqueId h = handleOf(e.comp);
        if (e.state == RTC::ACTIVE_STATE) {
            bool ok = e.comp->on_execute(h) == RTC::RTC_OK;
            if (ok) ok = e.comp->on_state_update(h) == RTC::RTC_OK;
            if (!ok) {
                e.comp->on_aborting(h);
                std::lock_guard<std::mutex> relock(m_mutex);
                if (Entry* cur = find(e.comp)) cur->state = RTC::ERROR_STATE;
            }
        } else if (e.state == RTC::ERROR_STATE) {
            e.comp->on_error(h);
        }
    }
    lock.lock();
    ++m_periods;
}

void PeriodicExecutionContext::run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    {
        const std::vector<Entry> entries = m_entries;
        lock.unlock();
        for (const Entry& e : entries) e.comp->on_startup(handleOf(e.comp));
        lock.lock();
    }
    auto next = std::chrono::steady_clock::now();
    auto began = next;
    while (!m_stopRequested) {
        applyRequests(lock);
        if (m_rateChanged) {
            m_rateChanged = false;
            // A context waiting out a long period takes the new one from the last beginning.
            next = std::max(began + periodOf(m_rate), std::chrono::steady_clock::now());
            const std::vector<Entry> entries = m_entries;
            lock.unlock();
            for (const Entry& e : entries) e.comp->on_rate_changed(handleOf(e.comp));
            lock.lock();
        }
        if (m_trigger == Trigger::External) {
            if (m_tickRequests > m_ticksDone) {
                runPeriod(lock);
                applyRequests(lock);
                ++m_ticksDone;
                m_changed.notify_all();
                continue;
            }
            m_changed.wait(lock);
            continue;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= next) {
            began = now;
            runPeriod(lock);
            next += periodOf(m_rate);
            // A period that overran does not make the following ones run back to back.
            if (next < std::chrono::steady_clock::now()) next = std::chrono::steady_clock::now();
            continue;
        }
        m_changed.wait_until(lock, next);
    }
    // Pending tick() calls must not wait for periods that will never run.
    m_ticksDone = m_tickRequests;
    const std::vector<Entry> entries = m_entries;
    lock.unlock();
    for (const Entry& e : entries) e.comp->on_shutdown(handleOf(e.comp));
    lock.lock();
    m_changed.notify_all();
}

}  // namespace RTC
