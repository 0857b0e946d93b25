#include <rtm/CdrRing.h>

#include <algorithm>
#include <cstring>
#include <iostream>

#include "Registry.h"
#include "Servants.h"

namespace RTC {
namespace remote {

namespace {

// How long a peer has to answer the calls around a value (setEndian, open_memory, close_memory).
const CORBA::ULong kAnnounceTimeoutMs = 2000;

// Reports the first of a kind of failure and every thousandth after, so that a peer sending
// nothing but bad values cannot flood the log.
bool worthALine(unsigned long long count) { return count % 1000 == 1; }

}  // namespace

PortSharedMemoryServant::PortSharedMemoryServant(std::shared_ptr<InPortEndpoint> endpoint,
                                                 bool littleEndian, std::string connection)
    : m_endpoint(std::move(endpoint)),
      m_littleEndian(littleEndian),
      m_connection(std::move(connection)) {}

void PortSharedMemoryServant::end() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_segment.close(true);
    m_spare = OpenRTM::CdrData();
    m_ended = true;
}

void PortSharedMemoryServant::refuse(const std::string& reason) {
    if (worthALine(++m_refused))
        std::cerr << "shared memory connection " << m_connection << ": " << reason << " ("
                  << m_refused << " refused so far)" << std::endl;
}

void PortSharedMemoryServant::open_memory(CORBA::ULongLong memory_size, const char* shm_address) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_ended) return;
    std::string reason;
    if (!m_segment.open(shm_address ? shm_address : "", memory_size, reason))
        refuse("segment not opened: " + reason);
}

void PortSharedMemoryServant::create_memory(CORBA::ULongLong, const char*) {
    throw CORBA::NO_IMPLEMENT(0, CORBA::COMPLETED_NO);
}

void PortSharedMemoryServant::close_memory(CORBA::Boolean unlink) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_segment.close(unlink);
}

void PortSharedMemoryServant::setInterface(OpenRTM::PortSharedMemory_ptr) {}

void PortSharedMemoryServant::setEndian(CORBA::Boolean) {}

OpenRTM::PortStatus PortSharedMemoryServant::put() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_ended) return OpenRTM::PORT_ERROR;
    std::string reason;
    if (!m_segment.read(m_spare, m_littleEndian, reason)) {
        refuse("value refused: " + reason);
        return OpenRTM::PORT_ERROR;
    }
    return m_endpoint->put(m_spare, m_littleEndian, m_connection);
}

OpenRTM::PortStatus PortSharedMemoryServant::get() { return OpenRTM::PORT_ERROR; }

SharedMemoryConnector::SharedMemoryConnector(const ConnectorInfo& info,
                                             OpenRTM::PortSharedMemory_ptr peer)
    : OutPortConnector(info),
      m_peer(OpenRTM::PortSharedMemory::_duplicate(peer)),
      // A fresh name per connection, in the canonical UUID form the middleware uses.
      m_segment(newConnectorId()),
      m_defaultSize([&] {
          // The output side's own key wins over the shared one.
          std::string size = info.properties.getProperty("dataport.outport.shem_default_size");
          if (size.empty()) size = info.properties.getProperty("dataport.shem_default_size");
          return parseSegmentSize(size);
      }()) {}

SharedMemoryConnector::~SharedMemoryConnector() {
    const bool announced = m_peerOpened;
    m_segment.remove();
    if (!announced || m_dead) return;
    omniORB::setClientCallTimeout(m_peer, kAnnounceTimeoutMs);
    try {
        m_peer->close_memory(false);
    } catch (const CORBA::Exception&) {
        // The peer has usually removed its object already.
    }
}

void SharedMemoryConnector::failed(const std::string& what) {
    if (worthALine(++m_failures))
        std::cerr << "shared memory connection " << info().id << ": " << what << " (" << m_failures
                  << " failed so far)" << std::endl;
}

bool SharedMemoryConnector::reserve(std::size_t valueLength) {
    if (m_segment.created() && valueLength <= m_segment.valueCapacity()) return true;
    const std::size_t size = m_segment.created()
                                 ? valueLength + kSegmentHeaderSize
                                 : std::max(m_defaultSize, valueLength + kSegmentHeaderSize);
    if (m_peerOpened) {
        // The peer lets go of the old segment before it is replaced under the same name.
        omniORB::setClientCallTimeout(m_peer, kAnnounceTimeoutMs);
        guardedPut(
            m_peer, 0,
            [&] {
                m_peer->close_memory(false);
                return OpenRTM::PORT_OK;
            },
            m_dead);
        m_peerOpened = false;
        if (m_dead) return false;
    }
    std::string error;
    if (!m_segment.create(size, error)) {
        failed("cannot create segment " + m_segment.name() + " of " + std::to_string(size) +
               " octets: " + error);
        return false;
    }
    return true;
}

OpenRTM::PortStatus SharedMemoryConnector::announce(std::size_t valueLength) {
    m_segment.writeHeader(valueLength, littleEndian());
    if (!m_peerOpened) {
        const OpenRTM::PortStatus opened = guardedPut(
            m_peer, 0,
            [&] {
                m_peer->open_memory(m_segment.size(), m_segment.name().c_str());
                return OpenRTM::PORT_OK;
            },
            m_dead);
        if (m_dead) return OpenRTM::PORT_ERROR;
        // A peer that failed to open it is asked again with the next value.
        m_peerOpened = opened == OpenRTM::PORT_OK;
    }
    return guardedPut(
        m_peer, static_cast<CORBA::ULong>(valueLength), [&] { return m_peer->put(); }, m_dead);
}

OpenRTM::PortStatus SharedMemoryConnector::putValue(const CdrEncoder& value) {
    const bool little = littleEndian();
    guardedPut(
        m_peer, 0,
        [&] {
            m_peer->setEndian(little);
            return OpenRTM::PORT_OK;
        },
        m_dead);
    if (m_dead || !reserve(0)) return OpenRTM::PORT_ERROR;
    std::size_t length = 0;
    try {
        SegmentStream stream(m_segment.valueArea(), m_segment.valueCapacity(), little);
        value.encode(stream);
        length = stream.length();
    } catch (const SegmentStream::Full&) {
        // Rare: measured by encoding it aside, then copied into a segment grown to fit it.
        GrowingCdrStream aside(little);
        value.encode(aside);
        length = aside.length();
        if (!reserve(length)) return OpenRTM::PORT_ERROR;
        std::memcpy(m_segment.valueArea(), aside.data(), length);
    }
    return announce(length);
}

OpenRTM::PortStatus SharedMemoryConnector::put(const CORBA::Octet* bytes, CORBA::ULong length) {
    guardedPut(
        m_peer, 0,
        [&] {
            m_peer->setEndian(littleEndian());
            return OpenRTM::PORT_OK;
        },
        m_dead);
    if (m_dead || !reserve(length)) return OpenRTM::PORT_ERROR;
    if (length) std::memcpy(m_segment.valueArea(), bytes, length);
    return announce(length);
}

}  // namespace remote
}  // namespace RTC
