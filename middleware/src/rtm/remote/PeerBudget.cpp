#include "PeerBudget.h"

#include <algorithm>

namespace RTC {
namespace remote {

PeerBudget::PeerBudget(std::chrono::milliseconds total, Clock::time_point endBy)
    : m_deadline(std::min(Clock::now() + total, endBy)) {}

bool PeerBudget::limit(CORBA::Object_ptr peer, CORBA::ULong perCallMs) const {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline - Clock::now()).count();
    // omniORB reads a zero time-out as "none".
    if (left < 1) return false;
    const auto ms = std::min<long long>(left, perCallMs);
    omniORB::setClientCallTimeout(peer, static_cast<CORBA::ULong>(ms));
    return true;
}

}  // namespace remote
}  // namespace RTC
