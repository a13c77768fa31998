// The page's window system on the native window: control state, window timers, boxes and posted
// calls.
#include "ui/win32/Win32WindowSystem.h"

#include <algorithm>
#include <chrono>

#include "platform/Time.h"
#include "ui/win32/Medit.h"

CWin32WindowSystem::CWin32WindowSystem() = default;

CWin32WindowSystem::~CWin32WindowSystem() {
    Detach();
}

bool CWin32WindowSystem::OnUiThread() const {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_dwUiThread != 0 && ::GetCurrentThreadId() == m_dwUiThread;
}

void CWin32WindowSystem::OnUi(std::function<void()> fn) {
    if (OnUiThread()) {
        if (!m_bDetached.load()) fn();
        return;
    }
    Queue(std::move(fn));
}

void CWin32WindowSystem::Queue(std::function<void()> fn) {
    if (m_bDetached.load()) return;
    std::lock_guard<std::mutex> lock(m_mtx);
    m_calls.push_back(std::move(fn));
    // One message wakes the window for everything queued until it runs. Posting never waits, so
    // it is done under the lock: a window that goes meanwhile cannot be posted to.
    if (!m_bPosted && m_hPage != nullptr)
        m_bPosted = ::PostMessageW(m_hPage, WM_KALVO_CALLS, 0, 0) != 0;
}

void CWin32WindowSystem::RunQueued() {
    {
        // From here, calls queued meanwhile post a message of their own: a call may open a modal
        // box, whose own loop must run them while this one waits.
        std::lock_guard<std::mutex> lock(m_mtx);
        m_bPosted = false;
    }
    for (;;) {
        std::function<void()> fn;
        {
            std::lock_guard<std::mutex> lock(m_mtx);
            if (m_calls.empty()) return;
            fn = std::move(m_calls.front());
            m_calls.pop_front();
        }
        if (!m_bDetached.load()) fn();
    }
}

void CWin32WindowSystem::Attach(const Controls& controls) {
    m_controls = controls;
    m_strShown.clear();
    m_strNoticeShown.clear();
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_hPage = controls.page;
        m_dwUiThread = ::GetCurrentThreadId();
        if (!m_calls.empty() && !m_bPosted)
            m_bPosted = ::PostMessageW(m_hPage, WM_KALVO_CALLS, 0, 0) != 0;
    }
    Refresh();
}

void CWin32WindowSystem::SetEventHandler(std::function<void(PageEvent, const std::string&)> fn) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_onEvent = std::move(fn);
}

void CWin32WindowSystem::Detach() {
    m_bDetached.store(true);
    HWND page = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        page = m_hPage;
        m_hPage = nullptr;
        m_calls.clear();
        m_timers.clear();
        m_onTimer = nullptr;
        m_onEvent = nullptr;
    }
    if (page != nullptr && ::IsWindow(page)) {
        for (const auto& [id, generation] : m_running) ::KillTimer(page, id);
    }
    m_running.clear();
    // The tooltip goes with its owner anyway; this only frees it earlier.
    if (m_hTip != nullptr && ::IsWindow(m_hTip) &&
        ::GetWindowThreadProcessId(m_hTip, nullptr) == ::GetCurrentThreadId())
        ::DestroyWindow(m_hTip);
    m_hTip = nullptr;
    m_controls = Controls{};
}

bool CWin32WindowSystem::HandleMessage(UINT msg, WPARAM wParam) {
    if (msg == WM_KALVO_CALLS) {
        RunQueued();
        return true;
    }
    if (msg == WM_TIMER) {
        OnTick(static_cast<uint32_t>(wParam));
        return true;
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// Controls

void CWin32WindowSystem::ShowStatusText(const std::string& text) {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_strStatus = text;
    }
    ScheduleRefresh();
}

void CWin32WindowSystem::SetProgressRange(int lo, int hi) {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_nLo = lo;
        m_nHi = hi;
    }
    ScheduleRefresh();
}

void CWin32WindowSystem::SetProgressPos(int pos) {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_nPos = pos;
    }
    ScheduleRefresh();
}

void CWin32WindowSystem::EnableProgress(bool enable) {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_bProgressEnabled = enable;
    }
    ScheduleRefresh();
}

void CWin32WindowSystem::EnableUpdateButton(bool enable) {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_bButton = enable;
    }
    ScheduleRefresh();
}

void CWin32WindowSystem::SetUpdateButtonTip(const std::string& tip) {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_strTip = tip;
    }
    ScheduleRefresh();
}

void CWin32WindowSystem::ShowNoticeLine(const std::string& line) {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_strNotice = line;
    }
    ScheduleRefresh();
}

void CWin32WindowSystem::ShowTip(const std::string& tip) {
    HWND parent = ::GetParent(m_controls.button);
    if (parent == nullptr) return;
    if (m_hTip == nullptr) {
        if (tip.empty()) return;
        m_hTip = ::CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                                   WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT,
                                   CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, parent, nullptr,
                                   win32ui::Instance(), nullptr);
        if (m_hTip == nullptr) return;
        // Several lines, one per port.
        ::SendMessageW(m_hTip, TTM_SETMAXTIPWIDTH, 0, 600);
        ::SendMessageW(m_hTip, TTM_SETDELAYTIME, TTDT_AUTOPOP, 30000);
    }
    // A disabled button gets no mouse messages: the tool is the button's rectangle on its parent.
    std::wstring text = win32ui::Wide(tip);
    TOOLINFOW ti = {};
    ti.cbSize = sizeof(ti);
    ti.uFlags = TTF_SUBCLASS;
    ti.hwnd = parent;
    ti.uId = 1;
    ::GetWindowRect(m_controls.button, &ti.rect);
    ::MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&ti.rect), 2);
    ti.lpszText = text.data();
    ::SendMessageW(m_hTip, TTM_DELTOOLW, 0, reinterpret_cast<LPARAM>(&ti));
    if (!tip.empty()) ::SendMessageW(m_hTip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&ti));
}

