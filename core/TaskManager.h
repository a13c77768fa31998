// The command task manager: a queue of command records sent strictly one at a time. The record at
// the front is sent once per wake-up of the worker and stays there until its answer arrives
// (FinishTask with its command code).
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
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

template <class T, class D>
class CTaskManager : private CAutoThread, private CMuTexObject, public Singleton<D> {
public:
    explicit CTaskManager(D* self)
        : Singleton<D>(self), m_pWakeEvent(std::make_shared<plat::CEvent>()) {}

    ~CTaskManager() override {
        m_bStop.store(1);
        if (auto ev = CurrentEvent()) ev->Set();
        StopThread();
        // A worker given up earlier still returns through this object once its send ends (sends
        // are bounded in time): it must not outlive it.
        WaitAbandoned(10 * m_dwStopTimeout);
        Lock();
        m_lstTask.clear();
        m_pWakeEvent.reset();
        Unlock();
    }

    virtual int AddTask(T& task) {
        if (!Lock()) return 0;
        m_lstTask.push_back(Entry{task, ++m_nSerial});
        std::shared_ptr<plat::CEvent> wake;
        if (m_lstTask.size() == 1) wake = m_pWakeEvent;
        Unlock();
        // Signalled after the unlock: a worker woken under our lock would only block on it.
        if (wake) wake->Set();
        return 1;
    }

    virtual int ClearTask() {
        if (!Lock()) return 0;
        m_lstTask.clear();
        Unlock();
        return 1;
    }

    virtual void FinishTask(uint8_t code) {
        if (!Lock()) return;
        std::shared_ptr<plat::CEvent> wake;
        if (!m_lstTask.empty()) {
            uint8_t front = m_lstTask.front().task.GetCode();
            WriteLog("[CMD  %X  %X\r\n", front, code);
            if (front == code) {
                m_lstTask.pop_front();
                if (!m_lstTask.empty()) wake = m_pWakeEvent;
            }
        }
        Unlock();
        // The next frame's send starts here: wake the worker with the lock already free.
        if (wake) wake->Set();
    }

    virtual int Restart() {
        std::shared_ptr<plat::CEvent> old;
        Lock();
        old = m_pWakeEvent;
        m_lstTask.clear();
        m_bBusy = 0;
        // A fresh event marks a new generation: the old worker sees it is no longer wanted.
        m_pWakeEvent = std::make_shared<plat::CEvent>();
        Unlock();
        if (IsRunning()) {
            AbandonThread();
            if (old) old->Set();
        }
        StartThread();
        WriteLog("[CTaskManager]Thread:0x%x\r\n", m_dwThreadId);
        return 1;
    }

    virtual int Start() {
        Stop();
        Lock();
        m_pWakeEvent = std::make_shared<plat::CEvent>();
        Unlock();
        StartThread();
        WriteLog("[CTaskManager]Thread:0x%x\r\n", m_dwThreadId);
        return 1;
    }

    virtual int Stop() {
        m_bStop.store(1);
        if (auto ev = CurrentEvent()) ev->Set();
        StopThread();
        Lock();
        m_lstTask.clear();
        m_bBusy = 0;
        m_pWakeEvent.reset();
        Unlock();
        return 1;
    }

    virtual int ExecuteTask(T& task, int32_t tryIndex) = 0;

    // Inspection for the page, tests and benchmarks.
    size_t GetQueueSize() {
        Lock();
        size_t n = m_lstTask.size();
        Unlock();
        return n;
    }
    bool IsWorkerRunning() const { return IsRunning(); }

protected:
    struct Entry {
        T task;
        uint64_t serial;
    };

    uint32_t Run() override {
        if (m_bStop.load() != 0) return 0;
        std::shared_ptr<plat::CEvent> ev = CurrentEvent();
        if (!ev) return 0;
        for (;;) {
            ev->Wait(plat::INFINITE_WAIT);
            std::unique_ptr<T> copy;
            int32_t tryIndex = 0;
            uint64_t dropSerial = 0;
            size_t queued = 0;
            const uint32_t now = plat::GetTickCount();
            if (!Lock()) continue;
            // A stop or restart must not send the record in flight again: raw data frames carry no
            // sequence number, so a second copy would be written twice on the device.
            // A worker given up by a restart may have picked up the new worker's event before it
            // looked: it hands the wake-up on to that worker and leaves.
            bool stale = m_pWakeEvent != ev;
            bool foreign = !stale && !IsCurrentThread();
            if (stale || foreign || m_bStop.load() != 0) {
                Unlock();
                if (foreign) ev->Set();
                return 0;
            }
            if (!m_lstTask.empty()) {
                Entry& front = m_lstTask.front();
                copy = std::make_unique<T>(front.task);
                tryIndex = front.task.m_nTryCount;
                if (tryIndex < front.task.m_nMaxRetry)
                    front.task.m_nTryCount++;
                else
                    dropSerial = front.serial;
                m_dwBusySince = now;
                m_bBusy = 1;
                queued = m_lstTask.size();
            }
            Unlock();

            if (copy) {
                if (g_bLogEnable.load(std::memory_order_relaxed) != 0)
                    WriteLog("[TaskManager] thread run :%d size=%d\r\n",
                             static_cast<int>(plat::GetTickCount()), static_cast<int>(queued));
                ExecuteTask(*copy, tryIndex);
                copy.reset();
            }

            Lock();
            if (m_pWakeEvent != ev) {
                // Given up by Restart or Stop while sending: the manager belongs to a new worker.
                Unlock();
                return 0;
            }
            if (dropSerial != 0) {
                for (auto it = m_lstTask.begin(); it != m_lstTask.end(); ++it) {
                    if (it->serial == dropSerial) {
                        m_lstTask.erase(it);
                        break;
                    }
                }
            }
            m_bBusy = 0;
            Unlock();
            if (m_bStop.load() != 0) return 0;
        }
    }

    std::shared_ptr<plat::CEvent> CurrentEvent() {
        Lock();
        auto ev = m_pWakeEvent;
        Unlock();
        return ev;
    }

    // Elapsed ms of the send in progress, 0 when idle.
    uint32_t BusyElapsed() {
        if (!Lock()) return 0;
        uint32_t elapsed = 0;
        if (m_bBusy == 1)
            elapsed = static_cast<uint32_t>(
                std::abs(static_cast<int32_t>(plat::GetTickCount() - m_dwBusySince)));
        Unlock();
        return elapsed;
    }

    using CAutoThread::m_bStop;
    using CAutoThread::m_dwStopTimeout;
    using CAutoThread::m_dwThreadId;
    using CMuTexObject::Lock;
    using CMuTexObject::Unlock;

    std::list<Entry> m_lstTask;
    std::shared_ptr<plat::CEvent> m_pWakeEvent;
    int32_t m_bBusy = 0;
    uint32_t m_dwBusySince = 0;
    uint64_t m_nSerial = 0;
};

// Where the command task manager hands its frames: the protocol controller.
class CFrameSender {
public:
    virtual ~CFrameSender() = default;
    virtual int send_data(const uint8_t* frame, int32_t len) = 0;
};

class CCmdTaskManager : public CTaskManager<CISPPacket, CCmdTaskManager> {
public:
    explicit CCmdTaskManager(CFrameSender* ctrl) : CTaskManager(this), m_pISPCtrl(ctrl) {}

    // Restarts a worker whose send has hung for more than 2000 ms before queueing.
    int AddTask(CISPPacket& task) override;
    int ExecuteTask(CISPPacket& task, int32_t tryIndex) override;

    CFrameSender* const m_pISPCtrl;
};
