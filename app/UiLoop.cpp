// Our UI loop: posted calls and periodic window timers, run on the thread that runs the loop.
#include "app/UiLoop.h"

#include "platform/Time.h"

void CUiLoop::Post(std::function<void()> fn) {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_posted.push_back(std::move(fn));
    }
    m_cv.notify_all();
}

void CUiLoop::SetTimer(uint32_t id, uint32_t ms) {
    bool earlier = true;
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        auto period = plat::ToReal(ms == 0 ? 1 : ms);
        Timer next{period, Clock::now() + period};
        auto it = m_timers.find(id);
        // Restarting a running timer only moves it later: the loop finds that out when it wakes
        // for the old time, so it need not be woken for every frame sent.
        if (it != m_timers.end()) earlier = next.due < it->second.due;
        m_timers[id] = next;
    }
    if (earlier) m_cv.notify_all();
}

void CUiLoop::KillTimer(uint32_t id) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_timers.erase(id);
}

bool CUiLoop::IsTimerSet(uint32_t id) const {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_timers.count(id) != 0;
}

void CUiLoop::SetTimerHandler(std::function<void(uint32_t)> fn) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_onTimer = std::move(fn);
}

bool CUiLoop::IsLoopThread() const {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_loopThread == std::this_thread::get_id();
}

bool CUiLoop::RunOne(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(m_mtx);
    m_loopThread = std::this_thread::get_id();
    for (;;) {
        if (!m_posted.empty()) {
            auto fn = std::move(m_posted.front());
            m_posted.pop_front();
            lock.unlock();
            fn();
            return true;
        }
        Clock::time_point now = Clock::now();
        Clock::time_point next = deadline;
        for (auto& [id, t] : m_timers) {
            if (t.due <= now) {
                t.due = now + t.period;
                uint32_t fired = id;
                auto handler = m_onTimer;
                lock.unlock();
                if (handler) handler(fired);
                return true;
            }
            if (t.due < next) next = t.due;
        }
        if (m_bQuit || now >= deadline) return false;
        m_cv.wait_until(lock, next);
    }
}

int CUiLoop::Run() {
    for (;;) {
        RunOne(Clock::now() + std::chrono::milliseconds(50));
        std::lock_guard<std::mutex> lock(m_mtx);
        if (m_bQuit) {
            m_bQuit = false;
            return m_nExitCode;
        }
    }
}

void CUiLoop::Quit(int code) {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_bQuit = true;
        m_nExitCode = code;
    }
    m_cv.notify_all();
}

bool CUiLoop::RunUntil(const std::function<bool()>& pred, uint32_t ms) {
    Clock::time_point deadline = Clock::now() + plat::ToReal(ms);
    while (!pred()) {
        if (Clock::now() >= deadline) return pred();
        RunOne(std::min(deadline, Clock::now() + std::chrono::milliseconds(5)));
    }
    return true;
}

void CUiLoop::RunPending() {
    while (RunOne(Clock::now())) {
    }
}

CLoopWindow::CLoopWindow(CUiLoop& loop) : CViewState(Delivery::EveryChange), m_loop(loop) {
    m_loop.SetTimerHandler([this](uint32_t id) { OnTick(id); });
}

CLoopWindow::~CLoopWindow() {
    m_loop.SetTimerHandler(nullptr);
    DetachView();
}

void CLoopWindow::ShowBox(const std::string& text, const std::string& caption,
                          std::function<void()> onClosed) {
    OnMessageBox(text, caption);
    if (onClosed) onClosed();
}
