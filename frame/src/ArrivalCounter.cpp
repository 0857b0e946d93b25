#include "frame/ArrivalCounter.h"

#include <rtm/ConnectorListener.h>

#if __has_include(<rtm/InPortConnector.h>)
#include <rtm/InPortConnector.h>
#endif

#include <atomic>
#include <mutex>
#include <type_traits>

namespace frame {

struct ArrivalCounter::Counts {
    std::atomic<unsigned long long> values{0};
    std::atomic<unsigned long long> bytes{0};
    mutable std::mutex mutex;  // guards interfaceType
    std::string interfaceType;

    void count(const RTC::ConnectorInfo& info, std::size_t size) {
        // OpenRTM-aist hands the connector's own properties ("interface_type"), ours the
        // connector profile's ("dataport.interface_type").
        std::string type = info.properties.getProperty("interface_type");
        if (type.empty()) type = info.properties.getProperty("dataport.interface_type");
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (type != interfaceType) interfaceType = type;
        }
        bytes.fetch_add(size, std::memory_order_relaxed);
        values.fetch_add(1, std::memory_order_release);
    }
};

namespace {

// The listener's signature differs between the middleware's major versions.
class ReceivedListener : public RTC::ConnectorDataListener {
public:
    explicit ReceivedListener(std::shared_ptr<ArrivalCounter::Counts> counts)
        : m_counts(std::move(counts)) {}

#if defined(RTM_MAJOR_VERSION) && RTM_MAJOR_VERSION >= 2
    RTC::ConnectorListenerStatus::Enum operator()(RTC::ConnectorInfo& info, RTC::ByteData& data,
                                                  const std::string&) override {
        m_counts->count(info, data.getDataLength());
        return RTC::ConnectorListenerStatus::NO_CHANGE;
    }
#else
    RTC::ConnectorListenerStatus::Enum operator()(RTC::ConnectorInfo& info,
                                                  cdrMemoryStream& data) override {
        m_counts->count(info, data.bufSize());
        return RTC::ConnectorListenerStatus::NO_CHANGE;
    }
#endif

private:
    const std::shared_ptr<ArrivalCounter::Counts> m_counts;
};

#if defined(RTM_MAJOR_VERSION) && RTM_MAJOR_VERSION >= 2
const RTC::ConnectorDataListenerType kReceived = RTC::ConnectorDataListenerType::ON_RECEIVED;
#else
const RTC::ConnectorDataListenerType kReceived = RTC::ON_RECEIVED;
#endif

// Our middleware counts its unread values itself; OpenRTM-aist keeps them in each connector's
// buffer, and its connector list changes under the lock it keeps for it.
template <class Port>
auto unreadOf(Port& port, int) -> decltype(port.unreadCount()) {
    return port.unreadCount();
}

#if __has_include(<rtm/InPortConnector.h>)
// The connector list and its lock are the port's own, not part of its public face (the list is
// read directly, under its lock, the way the port's isNew() reads it).
struct Connectors : RTC::InPortBase {
    static auto& lockOf(RTC::InPortBase& port) { return port.*(&Connectors::m_connectorsMutex); }
    static auto& listOf(RTC::InPortBase& port) { return port.*(&Connectors::m_connectors); }
};

template <class Port>
std::size_t unreadOf(Port& port, long) {
    auto& mutex = Connectors::lockOf(port);
    std::lock_guard<std::remove_reference_t<decltype(mutex)>> lock(mutex);
    std::size_t n = 0;
    for (auto* connector : Connectors::listOf(port))
        if (connector != nullptr && connector->getBuffer() != nullptr)
            n += connector->getBuffer()->readable();
    return n;
}
#endif

}  // namespace

ArrivalCounter::ArrivalCounter() : m_counts(std::make_shared<Counts>()) {}

void ArrivalCounter::attach(RTC::InPortBase& port) {
    if (m_attached) return;
    port.addConnectorDataListener(kReceived, new ReceivedListener(m_counts), true);
    m_attached = true;
}

ArrivalCounter::Totals ArrivalCounter::totals() const {
    Totals t;
    t.values = m_counts->values.load(std::memory_order_acquire);
    t.bytes = m_counts->bytes.load(std::memory_order_relaxed);
    std::lock_guard<std::mutex> lock(m_counts->mutex);
    t.interfaceType = m_counts->interfaceType;
    return t;
}

std::size_t ArrivalCounter::unread(RTC::InPortBase& port) {
    return static_cast<std::size_t>(unreadOf(port, 0));
}

}  // namespace frame
