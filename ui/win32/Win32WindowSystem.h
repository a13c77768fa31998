// The page's window system on the native window. The page calls in from the UI, reader, sender
// and worker threads; control state is kept here under a lock, and the controls are brought up to
// date on the window's thread through messages posted to the page window, so the view always shows
// the latest state whatever order the calls arrived in. Window timers are the page window's own.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "app/WindowSystem.h"
#include "ui/win32/Win32.h"

class CWin32WindowSystem : public IWindowSystem {
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
    // Page milestones, delivered on the UI thread.
    void SetEventHandler(std::function<void(PageEvent, const std::string&)> fn);
    // The page window is going: timers stop and whatever is still queued is dropped.
    void Detach();
    // For the page window's procedure: true when the message was the window system's.
    bool HandleMessage(UINT msg, WPARAM wParam);

    void ShowStatusText(const std::string& text) override;
    void SetProgressRange(int lo, int hi) override;
    void SetProgressPos(int pos) override;
    void EnableProgress(bool enable) override;
    void EnableUpdateButton(bool enable) override;
    void SetUpdateButtonTip(const std::string& tip) override;
    void ShowNoticeLine(const std::string& line) override;
    void SetTimer(uint32_t id, uint32_t ms) override;
    void KillTimer(uint32_t id) override;
    void SetTimerHandler(std::function<void(uint32_t)> onTimer) override;
    void MessageBox(const std::string& text, const std::string& caption) override;
    void MessageBoxModal(const std::string& text, const std::string& caption,
                         std::function<void()> onClosed) override;
    void PostToUi(std::function<void()> fn) override;
    void OnPageEvent(PageEvent event, const std::string& detail) override;

    bool IsTimerSet(uint32_t id) const;
    // The tooltip window of the update button; null until a tip was shown.
    HWND TipWindow() const { return m_hTip; }

private:
    bool OnUiThread() const;
    // Runs fn on the UI thread: at once when already there, else queued.
    void OnUi(std::function<void()> fn);
    // Always queued, like a posted window message.
    void Queue(std::function<void()> fn);
    void RunQueued();
    void ScheduleRefresh();
    void Refresh();
    void SyncTimers();
    void OnTick(uint32_t id);
    void ShowTip(const std::string& tip);

    struct TimerSpec {
        uint32_t ms;
        uint64_t generation;  // a new SetTimer restarts the period
    };

    mutable std::mutex m_mtx;
    HWND m_hPage = nullptr;  // null when detached
    DWORD m_dwUiThread = 0;
    std::deque<std::function<void()>> m_calls;
    bool m_bPosted = false;  // a WM_KALVO_CALLS is on its way and not yet received
    std::string m_strStatus;
    int m_nLo = 0, m_nHi = 100, m_nPos = 0;
    bool m_bProgressEnabled = true;
    bool m_bButton = false;
    std::string m_strTip;
    std::string m_strNotice;
    std::map<uint32_t, TimerSpec> m_timers;
    uint64_t m_nTimerGeneration = 0;
    std::function<void(uint32_t)> m_onTimer;
    std::function<void(PageEvent, const std::string&)> m_onEvent;

    std::atomic<bool> m_bDetached{false};
    std::atomic<bool> m_bRefreshQueued{false};

    // UI thread only.
    Controls m_controls;
    std::map<uint32_t, uint64_t> m_running;  // native timers and the generation they run
    std::string m_strShown;
    std::string m_strTipShown;
    std::string m_strNoticeShown;
    HWND m_hTip = nullptr;
};
