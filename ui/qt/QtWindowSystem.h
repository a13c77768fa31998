// The page's window system on Qt. The page calls in from the UI, reader, sender and worker
// threads; control state is kept here under a lock and the widgets are brought up to date on the
// GUI thread, so the view always shows the latest state whatever order the calls arrived in.
#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "app/WindowSystem.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;
class CMedit;

class CQtWindowSystem : public QObject, public IWindowSystem {
    Q_OBJECT
public:
    struct Controls {
        QProgressBar* progress = nullptr;
        CMedit* status = nullptr;
        QPushButton* button = nullptr;
        QWidget* owner = nullptr;  // parent of the message boxes
        QLabel* notice = nullptr;  // the line under the status pane
    };

    // Lives on the thread that creates it, which must be the GUI thread.
    CQtWindowSystem();
    ~CQtWindowSystem() override;

    void Attach(const Controls& controls);
    // Page milestones, delivered on the GUI thread.
    void SetEventHandler(std::function<void(PageEvent, const std::string&)> fn);
    // The page is gone: timers stop and whatever is still queued for it is dropped.
    void Detach();

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

private:
    bool OnGuiThread() const;
    // Runs fn on the GUI thread: at once when already there, else queued.
    void OnUi(std::function<void()> fn);
    // Always queued, like a posted window message.
    void Queue(std::function<void()> fn);
    void ScheduleRefresh();
    void Refresh();
    void SyncTimers();
    void OnTick(uint32_t id);
    static void Discard(QTimer* timer);

    struct TimerSpec {
        uint32_t ms;
        uint64_t generation;  // a new SetTimer restarts the period
    };
    struct RunningTimer {
        QTimer* timer;
        uint64_t generation;
    };

    mutable std::mutex m_mtx;
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

    // GUI thread only.
    Controls m_controls;
    QPointer<QWidget> m_pOwner;
    std::map<uint32_t, RunningTimer> m_running;
    std::string m_strShown;
};
