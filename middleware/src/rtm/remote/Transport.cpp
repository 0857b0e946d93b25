#include <rtm/CdrRing.h>
#include <rtm/RTObject.h>

#include "Registry.h"
#include "Servants.h"

namespace RTC {
namespace remote {

namespace {

// A put may take this long, plus the time for its bytes at kSlowestBytesPerMs: long enough for a
// large value over a slow link, short enough that a hung peer does not stall the writer for long.
const CORBA::ULong kPutBaseTimeoutMs = 2000;
const CORBA::ULong kSlowestBytesPerMs = 10000;
// How long a peer whose put failed has to answer before it counts as gone.
const CORBA::ULong kProbeTimeoutMs = 1000;

}  // namespace

InPortCdrServant::InPortCdrServant(std::shared_ptr<InPortEndpoint> endpoint, bool littleEndian,
                                   std::string connection)
    : m_endpoint(std::move(endpoint)),
      m_littleEndian(littleEndian),
      m_connection(std::move(connection)) {}

OpenRTM::PortStatus InPortCdrServant::put(const OpenRTM::CdrData& data) {
    // The skeleton owns `data` and discards it after the call: taking its buffer spares a copy
    // of what may be tens of megabytes. A buffer the caller only lent (a call within this
    // process) is copied by the ring instead.
    OpenRTM::CdrData& received = const_cast<OpenRTM::CdrData&>(data);
    if (received.length() == 0) return OpenRTM::PORT_ERROR;
    OpenRTM::CdrData taken;
    moveCdr(received, taken);
    return m_endpoint->put(taken, m_littleEndian, m_connection);
}

RemoteConnector::RemoteConnector(const ConnectorInfo& info, OpenRTM::InPortCdr_ptr peer)
    : OutPortConnector(info), m_peer(OpenRTM::InPortCdr::_duplicate(peer)) {}

OpenRTM::PortStatus guardedPut(CORBA::Object_ptr peer, CORBA::ULong length,
                               const std::function<OpenRTM::PortStatus()>& put, bool& dead) {
    omniORB::setClientCallTimeout(peer, kPutBaseTimeoutMs + length / kSlowestBytesPerMs);
    try {
        return put();
    } catch (const CORBA::OBJECT_NOT_EXIST&) {
        dead = true;
    } catch (const CORBA::TIMEOUT&) {
        // A peer that does not answer in time would stall every following write as well.
        dead = true;
    } catch (const CORBA::TRANSIENT& e) {
        dead = e.minor() == omni::TRANSIENT_CallTimedout || !peerAnswers(peer);
    } catch (const CORBA::COMM_FAILURE&) {
        dead = !peerAnswers(peer);
    } catch (const CORBA::SystemException&) {
        // This value only (over a message-size limit, say): the connection stays.
    }
    return OpenRTM::PORT_ERROR;
}

bool peerAnswers(CORBA::Object_ptr peer) {
    // Only the writing thread uses a connection's peer, and each put sets its own time limit.
    omniORB::setClientCallTimeout(peer, kProbeTimeoutMs);
    try {
        return !peer->_non_existent();
    } catch (const CORBA::Exception&) {
        return false;
    }
}

OpenRTM::PortStatus RemoteConnector::put(const CORBA::Octet* bytes, CORBA::ULong length) {
    OpenRTM::CdrData borrowed(length, length, const_cast<CORBA::Octet*>(bytes), false);
    return guardedPut(m_peer, length, [&] { return m_peer->put(borrowed); }, m_dead);
}

ForeignContext::ForeignContext(RTC::ExecutionContext_ptr context,
                               RTC::LightweightRTObject_ptr component)
    : m_context(RTC::ExecutionContext::_duplicate(context)),
      m_component(RTC::LightweightRTObject::_duplicate(component)) {
    omniORB::setClientCallTimeout(m_context, kPeerCallTimeoutMs);
}

void ForeignContext::limitTo(const PeerBudget& budget) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_budget = budget;
}

bool ForeignContext::callable() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_budget.limit(m_context, kPeerCallTimeoutMs);
}

bool ForeignContext::is_running() {
    if (!callable()) return false;
    try {
        return m_context->is_running();
    } catch (const CORBA::Exception&) {
        return false;
    }
}

ReturnCode_t ForeignContext::start() {
    if (!callable()) return RTC::RTC_ERROR;
    try {
        return m_context->start();
    } catch (const CORBA::Exception&) {
        return RTC::RTC_ERROR;
    }
}

ReturnCode_t ForeignContext::stop() {
    if (!callable()) return RTC::RTC_ERROR;
    try {
        return m_context->stop();
    } catch (const CORBA::Exception&) {
        return RTC::RTC_ERROR;
    }
}

double ForeignContext::get_rate() {
    if (!callable()) return 0.0;
    try {
        return m_context->get_rate();
    } catch (const CORBA::Exception&) {
        return 0.0;
    }
}

ReturnCode_t ForeignContext::set_rate(double rate) {
    if (!callable()) return RTC::RTC_ERROR;
    try {
        return m_context->set_rate(rate);
    } catch (const CORBA::Exception&) {
        return RTC::RTC_ERROR;
    }
}

ReturnCode_t ForeignContext::add_component(RTObject_impl*) { return RTC::RTC_OK; }

ReturnCode_t ForeignContext::remove_component(RTObject_impl*) { return RTC::RTC_OK; }

ReturnCode_t ForeignContext::activate_component(RTObject_impl*) {
    if (!callable()) return RTC::RTC_ERROR;
    try {
        return m_context->activate_component(m_component);
    } catch (const CORBA::Exception&) {
        return RTC::RTC_ERROR;
    }
}

ReturnCode_t ForeignContext::deactivate_component(RTObject_impl*) {
    if (!callable()) return RTC::RTC_ERROR;
    try {
        return m_context->deactivate_component(m_component);
    } catch (const CORBA::Exception&) {
        return RTC::RTC_ERROR;
    }
}

ReturnCode_t ForeignContext::reset_component(RTObject_impl*) {
    if (!callable()) return RTC::RTC_ERROR;
    try {
        return m_context->reset_component(m_component);
    } catch (const CORBA::Exception&) {
        return RTC::RTC_ERROR;
    }
}

LifeCycleState ForeignContext::get_component_state(RTObject_impl*) {
    if (!callable()) return RTC::CREATED_STATE;
    try {
        return m_context->get_component_state(m_component);
    } catch (const CORBA::Exception&) {
        return RTC::CREATED_STATE;
    }
}

ExecutionKind ForeignContext::get_kind() {
    if (!callable()) return RTC::OTHER;
    try {
        return m_context->get_kind();
    } catch (const CORBA::Exception&) {
        return RTC::OTHER;
    }
}

}  // namespace remote
}  // namespace RTC
