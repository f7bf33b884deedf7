// The helper thread of later(): started with the first work handed to it, it takes the work
// in order and ends with the program, once all of it is done.

#include "workbook/aftercare.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace workbook {

namespace {

void runDroppingErrors(std::function<void()>& work) {
    try {
        work();
    } catch (...) {
    }
    work = nullptr; // what the work holds goes here too, not on the thread that handed it over
}

class Aftercare {
public:
    ~Aftercare() {
        folderSynced();
        {
            const std::lock_guard<std::mutex> lock(m_lock);
            m_ending = true;
        }
        m_wake.notify_all();
        if (m_thread.joinable())
            m_thread.join();
    }

    void later(std::function<void()> work) {
        std::unique_lock<std::mutex> lock(m_lock);
        if (!m_thread.joinable()) {
            try {
                m_thread = std::thread([this] { run(); });
            } catch (const std::system_error&) {
                lock.unlock();
                runDroppingErrors(work);
                return;
            }
        }
        m_queue.push_back(std::move(work));
        m_wake.notify_all();
    }

    void afterFolderSync(std::function<void()> work) {
        const std::lock_guard<std::mutex> lock(m_lock);
        m_keptBack.push_back(std::move(work));
    }

    void folderSynced() {
        std::vector<std::function<void()>> kept;
        {
            const std::lock_guard<std::mutex> lock(m_lock);
            kept.swap(m_keptBack);
        }
        for (std::function<void()>& work : kept)
            later(std::move(work));
    }

    void settle() {
        folderSynced();
        std::unique_lock<std::mutex> lock(m_lock);
        m_idle.wait(lock, [this] { return m_queue.empty() && !m_busy; });
    }

private:
    void run() {
        std::unique_lock<std::mutex> lock(m_lock);
        for (;;) {
            m_wake.wait(lock, [this] { return m_ending || !m_queue.empty(); });
            if (m_queue.empty())
                return;
            std::function<void()> work = std::move(m_queue.front());
            m_queue.pop_front();
            m_busy = true;
            lock.unlock();
            runDroppingErrors(work);
            lock.lock();
            m_busy = false;
            if (m_queue.empty())
                m_idle.notify_all();
        }
    }

    std::mutex m_lock;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<std::function<void()>> m_queue;
    std::vector<std::function<void()>> m_keptBack;
    bool m_busy = false;
    bool m_ending = false;
    std::thread m_thread;
};

Aftercare& aftercare() {
    static Aftercare instance;
    return instance;
}

} // namespace

void later(std::function<void()> work) {
    aftercare().later(std::move(work));
}

void afterFolderSync(std::function<void()> work) {
    aftercare().afterFolderSync(std::move(work));
}

void folderSynced() {
    aftercare().folderSynced();
}

void settle() {
    aftercare().settle();
}

} // namespace workbook
