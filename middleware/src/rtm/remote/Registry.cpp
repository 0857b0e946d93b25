#include "Registry.h"

#include <coil/stringutil.h>
#include <rtm/Manager.h>
#include <rtm/RTObject.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>

#include "Servants.h"

namespace RTC {
namespace remote {

Registry::Registry(Manager& manager)
    : m_manager(manager), m_orb(manager.getORB()), m_poa(manager.getPOA()) {
    coil::Properties& config = manager.getConfig();
    if (coil::toBool(config.getProperty("corba.corbaloc"), "YES", "NO", false)) {
        try {
            CORBA::Object_var obj = m_orb->resolve_initial_references("omniINSPOA");
            m_insPoa = PortableServer::POA::_narrow(obj);
            PortableServer::POAManager_var pm = m_insPoa->the_POAManager();
            pm->activate();
        } catch (const CORBA::Exception& e) {
            std::cerr << "manager: corba.corbaloc is YES but omniORB's INS POA is not available ("
                      << e._name() << ")" << std::endl;
            m_insPoa = PortableServer::POA::_nil();
        }
    }
    const std::string type = config.getProperty("naming.type", "corba");
    if (coil::toBool(config.getProperty("naming.enable"), "YES", "NO", false) &&
        type.find("corba") != std::string::npos)
        m_naming.reset(new NameBinder(m_orb, config.getProperty("corba.nameservers"),
                                      kPeerCallTimeoutMs));
    const double interval = std::atof(config.getProperty("naming.update.interval", "10").c_str());
    if (m_naming && coil::toBool(config.getProperty("naming.update.enable"), "YES", "NO", false) &&
        interval > 0.0) {
        const auto period = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::duration<double>(interval));
        m_updater = std::thread([this, period] {
            std::unique_lock<std::mutex> lock(m_updateMutex);
            while (!m_updateWake.wait_for(lock, period, [this] { return m_stopUpdates; })) {
                lock.unlock();
                updateNames();
                lock.lock();
            }
        });
    }
}

Registry::~Registry() {
    {
        std::lock_guard<std::mutex> lock(m_updateMutex);
        m_stopUpdates = true;
    }
    m_updateWake.notify_all();
    if (m_updater.joinable()) m_updater.join();
    detachAll();
}

void Registry::beginEnding() {
    const auto at = PeerBudget::Clock::now() + kEndingBudget;
    m_endBy = at.time_since_epoch().count();
}

PeerBudget Registry::budget(std::chrono::milliseconds total) const {
    return PeerBudget(total,
                      PeerBudget::Clock::time_point(PeerBudget::Clock::duration(m_endBy.load())));
}

void Registry::updateNames() {
    std::lock_guard<std::mutex> naming(m_namingMutex);
    std::vector<Entry> entries;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        entries = m_entries;
    }
    for (Named& n : m_objects) {
        std::vector<NameBinder::Binding> added = m_naming->bindMissing(n.object, n.paths);
        n.names.insert(n.names.end(), added.begin(), added.end());
    }
    for (const Entry& e : entries) {
        std::vector<NameBinder::Binding> added = m_naming->bindMissing(e.servant->ref(), e.paths);
        if (added.empty()) continue;
        std::lock_guard<std::mutex> lock(m_mutex);
        for (Entry& current : m_entries)
            if (current.servant == e.servant)
                current.names.insert(current.names.end(), added.begin(), added.end());
    }
}

void Registry::attach(RTObject_impl* comp) {
    PortableServer::Servant_var<ComponentServant> servant(new ComponentServant(*this, comp));
    try {
        if (CORBA::is_nil(m_insPoa))
            servant->activate(m_poa, nullptr);
        else
            servant->activate(m_insPoa, comp->getInstanceName());
    } catch (const CORBA::Exception& e) {
        std::cerr << "manager: cannot activate the object of " << comp->getInstanceName() << " ("
                  << e._name() << "); it is not reachable from outside" << std::endl;
        servant->retire();
        return;
    }
    Entry entry;
    entry.servant = servant._retn();
    entry.ior = CORBA::String_var(m_orb->object_to_string(entry.servant->ref())).in();
    if (m_naming) {
        const coil::Properties& config = m_manager.getConfig();
        for (const std::string& format :
             coil::split(config.getProperty("naming.formats"), ",", true))
            entry.paths.push_back(NameBinder::expand(format, comp->getProperties(), config));
    }
    {
        std::lock_guard<std::mutex> naming(m_namingMutex);
        if (m_naming) entry.names = m_naming->bind(entry.servant->ref(), entry.paths);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_entries.push_back(entry);
    }
    writeReferences(entry.servant);
}

void Registry::bindObject(CORBA::Object_ptr obj, const std::vector<std::string>& paths) {
    if (!m_naming) return;
    std::lock_guard<std::mutex> naming(m_namingMutex);
    m_objects.push_back(Named{CORBA::Object::_duplicate(obj), paths, m_naming->bind(obj, paths)});
}

