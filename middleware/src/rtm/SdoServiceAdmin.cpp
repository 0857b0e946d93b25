#include <rtm/SdoServiceAdmin.h>

#include <algorithm>
#include <cstring>

namespace RTC {

namespace {

const char* text(const char* s) { return s ? s : ""; }

}  // namespace

constexpr std::size_t SdoServiceAdmin::kMaxObservers;
constexpr std::chrono::milliseconds SdoServiceAdmin::kFlushLimit;

SdoServiceAdmin::~SdoServiceAdmin() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        m_flushUntil = std::chrono::steady_clock::now() + kFlushLimit;
    }
    m_wake.notify_all();
    if (m_sender.joinable()) m_sender.join();
}

bool SdoServiceAdmin::addSdoServiceConsumer(const SDOPackage::ServiceProfile& sProfile) {
    if (std::strcmp(text(sProfile.interface_type.in()), ComponentObserverConsumer::kInterfaceType))
        return false;
    if (text(sProfile.id.in())[0] == '\0' || CORBA::is_nil(sProfile.service.in())) return false;
    auto consumer = std::make_shared<ComponentObserverConsumer>(sProfile);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping) return false;
        reap();
        auto held = std::find_if(m_consumers.begin(), m_consumers.end(), [&](const auto& c) {
            return std::strcmp(c->getProfile().id.in(), sProfile.id.in()) == 0;
        });
        if (held != m_consumers.end()) {
            *held = std::move(consumer);
        } else {
            if (m_consumers.size() >= kMaxObservers) return false;
            m_consumers.push_back(std::move(consumer));
        }
        if (!m_sender.joinable()) m_sender = std::thread([this] { run(); });
    }
    m_wake.notify_all();
    return true;
}

bool SdoServiceAdmin::removeSdoServiceConsumer(const char* id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    reap();
    for (auto it = m_consumers.begin(); it != m_consumers.end(); ++it) {
        if (std::strcmp((*it)->getProfile().id.in(), text(id)) != 0) continue;
        m_consumers.erase(it);
        return true;
    }
    return false;
}

SDOPackage::ServiceProfileList SdoServiceAdmin::getSdoServiceConsumerProfiles() {
    std::lock_guard<std::mutex> lock(m_mutex);
    reap();
    SDOPackage::ServiceProfileList list;
    list.length(static_cast<CORBA::ULong>(m_consumers.size()));
    for (CORBA::ULong i = 0; i < list.length(); ++i) list[i] = m_consumers[i]->getProfile();
    return list;
}

bool SdoServiceAdmin::getSdoServiceConsumerProfile(const char* id,
                                                   SDOPackage::ServiceProfile& sProfile) {
    std::lock_guard<std::mutex> lock(m_mutex);
    reap();
    for (const auto& c : m_consumers) {
        if (std::strcmp(c->getProfile().id.in(), text(id)) != 0) continue;
        sProfile = c->getProfile();
        return true;
    }
    return false;
}

void SdoServiceAdmin::updateStatus(OpenRTM::StatusKind kind, const std::string& hint) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_consumers.empty()) return;
        for (auto& c : m_consumers) c->updateStatus(kind, hint);
    }
    m_wake.notify_all();
}

void SdoServiceAdmin::reap() {
    m_consumers.erase(std::remove_if(m_consumers.begin(), m_consumers.end(),
                                     [](const auto& c) { return c->failed(); }),
                      m_consumers.end());
}

void SdoServiceAdmin::run() {
    using Clock = std::chrono::steady_clock;
    std::unique_lock<std::mutex> lock(m_mutex);
    // Where the next round starts, so that a busy observer does not starve the others.
    std::size_t turn = 0;
    for (;;) {
        reap();
        const auto now = Clock::now();
        if (m_stopping && now >= m_flushUntil) break;
        std::shared_ptr<ComponentObserverConsumer> chosen;
        ComponentObserverConsumer::Notice notice;
        auto wake = Clock::time_point::max();
        const std::size_t n = m_consumers.size();
        for (std::size_t k = 0; k < n; ++k) {
            const std::size_t i = (turn + k) % n;
            if (m_consumers[i]->next(now, !m_stopping, notice)) {
                chosen = m_consumers[i];
                turn = i + 1;
                break;
            }
            wake = std::min(wake, m_consumers[i]->nextBeat());
        }
        if (chosen) {
            lock.unlock();
            chosen->send(notice);
            chosen.reset();
            lock.lock();
            continue;
        }
        if (m_stopping) break;
        if (wake == Clock::time_point::max())
            m_wake.wait(lock);
        else
            m_wake.wait_until(lock, wake);
    }
}

}  // namespace RTC
