// A thread that runs posted calls in order: the page hands it the steps that wait on other
// threads or on the port (stopping the sender, closing the port, restarting the search), so that
// the UI thread only updates the view.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "core/AutoThread.h"

class CChoreThread : private CAutoThread {
public:
    CChoreThread();
    // Runs what is still queued, then ends the thread.
    ~CChoreThread() override;

    // Queues fn; the thread starts with the first call.
    void Post(std::function<void()> fn);
    // Blocks until everything posted so far has run (tests and the end of the page).
    void Drain();

private:
    struct CQueue {
        std::mutex mtx;
        std::condition_variable cv;
        std::deque<std::function<void()>> calls;
        bool quit = false;
        bool busy = false;
    };
    uint32_t Run() override;

    const std::shared_ptr<CQueue> m_pQueue;
    std::mutex m_startMtx;
};
