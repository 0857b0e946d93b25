// Stand-in only: no OpenRTM-aist header has this name.
// The buffer of an input port: a ring of received CDR encodings, oldest first.
#ifndef RTM_CDRRING_H
#define RTM_CDRRING_H

#include <rtm/RTC.h>

#include <cstddef>
#include <mutex>
#include <vector>

namespace RTC {

// One received value: its CDR bytes from the start of a stream, and their byte order.
struct CdrSlot {
    OpenRTM::CdrData data;
    bool littleEndian = true;
};

// Moves the bytes of `from` into `to` without copying when `from` owns its buffer; `from` is
// left empty either way.
void moveCdr(OpenRTM::CdrData& from, OpenRTM::CdrData& to);
// As moveCdr, but when both own their buffers, `from` gets the buffer `to` held, with length 0:
// a receiver that fills its own buffers gets one back for the next value.
void exchangeCdr(OpenRTM::CdrData& from, OpenRTM::CdrData& to);

// Filled by the threads that receive data, emptied by the component's thread; all operations
// take the one lock. A reader that keeps up swaps buffers with the ring, so a steady stream of
// copied values allocates nothing.
class CdrRing {
public:
    enum class FullPolicy { Overwrite, Refuse };
    struct Counters {
        unsigned long long stored = 0;       // values accepted
        unsigned long long overwritten = 0;  // unread values lost to newer ones
        unsigned long long refused = 0;      // values refused while full
        unsigned long long taken = 0;        // values handed to the reader
    };

    // Bytes held by unread values are capped as well as their number, so that a reader that
    // falls behind a producer of large values cannot exhaust memory; a single value larger than
    // the cap is still stored.
    static const std::size_t kDefaultMaxBytes = std::size_t(256) << 20;

    explicit CdrRing(std::size_t capacity, std::size_t maxBytes = kDefaultMaxBytes);
    CdrRing(const CdrRing&) = delete;
    CdrRing& operator=(const CdrRing&) = delete;

    // Stores `data` (its buffer taken over; when it owned that buffer, `data` is left with length
    // 0 holding a spare buffer of the ring, if there is one, for the receiver to fill next). When
    // full (every slot, or the byte cap), overwrites the oldest unread values, or with
    // FullPolicy::Refuse answers BUFFER_FULL and keeps `data`.
    OpenRTM::PortStatus put(OpenRTM::CdrData& data, bool littleEndian);
    // Hands over the oldest unread value, swapping buffers with `out`; false when none is unread.
    bool take(CdrSlot& out);
    std::size_t unread() const;
    std::size_t capacity() const;
    // Drops unread values beyond the new capacity, oldest first. A capacity below 1 is taken as 1.
    void setCapacity(std::size_t capacity);
    void setFullPolicy(FullPolicy policy);
    Counters counters() const;

private:
    // Keeps `buffer`'s storage as the spare when it is larger than the current one (which is then
    // freed); `buffer` is left empty.
    void keepSpare(OpenRTM::CdrData& buffer);

    // Guards every member below.
    mutable std::mutex m_mutex;
    std::vector<CdrSlot> m_slots;
    std::size_t m_head = 0;  // the oldest unread slot
    std::size_t m_count = 0;
    std::size_t m_bytes = 0;  // held by unread values
    std::size_t m_maxBytes;
    FullPolicy m_policy = FullPolicy::Overwrite;
    Counters m_counters;
    // One buffer no slot holds, handed to a put that gets none back from its slot: a reader that
    // falls behind a receiver of large values then costs no fresh allocation per value.
    OpenRTM::CdrData m_spare;
};

}  // namespace RTC

#endif
