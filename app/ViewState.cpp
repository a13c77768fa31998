// What every face of the page shows: control state under a lock, refreshes, window timers, boxes.
#include "app/ViewState.h"

#include <algorithm>

void CViewState::OnUi(std::function<void()> fn) {
    if (OnUiThread()) {
        if (!m_bDetached.load()) fn();
        return;
    }
    Queue(std::move(fn));
}

void CViewState::Queue(std::function<void()> fn) {
    if (m_bDetached.load()) return;
    Post([this, fn = std::move(fn)] {
        if (!m_bDetached.load()) fn();
    });
}

void CViewState::SetEventHandler(std::function<void(PageEvent, const std::string&)> fn) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_onEvent = std::move(fn);
}

void CViewState::DetachView() {
    m_bDetached.store(true);
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_timers.clear();
        m_onTimer = nullptr;
        m_onEvent = nullptr;
    }
    std::lock_guard<std::mutex> lock(m_mtx);
    for (const auto& [id, generation] : m_running) StopNativeTimer(id);
    m_running.clear();
}

// ---------------------------------------------------------------------------------------------
// Controls

void CViewState::Changed(std::function<void()> hook) {
    if (m_eDelivery == Delivery::EveryChange) {
        if (hook) Queue(std::move(hook));
        return;
    }
    if (OnUiThread()) {
        if (!m_bDetached.load()) Refresh();
        return;
    }
    // One refresh in the queue is enough: it shows whatever is latest when it runs.
    if (m_bRefreshQueued.exchange(true)) return;
    Queue([this] {
        m_bRefreshQueued.store(false);
        Refresh();
    });
}

void CViewState::ShowStatusText(const std::string& text) {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_view.status = text;
    }
    Changed([this, text] { OnStatusChanged(text); });
}

void CViewState::SetProgressRange(int lo, int hi) {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_view.lo = lo;
        m_view.hi = hi;
    }
    Changed(nullptr);
}

void CViewState::SetProgressPos(int pos) {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_view.pos = pos;
        pos = std::clamp(pos, std::min(m_view.lo, m_view.hi), std::max(m_view.lo, m_view.hi));
    }
    Changed([this, pos] { OnProgressChanged(pos); });
}

void CViewState::EnableProgress(bool enable) {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_view.progressEnabled = enable;
    }
    Changed(nullptr);
}

void CViewState::EnableUpdateButton(bool enable) {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_view.button = enable;
    }
    Changed([this, enable] { OnButtonChanged(enable); });
}

void CViewState::SetUpdateButtonTip(const std::string& tip) {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_view.tip = tip;
    }
    Changed(nullptr);
}

void CViewState::ShowNoticeLine(const std::string& line) {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_view.notice = line;
    }
    Changed(nullptr);
}

void CViewState::Refresh() {
    Draw(Snapshot());
}

CViewState::View CViewState::Snapshot() const {
    std::lock_guard<std::mutex> lock(m_mtx);
    View v = m_view;
    v.pos = std::clamp(v.pos, std::min(v.lo, v.hi), std::max(v.lo, v.hi));
    return v;
}

int CViewState::ProgressPos() const {
    return Snapshot().pos;
}

// ---------------------------------------------------------------------------------------------
// Window timers

void CViewState::SetTimer(uint32_t id, uint32_t ms) {
    if (m_bDetached.load()) return;
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        const uint64_t generation = ++m_nTimerGeneration;
        m_timers[id] = TimerSpec{ms, generation};
        if (TimersFromAnyThread()) {
            if (StartNativeTimer(id, ms)) m_running[id] = generation;
            return;
        }
    }
    OnUi([this] { SyncTimers(); });
}

void CViewState::KillTimer(uint32_t id) {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_timers.erase(id);
        if (TimersFromAnyThread()) {
            if (m_running.erase(id) != 0) StopNativeTimer(id);
            return;
        }
    }
    OnUi([this] { SyncTimers(); });
}

bool CViewState::IsTimerSet(uint32_t id) const {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_timers.count(id) != 0;
}

void CViewState::SetTimerHandler(std::function<void(uint32_t)> onTimer) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_onTimer = std::move(onTimer);
}

void CViewState::SyncTimers() {
    std::map<uint32_t, TimerSpec> wanted;
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        wanted = m_timers;
    }
    for (auto it = m_running.begin(); it != m_running.end();) {
        if (wanted.count(it->first) == 0) {
            StopNativeTimer(it->first);
            it = m_running.erase(it);
        } else {
            ++it;
        }
    }
    for (const auto& [id, spec] : wanted) {
        auto running = m_running.find(id);
        if (running != m_running.end() && running->second == spec.generation) continue;
        if (StartNativeTimer(id, spec.ms)) m_running[id] = spec.generation;
    }
}

void CViewState::OnTick(uint32_t id) {
    std::function<void(uint32_t)> handler;
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        // Killed from another thread since: the tick is stale.
        if (m_timers.count(id) == 0) return;
        handler = m_onTimer;
    }
    if (handler && !m_bDetached.load()) handler(id);
}

// ---------------------------------------------------------------------------------------------
// Boxes, posted calls and milestones

void CViewState::MessageBox(const std::string& text, const std::string& caption) {
    Queue([this, text, caption] { ShowBox(text, caption, nullptr); });
}

void CViewState::MessageBoxModal(const std::string& text, const std::string& caption,
                                 std::function<void()> onClosed) {
    // A box must hold the page even when the page passes no handler of its own.
    if (!onClosed) onClosed = [] {};
    Queue([this, text, caption, onClosed = std::move(onClosed)] {
        ShowBox(text, caption, onClosed);
    });
}

void CViewState::PostToUi(std::function<void()> fn) {
    Queue(std::move(fn));
}

void CViewState::OnPageEvent(PageEvent event, const std::string& detail) {
    Queue([this, event, detail] {
        std::function<void(PageEvent, const std::string&)> handler;
        {
            std::lock_guard<std::mutex> lock(m_mtx);
            handler = m_onEvent;
        }
        if (handler) handler(event, detail);
    });
}
