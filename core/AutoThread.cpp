// The worker-thread base: start, cooperative stop with its time-out, and abandoning a thread
// that did not stop.
#include "core/AutoThread.h"

#include "core/Log.h"
#include "platform/Time.h"

namespace {
std::atomic<uint32_t> g_nextThreadId{1};
thread_local std::shared_ptr<void> t_threadArg;
// The handle of the CAutoThread body running on this thread; kept alive by ThreadProc.
thread_local void* t_handle = nullptr;
}  // namespace

std::shared_ptr<void> CAutoThread::ThreadArg() {
    return t_threadArg;
}

bool CAutoThread::StopRequested() {
    auto* handle = static_cast<ThreadHandle*>(t_handle);
    return handle != nullptr && handle->stop.load();
}

bool CAutoThread::WaitStop(uint32_t ms) {
    auto* handle = static_cast<ThreadHandle*>(t_handle);
    if (handle == nullptr) {
        plat::Sleep(ms);
        return false;
    }
    std::unique_lock<std::mutex> lock(handle->mtx);
    auto stopped = [&] { return handle->stop.load(); };
    if (ms == plat::INFINITE_WAIT) {
        handle->cv.wait(lock, stopped);
        return true;
    }
    return handle->cv.wait_for(lock, plat::ToReal(ms), stopped);
}

void CAutoThread::RequestStop() {
    std::shared_ptr<ThreadHandle> handle;
    {
        std::lock_guard<std::mutex> lock(m_threadMtx);
        handle = m_hThread;
    }
    if (!handle) return;
    {
        std::lock_guard<std::mutex> lock(handle->mtx);
        handle->stop.store(true);
    }
    handle->cv.notify_all();
}

CAutoThread::~CAutoThread() {
    StopThread();
}

void CAutoThread::ThreadProc(CAutoThread* self, std::shared_ptr<ThreadHandle> handle) {
    {
        std::lock_guard<std::mutex> lock(handle->mtx);
        t_threadArg = handle->arg;
    }
    t_handle = handle.get();
    uint32_t code = self->Run();
    t_handle = nullptr;
    t_threadArg.reset();
    std::lock_guard<std::mutex> lock(handle->mtx);
    handle->exitCode = code;
    handle->done = true;
    // An abandoned thread no longer owns its object: leave it alone.
    if (!handle->abandoned) self->m_dwExitCode.store(code);
    handle->cv.notify_all();
}

bool CAutoThread::IsRunning() const {
    std::lock_guard<std::mutex> lock(m_threadMtx);
    return m_hThread != nullptr;
}

bool CAutoThread::IsCurrentThread() const {
    std::lock_guard<std::mutex> lock(m_threadMtx);
    return m_hThread != nullptr && m_hThread->id == std::this_thread::get_id();
}

bool CAutoThread::EndThread(bool wait) {
    std::shared_ptr<ThreadHandle> handle;
    {
        std::lock_guard<std::mutex> lock(m_threadMtx);
        handle = std::move(m_hThread);
        m_hThread.reset();
    }
    if (!handle) return true;
    {
        std::lock_guard<std::mutex> lock(handle->mtx);
        handle->stop.store(true);
    }
    handle->cv.notify_all();

    if (handle->id == std::this_thread::get_id()) {
        // Asked from the thread itself: it cannot join itself. It returns once Run sees m_bStop.
        std::lock_guard<std::mutex> lock(handle->mtx);
        handle->abandoned = true;
        handle->thread.detach();
        return true;
    }
    auto keep = [&] {
        std::lock_guard<std::mutex> lock(m_threadMtx);
        // Those that have ended since need no keeping.
        std::erase_if(m_abandoned, [](const std::shared_ptr<ThreadHandle>& h) {
            std::lock_guard<std::mutex> hl(h->mtx);
            return h->done;
        });
        m_abandoned.push_back(handle);
    };

    bool ended = false;
    {
        std::unique_lock<std::mutex> lock(handle->mtx);
        if (wait) {
            if (m_dwStopTimeout == plat::INFINITE_WAIT) {
                handle->cv.wait(lock, [&] { return handle->done; });
            } else {
                handle->cv.wait_for(lock, plat::ToReal(m_dwStopTimeout),
                                    [&] { return handle->done; });
            }
        }
        ended = handle->done;
        if (!ended) handle->abandoned = true;
    }
    if (ended) {
        handle->thread.join();
        m_dwExitCode.store(handle->exitCode);
    } else {
        // Only a thread that was waited for has overrun its time: one given up at once
        // (AbandonThread) is meant to finish on its own.
        if (wait)
            WriteLog("[CAutoThread] thread 0x%x did not stop within %u ms, abandoned\r\n",
                     handle->threadNo, m_dwStopTimeout);
        handle->thread.detach();
        keep();
        m_dwExitCode.store(0xFFFFFFFFu);
        m_bStop.store(1);
    }
    return ended;
}

int CAutoThread::StartThread(std::shared_ptr<void> arg) {
    auto handle = std::make_shared<ThreadHandle>();
    handle->arg = std::move(arg);
    for (;;) {
        m_bStop.store(1);
        EndThread(true);
        m_bStop.store(0);
        std::lock_guard<std::mutex> lock(m_threadMtx);
        // Another caller started a thread meanwhile: end that one first, never drop its handle
        // (a dropped joinable thread terminates the process).
        if (m_hThread) continue;
        try {
            m_dwThreadId = g_nextThreadId.fetch_add(1);
            handle->threadNo = m_dwThreadId;
            // The handle's id and arg are set before the thread can look at them.
            std::lock_guard<std::mutex> hl(handle->mtx);
            handle->thread = std::thread(&CAutoThread::ThreadProc, this, handle);
            handle->id = handle->thread.get_id();
            m_hThread = handle;
        } catch (...) {
            m_bStop.store(1);
            return 0;
        }
        return 1;
    }
}

int CAutoThread::StopThread() {
    m_bStop.store(1);
    EndThread(true);
    return 1;
}

void CAutoThread::AbandonThread() {
    m_bStop.store(1);
    EndThread(false);
}

bool CAutoThread::WaitAbandoned(uint32_t ms) {
    std::vector<std::shared_ptr<ThreadHandle>> list;
    {
        std::lock_guard<std::mutex> lock(m_threadMtx);
        list = m_abandoned;
    }
    auto deadline = std::chrono::steady_clock::now() + plat::ToReal(ms);
    bool all = true;
    for (auto& h : list) {
        std::unique_lock<std::mutex> lock(h->mtx);
        if (!h->cv.wait_until(lock, deadline, [&] { return h->done; })) all = false;
    }
    if (all) {
        std::lock_guard<std::mutex> lock(m_threadMtx);
        m_abandoned.clear();
    }
    return all;
}
