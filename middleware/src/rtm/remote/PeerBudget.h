// A time limit shared by a series of calls to peers, so that peers which never answer cannot hold
// a call, or the end of the process, for longer than the limit however many of them there are.
#ifndef RTM_REMOTE_PEERBUDGET_H
#define RTM_REMOTE_PEERBUDGET_H

#include <rtm/RTC.h>

#include <chrono>

namespace RTC {
namespace remote {

class PeerBudget {
public:
    using Clock = std::chrono::steady_clock;

    // Without an end of its own: each call gets its own limit.
    PeerBudget() = default;
    // Ends `total` from now, or at `endBy` if that comes first.
    explicit PeerBudget(std::chrono::milliseconds total,
                        Clock::time_point endBy = Clock::time_point::max());

    // Sets the time-out of `peer`'s next call to what is left, and at most `perCallMs`. False, and
    // nothing set, when the budget is spent: make no call then.
    bool limit(CORBA::Object_ptr peer, CORBA::ULong perCallMs) const;
    bool spent() const { return Clock::now() >= m_deadline; }

private:
    Clock::time_point m_deadline = Clock::time_point::max();
};

}  // namespace remote
}  // namespace RTC

#endif
