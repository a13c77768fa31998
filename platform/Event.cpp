// The auto-reset (or manual-reset) event on a mutex and a condition variable; standard C++, for
// every platform.
#include "platform/Event.h"

namespace plat {

void CEvent::Set() {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_bSignalled = true;
    }
    if (m_bManual)
        m_cv.notify_all();
    else
        m_cv.notify_one();
}

void CEvent::Reset() {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_bSignalled = false;
}

bool CEvent::Wait(uint32_t ms) {
    std::unique_lock<std::mutex> lock(m_mtx);
    if (ms == INFINITE_WAIT) {
        m_cv.wait(lock, [this] { return m_bSignalled; });
    } else if (!m_cv.wait_for(lock, ToReal(ms), [this] { return m_bSignalled; })) {
        return false;
    }
    if (!m_bManual) m_bSignalled = false;
    return true;
}

}  // namespace plat
