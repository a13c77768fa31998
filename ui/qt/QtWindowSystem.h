// The page's window system on Qt: the shared view state drawn on the widgets, posted calls as
// queued Qt calls, window timers as QTimers, boxes as QMessageBoxes.
#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>
#include <cstdint>
#include <map>
#include <string>

#include "app/ViewState.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;
class CMedit;

class CQtWindowSystem : public QObject, public CViewState {
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
    // The page is gone: timers stop and whatever is still queued for it is dropped.
    void Detach();

protected:
    bool OnUiThread() const override;
    void Post(std::function<void()> fn) override;
    void Draw(const View& view) override;
    bool StartNativeTimer(uint32_t id, uint32_t ms) override;
    void StopNativeTimer(uint32_t id) override;
    void ShowBox(const std::string& text, const std::string& caption,
                 std::function<void()> onClosed) override;

private:
    // GUI thread only.
    Controls m_controls;
    QPointer<QWidget> m_pOwner;
    std::map<uint32_t, QTimer*> m_timers;
    std::string m_strShown;
};
