// The one thread of the process that calls HighGUI. HighGUI on Qt binds itself to the first
// thread that uses it, for the life of the process, and services its windows only while that
// thread processes events; so every window call of every viewer is handed to this thread, which
// also services the windows between calls, whatever the viewers' threads are doing.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace display {

class DisplayThread {
public:
    // The process's display thread, started on the first call; it ends when the process exits.
    static DisplayThread& instance();
    // The display thread when it has been started and has not ended, else null; starts nothing.
    static DisplayThread* ifRunning();

    DisplayThread(const DisplayThread&) = delete;
    DisplayThread& operator=(const DisplayThread&) = delete;

    // Runs `task` on the display thread after the tasks handed over before it, and returns when it
    // is done, rethrowing what it threw. Returns false when it was not done within `limit`, or the
    // thread has ended; the task then runs later or never, so it must own what it uses.
    bool run(std::function<void()> task, std::chrono::milliseconds limit);
    // Runs `task` on the display thread after the tasks handed over before it, without waiting
    // for it; dropped when the thread has ended, or if it throws.
    void post(std::function<void()> task);

    // Up to `delayMs` ms for a key pressed in any window of the process, returning early once the
    // display thread has serviced the windows after this call (what was shown before it is then
    // painted). Returns the key pressed since the previous call, or -1.
    int waitKey(int delayMs);

    // On the display thread, from tasks: how many windows are open. The windows are serviced
    // while any is open, and for a moment after the last one closed.
    void setOpenWindows(std::size_t count);

    // Ends the thread: its windows are closed and HighGUI's Qt objects destroyed on it. Waits for
    // that a few seconds at most. Any thread but the display thread; idempotent.
    void stop() noexcept;

private:
    struct Task;
    DisplayThread();
    ~DisplayThread() = default;
    void loop();
    void tearDown() noexcept;

    std::mutex m_mutex;  // guards every member below but m_thread
    std::condition_variable m_changed;
    std::deque<std::shared_ptr<Task>> m_tasks;
    bool m_stopping = false;
    bool m_ended = false;
    bool m_exitHookSet = false;
    std::size_t m_openWindows = 0;
    std::chrono::steady_clock::time_point m_lingerUntil;
    unsigned long long m_passesStarted = 0;  // service passes over the windows' events
    unsigned long long m_passesDone = 0;
    int m_key = -1;  // pressed and not yet returned by waitKey()
    std::thread m_thread;
};

}  // namespace display
