#include "DisplayThread.h"

#include <opencv2/highgui.hpp>

#include <QCoreApplication>
#include <QThread>

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <exception>

namespace display {

namespace {

// How long the windows are still serviced after the last one closed, so that its closing
// reaches the display.
constexpr std::chrono::milliseconds kLinger(300);

std::mutex s_instanceMutex;  // guards s_instance
DisplayThread* s_instance = nullptr;  // never deleted: calls may come after the thread ended

void stopAtExit() {
    if (DisplayThread* t = DisplayThread::ifRunning()) t->stop();
}

// exit() destroys the thread-local objects of the thread calling it before any static object, and
// Qt's own static objects have to outlive HighGUI's Qt objects. So when this library is loaded on
// the main thread, the one that normally ends the process, the display thread is ended from such
// an object; otherwise from an exit handler registered once HighGUI's objects exist.
struct EndAtExit {
    ~EndAtExit() { stopAtExit(); }
};

const bool s_endAtExitArranged = [] {
    if (::getpid() != static_cast<pid_t>(::syscall(SYS_gettid))) return false;
    static thread_local EndAtExit s_end;
    (void)s_end;
    return true;
}();

}  // namespace

struct DisplayThread::Task {
    std::function<void()> work;
    bool done = false;
    std::exception_ptr error;
};

DisplayThread& DisplayThread::instance() {
    std::lock_guard<std::mutex> lock(s_instanceMutex);
    if (s_instance == nullptr) s_instance = new DisplayThread();
    return *s_instance;
}

DisplayThread* DisplayThread::ifRunning() {
    std::lock_guard<std::mutex> lock(s_instanceMutex);
    if (s_instance == nullptr) return nullptr;
    std::lock_guard<std::mutex> stateLock(s_instance->m_mutex);
    return s_instance->m_stopping ? nullptr : s_instance;
}

DisplayThread::DisplayThread() : m_thread([this] { loop(); }) {}

bool DisplayThread::run(std::function<void()> work, std::chrono::milliseconds limit) {
    std::shared_ptr<Task> task = std::make_shared<Task>();
    task->work = std::move(work);
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_stopping) return false;
    m_tasks.push_back(task);
    m_changed.notify_all();
    if (!m_changed.wait_for(lock, limit, [&] { return task->done || m_ended; })) return false;
    if (!task->done) return false;
    if (task->error) std::rethrow_exception(task->error);
    return true;
}

void DisplayThread::post(std::function<void()> work) {
    std::shared_ptr<Task> task = std::make_shared<Task>();
    task->work = std::move(work);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stopping) return;
    m_tasks.push_back(task);
    m_changed.notify_all();
}

int DisplayThread::waitKey(int delayMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    // Nothing to wait for when no window is serviced.
    const auto idle = [this] {
        return m_ended || (m_openWindows == 0 && std::chrono::steady_clock::now() >= m_lingerUntil);
    };
    if (delayMs > 0 && !idle()) {
        const unsigned long long target = m_passesStarted + 1;
        m_changed.wait_for(lock, std::chrono::milliseconds(delayMs), [&] {
            return m_passesDone >= target || m_key != -1 || idle();
        });
    }
    const int key = m_key;
    m_key = -1;
    return key;
}

void DisplayThread::setOpenWindows(std::size_t count) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (count < m_openWindows) m_lingerUntil = std::chrono::steady_clock::now() + kLinger;
    m_openWindows = count;
}

void DisplayThread::stop() noexcept {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (std::this_thread::get_id() == m_thread.get_id()) return;
    m_stopping = true;
    m_changed.notify_all();
    // A display thread stuck in HighGUI (a display that stopped answering) is left behind rather
    // than holding up the process's exit.
    const bool ended = m_changed.wait_for(lock, std::chrono::seconds(5), [this] { return m_ended; });
    lock.unlock();
    if (!m_thread.joinable()) return;
    if (ended)
        m_thread.join();
    else
        m_thread.detach();
}

void DisplayThread::loop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        while (!m_tasks.empty()) {
            std::shared_ptr<Task> task = m_tasks.front();
            m_tasks.pop_front();
            lock.unlock();
            try {
                task->work();
            } catch (...) {
                task->error = std::current_exception();
            }
            const bool hook = QCoreApplication::instance() != nullptr;
            lock.lock();
            task->done = true;
            m_changed.notify_all();
            // HighGUI's Qt objects now exist; they have to go on this thread before the
            // process's static objects do, so the hook comes after everything Qt registered.
            if (hook && !m_exitHookSet) {
                m_exitHookSet = true;
                std::atexit(stopAtExit);
            }
        }
        if (m_stopping) break;
        const bool service =
            m_openWindows > 0 || std::chrono::steady_clock::now() < m_lingerUntil;
        if (!service) {
            m_changed.wait(lock, [this] {
                return !m_tasks.empty() || m_stopping || m_openWindows > 0;
            });
            continue;
        }
        ++m_passesStarted;
        lock.unlock();
        // HighGUI's own event servicing: about a millisecond of Qt's events (paints, exposes,
        // resizes, the tool bar, keys), after which handed-over calls are taken up again.
        int key = -1;
        try {
            key = cv::waitKey(1);
        } catch (...) {
            // Nothing to service once HighGUI's last window is gone.
        }
        lock.lock();
        ++m_passesDone;
        if (key != -1) m_key = key;
        m_changed.notify_all();
    }
    lock.unlock();
    tearDown();
    lock.lock();
    m_ended = true;
    m_tasks.clear();
    m_changed.notify_all();
}

// HighGUI's Qt objects (the application object and its timers, the connection to the display and
// Qt's thread reading it) belong to this thread and have to go on it: destroyed from another
// thread, Qt refuses with warnings about timers.
void DisplayThread::tearDown() noexcept {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr || app->thread() != QThread::currentThread()) return;
    try {
        cv::destroyAllWindows();
    } catch (...) {
        // HighGUI refuses when its last window is already gone.
    }
    QCoreApplication::sendPostedEvents();
    delete app;
}

}  // namespace display
