#include <rtm/CdrRing.h>

#include <cstring>

namespace RTC {

void moveCdr(OpenRTM::CdrData& from, OpenRTM::CdrData& to) {
    const CORBA::ULong length = from.length();
    if (from.release()) {
        const CORBA::ULong maximum = from.maximum();
        CORBA::Octet* buffer = from.get_buffer(true);
        to.replace(maximum, length, buffer, true);
    } else {
        to.length(length);
        if (length) std::memcpy(to.get_buffer(), from.get_buffer(), length);
        from.length(0);
    }
}

void exchangeCdr(OpenRTM::CdrData& from, OpenRTM::CdrData& to) {
    if (!from.release() || to.maximum() == 0 || !to.release()) {
        moveCdr(from, to);
        return;
    }
    const CORBA::ULong length = from.length();
    const CORBA::ULong maximum = from.maximum();
    CORBA::Octet* incoming = from.get_buffer(true);
    const CORBA::ULong spareMaximum = to.maximum();
    CORBA::Octet* spare = to.get_buffer(true);
    to.replace(maximum, length, incoming, true);
    from.replace(spareMaximum, 0, spare, true);
}

CdrRing::CdrRing(std::size_t capacity, std::size_t maxBytes)
    : m_slots(capacity ? capacity : 1), m_maxBytes(maxBytes) {}

OpenRTM::PortStatus CdrRing::put(OpenRTM::CdrData& data, bool littleEndian) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::size_t length = data.length();
    const bool full = m_count == m_slots.size() || (m_count > 0 && m_bytes + length > m_maxBytes);
    if (full && m_policy == FullPolicy::Refuse) {
        ++m_counters.refused;
        return OpenRTM::BUFFER_FULL;
    }
    // Oldest first, unread values make room: for the slot, and for the bytes held.
    while (m_count > 0 && (m_count == m_slots.size() || m_bytes + length > m_maxBytes)) {
        m_bytes -= m_slots[m_head].data.length();
        keepSpare(m_slots[m_head].data);
        m_head = (m_head + 1) % m_slots.size();
        --m_count;
        ++m_counters.overwritten;
    }
    const std::size_t index = (m_head + m_count) % m_slots.size();
    ++m_count;
    exchangeCdr(data, m_slots[index].data);
    if (data.maximum() == 0 && data.release() && m_spare.maximum() > 0) moveCdr(m_spare, data);
    m_slots[index].littleEndian = littleEndian;
    m_bytes += length;
    ++m_counters.stored;
    return OpenRTM::PORT_OK;
}

bool CdrRing::take(CdrSlot& out) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_count == 0) return false;
    const std::size_t taken = m_head;
    CdrSlot& slot = m_slots[taken];
    OpenRTM::CdrData previous;
    moveCdr(out.data, previous);
    moveCdr(slot.data, out.data);
    out.littleEndian = slot.littleEndian;
    m_bytes -= out.data.length();
    --m_count;
    ++m_counters.taken;
    if (m_count == 0) {
        // A reader that keeps up finds the next value in this same slot, whose buffer is the
        // reader's previous one: two buffers alternate and nothing is allocated.
        moveCdr(previous, slot.data);
    } else {
        // Empty slots hold no memory; the reader's previous buffer is kept aside for the next
        // receiver that fills buffers of its own.
        keepSpare(previous);
        m_head = (m_head + 1) % m_slots.size();
    }
    return true;
}

void CdrRing::keepSpare(OpenRTM::CdrData& buffer) {
    if (buffer.release() && buffer.maximum() > m_spare.maximum()) {
        // Not length(0): an omniORB sequence frees its buffer at length zero.
        const CORBA::ULong maximum = buffer.maximum();
        m_spare.replace(maximum, 0, buffer.get_buffer(true), true);
    }
    buffer = OpenRTM::CdrData();
}

std::size_t CdrRing::unread() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_count;
}

std::size_t CdrRing::capacity() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_slots.size();
}

void CdrRing::setCapacity(std::size_t capacity) {
    if (capacity < 1) capacity = 1;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (capacity == m_slots.size()) return;
    std::vector<CdrSlot> slots(capacity);
    const std::size_t drop = m_count > capacity ? m_count - capacity : 0;
    m_counters.overwritten += drop;
    const std::size_t keep = m_count - drop;
    for (std::size_t i = 0; i < drop; ++i)
        m_bytes -= m_slots[(m_head + i) % m_slots.size()].data.length();
    for (std::size_t i = 0; i < keep; ++i) {
        CdrSlot& from = m_slots[(m_head + drop + i) % m_slots.size()];
        moveCdr(from.data, slots[i].data);
        slots[i].littleEndian = from.littleEndian;
    }
    m_slots.swap(slots);
    m_head = 0;
    m_count = keep;
}

void CdrRing::setFullPolicy(FullPolicy policy) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_policy = policy;
}

CdrRing::Counters CdrRing::counters() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_counters;
}

}  // namespace RTC
