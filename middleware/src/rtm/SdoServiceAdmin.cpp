#include <rtm/SdoServiceAdmin.h>

#include <algorithm>
#include <cstring>

namespace RTC {

namespace {

const char* text(const char* s) { return s ? s : ""; }

}  // namespace

SdoServiceAdmin::~SdoServiceAdmin() {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto& c : m_consumers) c->finish(true);
    // Destroying a consumer joins its thread; the others keep sending meanwhile.
    m_consumers.clear();
    m_retired.clear();
}

bool SdoServiceAdmin::addSdoServiceConsumer(const SDOPackage::ServiceProfile& sProfile) {
    if (std::strcmp(text(sProfile.interface_type.in()), ComponentObserverConsumer::kInterfaceType))
        return false;
    if (text(sProfile.id.in())[0] == '\0' || CORBA::is_nil(sProfile.service.in())) return false;
    std::unique_ptr<ComponentObserverConsumer> consumer(new ComponentObserverConsumer(sProfile));
    std::lock_guard<std::mutex> lock(m_mutex);
    reap();
    for (auto& held : m_consumers) {
        if (std::strcmp(held->getProfile().id.in(), sProfile.id.in()) != 0) continue;
        held->finish(false);
        m_retired.push_back(std::move(held));
        held = std::move(consumer);
        return true;
    }
    m_consumers.push_back(std::move(consumer));
    return true;
}

bool SdoServiceAdmin::removeSdoServiceConsumer(const char* id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    reap();
    for (auto it = m_consumers.begin(); it != m_consumers.end(); ++it) {
        if (std::strcmp((*it)->getProfile().id.in(), text(id)) != 0) continue;
        (*it)->finish(false);
        m_retired.push_back(std::move(*it));
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
    std::lock_guard<std::mutex> lock(m_mutex);
    reap();
    for (auto& c : m_consumers) c->updateStatus(kind, hint);
}

void SdoServiceAdmin::reap() {
    for (auto it = m_consumers.begin(); it != m_consumers.end();) {
        if ((*it)->failed()) {
            m_retired.push_back(std::move(*it));
            it = m_consumers.erase(it);
        } else {
            ++it;
        }
    }
    m_retired.erase(std::remove_if(m_retired.begin(), m_retired.end(),
                                   [](const std::unique_ptr<ComponentObserverConsumer>& c) {
                                       return c->finished();
                                   }),
                    m_retired.end());
}

}  // namespace RTC
