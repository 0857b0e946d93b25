#include "ComponentLink.h"

namespace RTC {
namespace remote {

constexpr std::chrono::seconds ComponentLink::kEntryWait;

ComponentLink::Use::Use(ComponentLink& link) : m_link(link) {
    std::unique_lock<std::mutex> lock(link.m_mutex);
    const bool nested = link.m_alone && link.m_aloneThread == std::this_thread::get_id();
    if (!nested)
        link.m_changed.wait_for(lock, kEntryWait, [&] { return !link.m_alone || link.m_closed; });
    if (link.m_closed || (link.m_alone && !nested)) return;
    ++link.m_inUse;
    m_comp = link.m_comp;
}

ComponentLink::Use::~Use() {
    if (!m_comp) return;
    std::lock_guard<std::mutex> lock(m_link.m_mutex);
    --m_link.m_inUse;
    m_link.m_changed.notify_all();
}

bool ComponentLink::runAlone(const std::function<bool()>& f) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return !m_alone; });
    if (m_closed) return false;
    m_alone = true;
    m_aloneThread = std::this_thread::get_id();
    m_changed.wait(lock, [this] { return m_inUse == 0; });
    lock.unlock();
    bool closeIt = false;
    try {
        closeIt = f();
    } catch (...) {
        lock.lock();
        m_alone = false;
        m_aloneThread = std::thread::id();
        m_changed.notify_all();
        throw;
    }
    lock.lock();
    m_alone = false;
    m_aloneThread = std::thread::id();
    if (closeIt) m_closed = true;
    m_changed.notify_all();
    return true;
}

void ComponentLink::close() {
    runAlone([] { return true; });
}

}  // namespace remote
}  // namespace RTC
