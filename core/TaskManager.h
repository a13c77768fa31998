// The command task manager: a queue of command records sent strictly one at a time. The record at
// the front is sent once and stays there until its answer arrives (FinishTask with its command
// code); one whose try count has reached its retry limit leaves right after its send.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>

#include "core/AutoThread.h"
#include "core/ISPPacket.h"
#include "core/Log.h"
#include "platform/Event.h"
#include "platform/Time.h"

template <class D>
class Singleton {
public:
    explicit Singleton(D* self) : m_pPrevInstance(ms_pInstance.load()) { ms_pInstance.store(self); }
    virtual ~Singleton() {
        // Scoped instances (tests) hand the access point back to the one they replaced.
        ms_pInstance.store(m_pPrevInstance);
    }
    static D* GetInstance() { return ms_pInstance.load(); }

private:
    static inline std::atomic<D*> ms_pInstance{nullptr};
    D* m_pPrevInstance;
};

// Start, Stop and Restart take turns under one control lock: the reader thread, AddTask's
// hung-send check and the UI thread all call them. What a worker uses once it runs (the queue,
// its lock and its wake event) is shared with it, so that a worker given up during a hung send
// never touches the manager again. A class deriving from it must call Stop in its own destructor:
// the worker calls ExecuteTask, which is gone once the derived part is.
template <class T, class D>
class CTaskManager : private CAutoThread, private CMuTexObject, public Singleton<D> {
public:
    explicit CTaskManager(D* self) : Singleton<D>(self), m_pQueue(std::make_shared<CQueue>()) {
        m_pQueue->pWakeEvent = std::make_shared<plat::CEvent>();
    }

    ~CTaskManager() override {
        Stop();
        // Workers given up by a Restart share all they still use; nothing to wait for.
        auto lock = Lock();
        m_pQueue->pWakeEvent.reset();
    }

    virtual int AddTask(T& task) {
        std::shared_ptr<plat::CEvent> wake;
        {
            auto lock = Lock();
            CQueue& q = *m_pQueue;
            q.lstTask.push_back(Entry{task, false});
            if (q.lstTask.size() == 1) wake = q.pWakeEvent;
        }
        // Signalled after the unlock: a worker woken under our lock would only block on it.
        if (wake) wake->Set();
        return 1;
    }

    virtual int ClearTask() {
        auto lock = Lock();
        m_pQueue->lstTask.clear();
        return 1;
    }

    virtual void FinishTask(uint8_t code) {
        std::shared_ptr<plat::CEvent> wake;
        {
            auto lock = Lock();
            CQueue& q = *m_pQueue;
            if (!q.lstTask.empty()) {
                uint8_t front = q.lstTask.front().task.GetCode();
                WriteLog("[CMD  %X  %X\r\n", front, code);
                if (front == code) {
                    q.lstTask.pop_front();
                    if (!q.lstTask.empty()) wake = q.pWakeEvent;
                }
            }
        }
        // The next frame's send starts here: wake the worker with the lock already free.
        if (wake) wake->Set();
    }

    virtual int Restart() {
        std::lock_guard<std::recursive_mutex> control(m_ctrlMtx);
        std::shared_ptr<plat::CEvent> old, fresh;
        bool busy = false;
        {
            auto lock = Lock();
            CQueue& q = *m_pQueue;
            old = q.pWakeEvent;
            busy = q.bBusy != 0;
            q.lstTask.clear();
            q.bBusy = 0;
            // A fresh event marks a new generation: the old worker sees it is no longer wanted.
            q.pWakeEvent = std::make_shared<plat::CEvent>();
            fresh = q.pWakeEvent;
        }
        if (old) old->Set();
        if (IsRunning()) {
            // A worker waiting for work ends at once. One inside a send (a hung one is why we are
            // here) is left to finish it; it shares all it still uses.
            if (busy)
                AbandonThread();
            else
                StopThread();
        }
        StartThread(fresh);
        WriteLog("[CTaskManager]Thread:0x%x\r\n", m_dwThreadId);
        return 1;
    }

    virtual int Start() {
        std::lock_guard<std::recursive_mutex> control(m_ctrlMtx);
        Stop();
        std::shared_ptr<plat::CEvent> fresh;
        {
            auto lock = Lock();
            m_pQueue->pWakeEvent = std::make_shared<plat::CEvent>();
            fresh = m_pQueue->pWakeEvent;
        }
        StartThread(fresh);
        WriteLog("[CTaskManager]Thread:0x%x\r\n", m_dwThreadId);
        return 1;
    }

    virtual int Stop() {
        std::lock_guard<std::recursive_mutex> control(m_ctrlMtx);
        m_bStop.store(1);
        std::shared_ptr<plat::CEvent> ev;
        {
            auto lock = Lock();
            ev = std::move(m_pQueue->pWakeEvent);
            m_pQueue->pWakeEvent.reset();
        }
        // Without its event the woken worker runs no further pass and leaves.
        if (ev) ev->Set();
        StopThread();
        auto lock = Lock();
        m_pQueue->lstTask.clear();
        m_pQueue->bBusy = 0;
        return 1;
    }

    virtual int ExecuteTask(T& task) = 0;

    // True when the front record carries this code and has gone to the sender: an answer naming
    // it is the one awaited.
    bool IsInFlight(uint8_t code) {
        auto lock = Lock();
        const auto& q = m_pQueue->lstTask;
        return !q.empty() && q.front().bSent && q.front().task.GetCode() == code;
    }

