// How the CORBA face reaches a component that the manager may dispose of at any moment.
#ifndef RTM_REMOTE_COMPONENTLINK_H
#define RTM_REMOTE_COMPONENTLINK_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace RTC {

class RTObject_impl;

namespace remote {

// Shared by every servant of one component. Each incoming call holds a Use while it touches the
// component, its ports or its contexts; disposal closes the link, waiting for the calls in
// progress, and later calls find the component gone. Operations that delete parts of the
// component (exit() deletes its execution contexts) run alone, with no call using it.
class ComponentLink {
public:
    explicit ComponentLink(RTObject_impl* comp) : m_comp(comp) {}
    ComponentLink(const ComponentLink&) = delete;
    ComponentLink& operator=(const ComponentLink&) = delete;

    class Use {
    public:
        explicit Use(ComponentLink& link);
        ~Use();
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;

        // Null when the component is gone, or could not be reached in time.
        RTObject_impl* get() const { return m_comp; }
        RTObject_impl* operator->() const { return m_comp; }
        explicit operator bool() const { return m_comp != nullptr; }

    private:
        ComponentLink& m_link;
        RTObject_impl* m_comp = nullptr;
    };

    // Runs `f` once no call uses the component; calls arriving meanwhile wait (a few seconds at
    // most, then fail), except nested ones from the thread running `f`. When `f` returns true the
    // link closes. False, and `f` not run, when the link was closed already. The caller must not
    // hold a Use.
    bool runAlone(const std::function<bool()>& f);
    // Waits for the calls in progress; none uses the component afterwards.
    void close();

private:
    // How long a call waits for an operation running alone.
    static constexpr std::chrono::seconds kEntryWait{5};

    // Guards the members below; m_changed signals their changes.
    std::mutex m_mutex;
    std::condition_variable m_changed;
    RTObject_impl* const m_comp;
    unsigned m_inUse = 0;
    bool m_alone = false;
    std::thread::id m_aloneThread;
    bool m_closed = false;
};

}  // namespace remote
}  // namespace RTC

#endif
