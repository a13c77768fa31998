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

void CWin32WindowSystem::Post(std::function<void()> fn) {
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
        fn();
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

void CWin32WindowSystem::Detach() {
    // The timers go while the page window is still known.
    if (m_controls.page != nullptr && !::IsWindow(m_controls.page)) m_controls.page = nullptr;
    DetachView();
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_hPage = nullptr;
        m_calls.clear();
    }
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

void CWin32WindowSystem::Draw(const View& view) {
    if (m_controls.progress != nullptr) {
        ::SendMessageW(m_controls.progress, PBM_SETRANGE32, static_cast<WPARAM>(view.lo),
                       static_cast<LPARAM>(view.hi));
        ::SendMessageW(m_controls.progress, PBM_SETPOS, static_cast<WPARAM>(view.pos), 0);
        ::EnableWindow(m_controls.progress, view.progressEnabled);
    }
    if (m_controls.button != nullptr) {
        ::EnableWindow(m_controls.button, view.button);
        if (view.tip != m_strTipShown) {
            m_strTipShown = view.tip;
            ShowTip(view.tip);
        }
    }
    if (m_controls.notice != nullptr && view.notice != m_strNoticeShown) {
        m_strNoticeShown = view.notice;
        // The control holds two lines: one part may wrap onto both, two parts get one line each
        // (cut at the right), so that the second is never hidden.
        std::string text;
        for (char c : view.notice) text += c == '\n' ? std::string("\r\n") : std::string(1, c);
        LONG style = ::GetWindowLongW(m_controls.notice, GWL_STYLE) & ~SS_TYPEMASK;
        style |= view.notice.find('\n') == std::string::npos ? SS_LEFT : SS_LEFTNOWORDWRAP;
        ::SetWindowLongW(m_controls.notice, GWL_STYLE, style);
        ::SetWindowTextW(m_controls.notice, win32ui::Wide(text).c_str());
        ::InvalidateRect(m_controls.notice, nullptr, TRUE);
    }
    if (m_controls.status != nullptr) {
        if (view.status != m_strShown) {
            m_strShown = view.status;
            CMedit::SetStatusText(m_controls.status, view.status);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Window timers and boxes

bool CWin32WindowSystem::StartNativeTimer(uint32_t id, uint32_t ms) {
    if (m_controls.page == nullptr) return false;
    auto real =
        std::chrono::duration_cast<std::chrono::milliseconds>(plat::ToReal(ms == 0 ? 1 : ms));
    // Setting a running timer again restarts its period, as the page expects.
    return ::SetTimer(m_controls.page, id, static_cast<UINT>(std::max<int64_t>(real.count(), 1)),
                      nullptr) != 0;
}

void CWin32WindowSystem::StopNativeTimer(uint32_t id) {
    if (m_controls.page != nullptr) ::KillTimer(m_controls.page, id);
}

void CWin32WindowSystem::ShowBox(const std::string& text, const std::string& caption,
                                 std::function<void()> onClosed) {
    // Modal on the window's thread; the calling thread went on at once. The box's own loop runs
    // the window meanwhile (its timers, the calls queued for it); a box that holds the page ends
    // its hold at the OK. A window destroyed under the box takes the box with it, and the page,
    // going too, ends its hold itself.
    std::wstring wtext = win32ui::Wide(text);
    std::wstring wcaption = win32ui::Wide(caption);
    ::MessageBoxW(m_controls.owner, wtext.c_str(), wcaption.c_str(), MB_OK | MB_ICONHAND);
    if (onClosed) onClosed();
}