void CWin32WindowSystem::ScheduleRefresh() {
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

void CWin32WindowSystem::Refresh() {
    std::string status;
    int lo, hi, pos;
    bool progressEnabled, button;
    std::string tip, notice;
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        notice = m_strNotice;
        status = m_strStatus;
        lo = m_nLo;
        hi = m_nHi;
        pos = std::clamp(m_nPos, std::min(m_nLo, m_nHi), std::max(m_nLo, m_nHi));
        progressEnabled = m_bProgressEnabled;
        button = m_bButton;
        tip = m_strTip;
    }
    if (m_controls.progress != nullptr) {
        ::SendMessageW(m_controls.progress, PBM_SETRANGE32, static_cast<WPARAM>(lo),
                       static_cast<LPARAM>(hi));
        ::SendMessageW(m_controls.progress, PBM_SETPOS, static_cast<WPARAM>(pos), 0);
        ::EnableWindow(m_controls.progress, progressEnabled);
    }
    if (m_controls.button != nullptr) {
        ::EnableWindow(m_controls.button, button);
        if (tip != m_strTipShown) {
            m_strTipShown = tip;
            ShowTip(tip);
        }
    }
    if (m_controls.notice != nullptr && notice != m_strNoticeShown) {
        m_strNoticeShown = notice;
        // The control holds two lines: one part may wrap onto both, two parts get one line each
        // (cut at the right), so that the second is never hidden.
        std::string text;
        for (char c : notice) text += c == '\n' ? std::string("\r\n") : std::string(1, c);
        LONG style = ::GetWindowLongW(m_controls.notice, GWL_STYLE) & ~SS_TYPEMASK;
        style |= notice.find('\n') == std::string::npos ? SS_LEFT : SS_LEFTNOWORDWRAP;
        ::SetWindowLongW(m_controls.notice, GWL_STYLE, style);
        ::SetWindowTextW(m_controls.notice, win32ui::Wide(text).c_str());
        ::InvalidateRect(m_controls.notice, nullptr, TRUE);
    }
    if (m_controls.status != nullptr) {
        if (status != m_strShown) {
            m_strShown = status;
            CMedit::SetStatusText(m_controls.status, status);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Window timers

void CWin32WindowSystem::SetTimer(uint32_t id, uint32_t ms) {
    if (m_bDetached.load()) return;
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_timers[id] = TimerSpec{ms, ++m_nTimerGeneration};
    }
    OnUi([this] { SyncTimers(); });
}

void CWin32WindowSystem::KillTimer(uint32_t id) {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_timers.erase(id);
    }
    OnUi([this] { SyncTimers(); });
}

bool CWin32WindowSystem::IsTimerSet(uint32_t id) const {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_timers.count(id) != 0;
}

void CWin32WindowSystem::SetTimerHandler(std::function<void(uint32_t)> onTimer) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_onTimer = std::move(onTimer);
}

void CWin32WindowSystem::SyncTimers() {
    std::map<uint32_t, TimerSpec> wanted;
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        wanted = m_timers;
    }
    HWND page = m_controls.page;
    if (page == nullptr) return;
    for (auto it = m_running.begin(); it != m_running.end();) {
        if (wanted.count(it->first) == 0) {
            ::KillTimer(page, it->first);
            it = m_running.erase(it);
        } else {
            ++it;
        }
    }
    for (const auto& [id, spec] : wanted) {
        auto running = m_running.find(id);
        if (running != m_running.end() && running->second == spec.generation) continue;
        auto real = std::chrono::duration_cast<std::chrono::milliseconds>(
            plat::ToReal(spec.ms == 0 ? 1 : spec.ms));
        // Setting a running timer again restarts its period, as the page expects.
        ::SetTimer(page, id, static_cast<UINT>(std::max<int64_t>(real.count(), 1)), nullptr);
        m_running[id] = spec.generation;
    }
}

void CWin32WindowSystem::OnTick(uint32_t id) {
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
// Messages and posted calls

void CWin32WindowSystem::MessageBox(const std::string& text, const std::string& caption) {
    // Modal on the window's thread; the calling thread goes on at once.
    Queue([this, text, caption] {
        std::wstring wtext = win32ui::Wide(text);
        std::wstring wcaption = win32ui::Wide(caption);
        ::MessageBoxW(m_controls.owner, wtext.c_str(), wcaption.c_str(), MB_OK | MB_ICONHAND);
    });
}

void CWin32WindowSystem::MessageBoxModal(const std::string& text, const std::string& caption,
                                         std::function<void()> onClosed) {
    // The box's own loop runs the window meanwhile (its timers, the calls queued for it); the page
    // holds its run until the OK. A window destroyed under the box takes the box with it, and the
    // page, going too, ends its hold itself.
    Queue([this, text, caption, onClosed = std::move(onClosed)] {
        std::wstring wtext = win32ui::Wide(text);
        std::wstring wcaption = win32ui::Wide(caption);
        ::MessageBoxW(m_controls.owner, wtext.c_str(), wcaption.c_str(), MB_OK | MB_ICONHAND);
        if (onClosed) onClosed();
    });
}

void CWin32WindowSystem::PostToUi(std::function<void()> fn) {
    Queue(std::move(fn));
}

void CWin32WindowSystem::OnPageEvent(PageEvent event, const std::string& detail) {
    Queue([this, event, detail] {
        std::function<void(PageEvent, const std::string&)> handler;
        {
            std::lock_guard<std::mutex> lock(m_mtx);
            handler = m_onEvent;
        }
        if (handler) handler(event, detail);
    });
}