void Registry::unbindObject(CORBA::Object_ptr obj) {
    Named named;
    {
        std::lock_guard<std::mutex> naming(m_namingMutex);
        auto it = std::find_if(m_objects.begin(), m_objects.end(),
                               [&](const Named& n) { return n.object->_is_equivalent(obj); });
        if (it == m_objects.end()) return;
        named = *it;
        m_objects.erase(it);
    }
    NameBinder::unbind(named.names, budget(kPeerCallLimit));
}

void Registry::detach(RTObject_impl* comp) {
    Entry entry{nullptr, {}, {}, {}};
    {
        std::lock_guard<std::mutex> naming(m_namingMutex);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            auto it = std::find_if(m_entries.begin(), m_entries.end(),
                                   [&](const Entry& e) { return e.servant->component() == comp; });
            if (it == m_entries.end()) return;
            entry = *it;
            m_entries.erase(it);
        }
        NameBinder::unbind(entry.names, budget(kPeerCallLimit));
    }
    entry.servant->retire();
    entry.servant->_remove_ref();
    writeReferences(nullptr);
}

void Registry::detachAll() {
    for (;;) {
        RTObject_impl* comp = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_entries.empty()) return;
            comp = m_entries.back().servant->component();
        }
        detach(comp);
    }
}

void Registry::writeReferences(const ComponentServant* added) {
    const std::string target = m_manager.getConfig().getProperty("corba.ior_file");
    if (target.empty()) return;
    std::vector<Entry> entries;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        entries = m_entries;
    }
    if (target == "-") {
        for (const Entry& e : entries) {
            if (e.servant != added) continue;
            std::cout << e.servant->component()->getInstanceName() << " " << e.ior << std::endl;
        }
        return;
    }
    // Written beside and renamed into place, so that a reader never sees half a file.
    const std::string temporary = target + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        for (const Entry& e : entries)
            out << e.servant->component()->getInstanceName() << " " << e.ior << "\n";
        if (!out) {
            std::cerr << "manager: cannot write corba.ior_file \"" << target << "\"" << std::endl;
            return;
        }
    }
    if (std::rename(temporary.c_str(), target.c_str()) != 0)
        std::cerr << "manager: cannot write corba.ior_file \"" << target << "\"" << std::endl;
}

PortableServer::Servant_var<ComponentServant> Registry::servantOf(const RTObject_impl* comp) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const Entry& e : m_entries) {
        if (e.servant->component() == comp) {
            e.servant->_add_ref();
            return PortableServer::Servant_var<ComponentServant>(e.servant);
        }
    }
    return PortableServer::Servant_var<ComponentServant>();
}

std::vector<PortableServer::Servant_var<ComponentServant>> Registry::servants() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<PortableServer::Servant_var<ComponentServant>> out;
    for (const Entry& e : m_entries) {
        e.servant->_add_ref();
        out.emplace_back(e.servant);
    }
    return out;
}

template <class T>
PortableServer::Servant_var<T> Registry::local(CORBA::Object_ptr ref) {
    if (CORBA::is_nil(ref)) return PortableServer::Servant_var<T>();
    for (PortableServer::POA_ptr poa : {m_poa.in(), m_insPoa.in()}) {
        if (CORBA::is_nil(poa)) continue;
        try {
            PortableServer::ServantBase* base = poa->reference_to_servant(ref);
            if (T* typed = dynamic_cast<T*>(base)) return PortableServer::Servant_var<T>(typed);
            base->_remove_ref();
            return PortableServer::Servant_var<T>();
        } catch (const CORBA::Exception&) {
            // Not an object of this POA (WrongAdapter), or no longer active.
        }
    }
    return PortableServer::Servant_var<T>();
}

PortableServer::Servant_var<ComponentServant> Registry::localComponent(CORBA::Object_ptr ref) {
    return local<ComponentServant>(ref);
}

PortableServer::Servant_var<ContextServant> Registry::localContext(CORBA::Object_ptr ref) {
    return local<ContextServant>(ref);
}

PortableServer::Servant_var<PortServant> Registry::localPort(CORBA::Object_ptr ref) {
    return local<PortServant>(ref);
}

RTC::RTObject_ptr Registry::componentRef(const RTObject_impl* comp) {
    PortableServer::Servant_var<ComponentServant> s = servantOf(comp);
    return s.in() ? RTC::RTObject::_duplicate(s->ref()) : RTC::RTObject::_nil();
}

RTC::ExecutionContextService_ptr Registry::contextRef(ExecutionContextBase* context) {
    if (!context) return RTC::ExecutionContextService::_nil();
    for (auto& s : servants()) {
        ComponentLink::Use use(*s->link());
        if (!use) continue;
        RTC::ExecutionContextService_ptr ref = s->ownedContextRef(context);
        if (!CORBA::is_nil(ref)) return ref;
    }
    return RTC::ExecutionContextService::_nil();
}

}  // namespace remote
}  // namespace RTC
