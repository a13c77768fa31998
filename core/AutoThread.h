// Worker-thread base and mutex-owning base.
//
// Threads cannot be killed safely on POSIX, so a stop is cooperative: each thread has a stop
// request of its own (StopRequested, WaitStop), set by the stop that ends it and never cleared, so
// a successor started meanwhile cannot revive it; everything it waits on is woken by whoever asks
// it to stop. A thread that has not ended within m_dwStopTimeout is reported and abandoned
// (detached); such a body must only touch state it co-owns, never the object that abandoned it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class CAutoThread {
public:
    CAutoThread() = default;
    virtual ~CAutoThread();
    CAutoThread(const CAutoThread&) = delete;
    CAutoThread& operator=(const CAutoThread&) = delete;

    virtual uint32_t Run() = 0;

    // Ends any earlier thread of this object, then starts a new one. 1 when a thread runs. arg is
    // handed to the new thread's body (ThreadArg): what it needs of its own, fixed at its start.
    int StartThread(std::shared_ptr<void> arg = nullptr);
    // Asks the thread to stop and waits up to m_dwStopTimeout; abandons it after that. Returns 1.
    // Called from the thread itself it only sets the stop request and lets the body return.
    int StopThread();
    // Gives the running thread up at once without waiting (the body must notice by itself that it
    // is no longer wanted).
    void AbandonThread();

    // Inside a body: the arg its StartThread was given.
    static std::shared_ptr<void> ThreadArg();
    // Inside a body: whether this thread was asked to stop. False on a thread of no CAutoThread.
    static bool StopRequested();
    // Inside a body: waits up to ms of program time; true (at once) when this thread is asked to
    // stop meanwhile.
    static bool WaitStop(uint32_t ms);

    bool IsRunning() const;
    bool IsCurrentThread() const;
    // Waits up to ms of program time for threads given up earlier to end; true when none is left.
    bool WaitAbandoned(uint32_t ms);

    std::atomic<int32_t> m_bStop{1};
    uint32_t m_dwThreadId = 0;
    std::atomic<uint32_t> m_dwExitCode{0xFFFFFFFFu};
    uint32_t m_dwStopTimeout = 2000;

protected:
    struct ThreadHandle {
        std::thread thread;
        std::thread::id id;
        std::mutex mtx;
        std::condition_variable cv;
        bool done = false;
        bool abandoned = false;
        std::atomic<bool> stop{false};  // this thread's own stop request
        uint32_t exitCode = 0xFFFFFFFFu;
        uint32_t threadNo = 0;  // m_dwThreadId of this thread, for the log
        std::shared_ptr<void> arg;
    };

    // Ends the current thread (wait, then abandon); true when it ended by itself.
    bool EndThread(bool wait);
    // Sets the running thread's own stop request and wakes its WaitStop.
    void RequestStop();

    std::shared_ptr<ThreadHandle> m_hThread;
    std::vector<std::shared_ptr<ThreadHandle>> m_abandoned;
    mutable std::mutex m_threadMtx;

private:
    static void ThreadProc(CAutoThread* self, std::shared_ptr<ThreadHandle> handle);
};

// Owns one re-entrant mutex (a Windows mutex may be taken again by its owner). The handle may be
// shared with a thread that must be able to outlive the object.
class CMuTexObject {
public:
    CMuTexObject() = default;
    virtual ~CMuTexObject() = default;
    CMuTexObject(const CMuTexObject&) = delete;
    CMuTexObject& operator=(const CMuTexObject&) = delete;

    using Guard = std::lock_guard<std::recursive_mutex>;
    using UniqueGuard = std::unique_lock<std::recursive_mutex>;
    // Taken for a scope only: an exception can never leave it held.
    [[nodiscard]] Guard Lock() const { return Guard(*m_hMutex); }

protected:
    const std::shared_ptr<std::recursive_mutex> m_hMutex = std::make_shared<std::recursive_mutex>();
};