    // Inspection for the page, tests and benchmarks.
    size_t GetQueueSize() {
        auto lock = Lock();
        return m_pQueue->lstTask.size();
    }
    bool IsWorkerRunning() const { return IsRunning(); }

protected:
    struct Entry {
        T task;
        // Handed to ExecuteTask already. Every wake-up is meant for a new front record; a late
        // one (an AddTask whose record a ClearTask dropped before its signal went out) must not
        // send the current front a second time: a raw data frame would be written twice.
        bool bSent = false;
    };
    // Guarded by the CMuTexObject mutex, whose handle the workers share too.
    struct CQueue {
        std::list<Entry> lstTask;
        // The current worker's wake event; null while stopped.
        std::shared_ptr<plat::CEvent> pWakeEvent;
        int32_t bBusy = 0;
        uint32_t dwBusySince = 0;
    };
    // What one worker runs on, fixed when it is started.
    struct CWorker {
        std::shared_ptr<std::recursive_mutex> mtx;
        std::shared_ptr<CQueue> queue;
        std::shared_ptr<plat::CEvent> ev;
    };

    int StartThread(std::shared_ptr<plat::CEvent> ev) {
        auto worker = std::make_shared<CWorker>(CWorker{m_hMutex, m_pQueue, std::move(ev)});
        return CAutoThread::StartThread(worker);
    }

    // The worker touches the manager only to call ExecuteTask, and only while it is the current
    // worker: Stop and Restart replace its event under the lock before they let it go.
    uint32_t Run() override {
        auto worker = std::static_pointer_cast<CWorker>(ThreadArg());
        if (!worker || !worker->ev) return 0;
        std::recursive_mutex& mtx = *worker->mtx;
        CQueue& q = *worker->queue;
        const std::shared_ptr<plat::CEvent> ev = worker->ev;
        for (;;) {
            ev->Wait(plat::INFINITE_WAIT);
            std::unique_ptr<T> copy;
            bool drop = false;
            size_t queued = 0;
            const uint32_t now = plat::GetTickCount();
            std::unique_lock<std::recursive_mutex> lock(mtx);
            // A stop or restart must not send the record in flight again: raw data frames carry no
            // sequence number, so a second copy would be written twice on the device.
            if (q.pWakeEvent != ev) return 0;
            if (!q.lstTask.empty() && !q.lstTask.front().bSent) {
                Entry& front = q.lstTask.front();
                front.bSent = true;
                copy = std::make_unique<T>(front.task);
                // A record without retries left (none, for a zero limit) is not kept for an answer.
                drop = front.task.m_nTryCount >= front.task.m_nMaxRetry;
                q.dwBusySince = now;
                q.bBusy = 1;
                queued = q.lstTask.size();
            }
            lock.unlock();

            if (copy) {
                if (g_bLogEnable.load(std::memory_order_relaxed) != 0)
                    WriteLog("[TaskManager] thread run :%d size=%d\r\n",
                             static_cast<int>(plat::GetTickCount()), static_cast<int>(queued));
                ExecuteTask(*copy);
                copy.reset();
            }

            lock.lock();
            // Given up by Restart or Stop while sending: the queue belongs to a new worker.
            if (q.pWakeEvent != ev) return 0;
            // Only this worker marks records sent, so a sent front is still the one just sent; an
            // answer or a ClearTask during the send may have taken it already. The record behind it
            // is not woken here.
            if (drop && !q.lstTask.empty() && q.lstTask.front().bSent) q.lstTask.pop_front();
            q.bBusy = 0;
        }
    }

    // Elapsed ms of the send in progress, 0 when idle.
    uint32_t BusyElapsed() {
        auto lock = Lock();
        if (m_pQueue->bBusy != 1) return 0;
        // Unsigned difference: right across the wrap of the tick count.
        return plat::GetTickCount() - m_pQueue->dwBusySince;
    }

    using CAutoThread::m_bStop;
    using CAutoThread::m_dwStopTimeout;
    using CAutoThread::m_dwThreadId;
    using CMuTexObject::Lock;

    const std::shared_ptr<CQueue> m_pQueue;
    // Start, Stop and Restart take turns; re-entrant because Start stops first.
    std::recursive_mutex m_ctrlMtx;
};

// Where the command task manager hands its frames: the protocol controller.
class CFrameSender {
public:
    virtual ~CFrameSender() = default;
    virtual int send_data(const uint8_t* frame, int32_t len) = 0;
    // A send hung and was given up with every record queued behind it: the frames after it must
    // not reach the device with a gap before them.
    virtual void OnSendGivenUp(uint32_t /*elapsedMs*/) {}
};

class CCmdTaskManager : public CTaskManager<CISPPacket, CCmdTaskManager> {
public:
    explicit CCmdTaskManager(CFrameSender* ctrl) : CTaskManager(this), m_pISPCtrl(ctrl) {}
    // The worker calls ExecuteTask: it stops before this part goes. A class deriving from this one
    // must not override ExecuteTask without stopping in its own destructor too.
    ~CCmdTaskManager() override { Stop(); }

    // Restarts a worker whose send has hung for more than 2000 ms before queueing.
    int AddTask(CISPPacket& task) override;
    int ExecuteTask(CISPPacket& task) override;

    CFrameSender* const m_pISPCtrl;
};
