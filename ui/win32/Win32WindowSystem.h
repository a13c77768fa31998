// The page's window system on the native window: the shared view state drawn on the controls,
// posted calls through a message to the page window, window timers as the page window's own.
#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "app/ViewState.h"
#include "ui/win32/Win32.h"

class CWin32WindowSystem : public CViewState {
public:
    // The message that tells the page window there are calls queued for it.
    static constexpr UINT WM_KALVO_CALLS = WM_APP + 1;

    struct Controls {
        HWND page = nullptr;  // receives the posted calls and the timers
        HWND progress = nullptr;
        HWND status = nullptr;
        HWND button = nullptr;
        HWND owner = nullptr;   // owner of the message boxes
        HWND notice = nullptr;  // the line under the status pane
    };

    CWin32WindowSystem();
    ~CWin32WindowSystem() override;

    // On the window's thread, which becomes the UI thread.
    void Attach(const Controls& controls);
    // The page window is going: timers stop and whatever is still queued is dropped.
    void Detach();
    // For the page window's procedure: true when the message was the window system's.
    bool HandleMessage(UINT msg, WPARAM wParam);

    // The tooltip window of the update button; null until a tip was shown.
    HWND TipWindow() const { return m_hTip; }

protected:
    bool OnUiThread() const override;
    void Post(std::function<void()> fn) override;
    void Draw(const View& view) override;
    bool StartNativeTimer(uint32_t id, uint32_t ms) override;
    void StopNativeTimer(uint32_t id) override;
    void ShowBox(const std::string& text, const std::string& caption,
                 std::function<void()> onClosed) override;

private:
    void RunQueued();
    void ShowTip(const std::string& tip);

    mutable std::mutex m_mtx;
    HWND m_hPage = nullptr;  // null when detached
    DWORD m_dwUiThread = 0;
    std::deque<std::function<void()>> m_calls;
    bool m_bPosted = false;  // a WM_KALVO_CALLS is on its way and not yet received

    // UI thread only.
    Controls m_controls;
    std::string m_strShown;
    std::string m_strTipShown;
    std::string m_strNoticeShown;
    HWND m_hTip = nullptr;
};
