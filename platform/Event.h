// Auto-reset event with timed waits (the CreateEvent/SetEvent/WaitForSingleObject trio).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/Time.h"

namespace plat {

class CEvent {
public:
    explicit CEvent(bool manualReset = false) : m_bManual(manualReset) {}
    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;

    void Set();
    void Reset();
    // Waits up to ms of program time (INFINITE_WAIT: no limit). True when signalled; an auto-reset
    // event is reset by the wait that takes it.
    bool Wait(uint32_t ms);

private:
    std::mutex m_mtx;
    std::condition_variable m_cv;
    bool m_bSignalled = false;
    bool m_bManual;
};

}  // namespace plat
