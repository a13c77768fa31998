// What every face of the page shows, kept once: the status text, the progress bar, the update
// button and its tip, the line under the pane, the window timers and their ticks, the boxes and
// the page's milestones. A face adds only its toolkit's part (draw, post to its UI thread, start
// and stop a native timer, show a box).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "app/WindowSystem.h"

class CViewState : public IWindowSystem {
public:
    // What the controls show.
    struct View {
        std::string status;
        int lo = 0, hi = 100, pos = 0;  // pos within the range
        bool progressEnabled = true;
        bool button = false;
        std::string tip, notice;
    };
    // A window draws the latest state once per refresh, however many changes came meanwhile; the
    // terminal prints every status text, so it is told of every change in order.
    enum class Delivery { Latest, EveryChange };

    explicit CViewState(Delivery delivery = Delivery::Latest) : m_eDelivery(delivery) {}

    // Page milestones, delivered on the UI thread.
    void SetEventHandler(std::function<void(PageEvent, const std::string&)> fn);

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
    View Snapshot() const;
    int ProgressPos() const;

protected:
    // The toolkit's part. OnUiThread and Post are called from any thread, the rest on the UI
    // thread only.
    virtual bool OnUiThread() const = 0;
    // Queues fn for the UI thread, like a posted window message.
    virtual void Post(std::function<void()> fn) = 0;
    virtual void Draw(const View& /*view*/) {}
    // ms of program time; starting a running timer restarts its period. False when the face
    // cannot run timers yet (no window).
    virtual bool StartNativeTimer(uint32_t id, uint32_t ms) = 0;
    virtual void StopNativeTimer(uint32_t id) = 0;
    // Native timers that may be set and killed from any thread (our own loop's) are set at once,
    // as the page asks; a window's are set on its UI thread.
    virtual bool TimersFromAnyThread() const { return false; }
    // onClosed is null for a box that does not hold the page; else it runs once the box is closed.
    virtual void ShowBox(const std::string& text, const std::string& caption,
                         std::function<void()> onClosed) = 0;
    // Delivery::EveryChange: each change in order, on the UI thread.
    virtual void OnStatusChanged(const std::string& /*text*/) {}
    virtual void OnProgressChanged(int /*pos*/) {}
    virtual void OnButtonChanged(bool /*enabled*/) {}

    // A native timer went off (UI thread).
    void OnTick(uint32_t id);
    // Draws the latest state now (UI thread).
    void Refresh();
    // The face is going: timers stop, handlers and whatever is still queued are dropped. Each face
    // calls it on the UI thread from its own destructor, while its toolkit part still exists.
    void DetachView();

private:
    // Runs fn on the UI thread: at once when already there, else queued.
    void OnUi(std::function<void()> fn);
    // Always queued; dropped once detached.
    void Queue(std::function<void()> fn);
    void Changed(std::function<void()> hook);
    void SyncTimers();

    struct TimerSpec {
        uint32_t ms;
        uint64_t generation;  // a new SetTimer restarts the period
    };

    const Delivery m_eDelivery;
    mutable std::mutex m_mtx;
    View m_view;
    std::map<uint32_t, TimerSpec> m_timers;
    uint64_t m_nTimerGeneration = 0;
    std::function<void(uint32_t)> m_onTimer;
    std::function<void(PageEvent, const std::string&)> m_onEvent;

    std::atomic<bool> m_bDetached{false};
    std::atomic<bool> m_bRefreshQueued{false};

    // The native timers and the generation each runs: UI thread only, or under m_mtx when
    // TimersFromAnyThread.
    std::map<uint32_t, uint64_t> m_running;
};
