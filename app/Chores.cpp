// The page's chore thread: posted calls, run one after the other.
#include "app/Chores.h"

#include "platform/Time.h"

CChoreThread::CChoreThread() : m_pQueue(std::make_shared<CQueue>()) {
    // Every chore is bounded (each stop it makes has its own time-out), and they all touch the
    // page: this thread is waited for, never given up.
    m_dwStopTimeout = plat::INFINITE_WAIT;
}

CChoreThread::~CChoreThread() {
    {
        std::lock_guard<std::mutex> lock(m_pQueue->mtx);
        m_pQueue->quit = true;
    }
    m_pQueue->cv.notify_all();
    StopThread();
    // Posted after the thread had ended, or when it could not start.
    Drain();
}

void CChoreThread::Post(std::function<void()> fn) {
    {
        std::lock_guard<std::mutex> lock(m_pQueue->mtx);
        m_pQueue->calls.push_back(std::move(fn));
    }
    m_pQueue->cv.notify_all();
    std::lock_guard<std::mutex> lock(m_startMtx);
    if (!IsRunning() && !m_pQueue->quit) StartThread(m_pQueue);
}

void CChoreThread::Drain() {
    if (IsCurrentThread()) return;
    std::unique_lock<std::mutex> lock(m_pQueue->mtx);
    if (!IsRunning()) {
        // No thread: run them here.
        while (!m_pQueue->calls.empty()) {
            auto fn = std::move(m_pQueue->calls.front());
            m_pQueue->calls.pop_front();
            lock.unlock();
            fn();
            lock.lock();
        }
        return;
    }
    m_pQueue->cv.wait(lock, [&] { return m_pQueue->calls.empty() && !m_pQueue->busy; });
}

uint32_t CChoreThread::Run() {
    auto q = std::static_pointer_cast<CQueue>(ThreadArg());
    if (!q) return 0;
    std::unique_lock<std::mutex> lock(q->mtx);
    for (;;) {
        q->cv.wait(lock, [&] { return !q->calls.empty() || q->quit; });
        if (q->calls.empty()) return 0;
        auto fn = std::move(q->calls.front());
        q->calls.pop_front();
        q->busy = true;
        lock.unlock();
        fn();
        lock.lock();
        q->busy = false;
        q->cv.notify_all();
    }
}
