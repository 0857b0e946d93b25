// The manager object of a process, as it is reachable from outside: activated, named, and
// registered with its master.
#ifndef RTM_REMOTE_MANAGERFACE_H
#define RTM_REMOTE_MANAGERFACE_H

#include <rtm/RTC.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace RTC {

class Manager;

namespace remote {

class ManagerServant;
class Registry;

// The manager object of a process: activated under the object key "manager.name" at every
// endpoint, bound in naming when the manager is the master, and, when it is not, registered with
// the master at "corba.master_manager" by a thread that retries while no master answers.
class ManagerFace {
public:
    ManagerFace(RTC::Manager& manager, Registry& registry);
    ~ManagerFace();
    ManagerFace(const ManagerFace&) = delete;
    ManagerFace& operator=(const ManagerFace&) = delete;

    // Tells the masters and slaves that this manager goes, unbinds its names and stops the
    // registration thread. Runs once; the object stays active until destruction.
    void shutdown();
    // Ends the registration thread, waiting for a call in progress. Any thread but that one.
    void stopRegistration();

private:
    // Registers with the master at `address` now and, when `retry`, every `period` while no
    // master answers.
    void registerWithMaster(const std::string& address, bool retry,
                            std::chrono::milliseconds period);

    RTC::Manager& m_manager;
    Registry& m_registry;
    ManagerServant* m_servant = nullptr;
    PortableServer::POA_var m_poa;
    PortableServer::ObjectId_var m_id;

    // Guards m_stop; m_wake ends the registration thread's waits.
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    bool m_shutDown = false;
    // Guards joining m_registrar, which shutdown and the end of the process may both try.
    std::mutex m_joinMutex;
    std::thread m_registrar;
};

}  // namespace remote
}  // namespace RTC

#endif
