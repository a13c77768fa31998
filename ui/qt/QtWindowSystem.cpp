// The page's window system on Qt: control state, window timers, boxes and posted calls.
#include "ui/qt/QtWindowSystem.h"

#include <QLabel>
#include <QMessageBox>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <chrono>

#include "platform/Time.h"
#include "ui/qt/Medit.h"

CQtWindowSystem::CQtWindowSystem() = default;

CQtWindowSystem::~CQtWindowSystem() {
    Detach();
}

bool CQtWindowSystem::OnGuiThread() const {
    return QThread::currentThread() == thread();
}

void CQtWindowSystem::OnUi(std::function<void()> fn) {
    if (OnGuiThread()) {
        if (!m_bDetached.load()) fn();
        return;
    }
    Queue(std::move(fn));
}

void CQtWindowSystem::Queue(std::function<void()> fn) {
    if (m_bDetached.load()) return;
    // Posted events die with this object, so nothing queued can outlive it.
    QMetaObject::invokeMethod(
        this,
        [this, fn = std::move(fn)] {
            if (!m_bDetached.load()) fn();
        },
        Qt::QueuedConnection);
}

void CQtWindowSystem::Attach(const Controls& controls) {
    m_controls = controls;
    m_pOwner = controls.owner;
    m_strShown.clear();
    Refresh();
}

void CQtWindowSystem::SetEventHandler(std::function<void(PageEvent, const std::string&)> fn) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_onEvent = std::move(fn);
}

void CQtWindowSystem::Detach() {
    m_bDetached.store(true);
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_timers.clear();
        m_onTimer = nullptr;
        m_onEvent = nullptr;
    }
    for (auto& [id, running] : m_running) Discard(running.timer);
    m_running.clear();
    m_controls = Controls{};
}

// ---------------------------------------------------------------------------------------------
// Controls

void CQtWindowSystem::ShowStatusText(const std::string& text) {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_strStatus = text;
    }
    ScheduleRefresh();
}

void CQtWindowSystem::SetProgressRange(int lo, int hi) {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_nLo = lo;
        m_nHi = hi;
    }
    ScheduleRefresh();
}

void CQtWindowSystem::SetProgressPos(int pos) {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_nPos = pos;
    }
    ScheduleRefresh();
}

void CQtWindowSystem::EnableProgress(bool enable) {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_bProgressEnabled = enable;
    }
    ScheduleRefresh();
}

void CQtWindowSystem::EnableUpdateButton(bool enable) {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_bButton = enable;
    }
    ScheduleRefresh();
}

void CQtWindowSystem::SetUpdateButtonTip(const std::string& tip) {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_strTip = tip;
    }
    ScheduleRefresh();
}

void CQtWindowSystem::ShowNoticeLine(const std::string& line) {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_strNotice = line;
    }
    ScheduleRefresh();
}

void CQtWindowSystem::ScheduleRefresh() {
    if (OnGuiThread()) {
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

void CQtWindowSystem::Refresh() {
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
        m_controls.progress->setRange(lo, hi);
        m_controls.progress->setValue(pos);
        m_controls.progress->setEnabled(progressEnabled);
    }
    if (m_controls.button != nullptr) {
        m_controls.button->setEnabled(button);
        // Qt shows the tooltip of a disabled button too.
        QString qtip = QString::fromStdString(tip);
        if (m_controls.button->toolTip() != qtip) m_controls.button->setToolTip(qtip);
    }
    if (m_controls.notice != nullptr) {
        QString qnotice = QString::fromStdString(notice);
        if (m_controls.notice->toolTip() != qnotice) {
            // The label holds two lines: one part may fill both, two parts get one line each, so
            // that the second is never hidden. The whole text is in the tooltip.
            QStringList parts = qnotice.split(QLatin1Char('\n'));
            QLabel* label = m_controls.notice;
            label->setWordWrap(parts.size() == 1);
            if (parts.size() > 1) {
                for (QString& part : parts)
                    part = label->fontMetrics().elidedText(part, Qt::ElideRight, label->width());
            }
            label->setText(parts.join(QLatin1Char('\n')));
            label->setToolTip(qnotice);
        }
    }
    if (m_controls.status != nullptr && status != m_strShown) {
        m_strShown = status;
        m_controls.status->SetStatusText(status);
    }
}

// ---------------------------------------------------------------------------------------------
// Window timers

void CQtWindowSystem::SetTimer(uint32_t id, uint32_t ms) {
    if (m_bDetached.load()) return;
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_timers[id] = TimerSpec{ms, ++m_nTimerGeneration};
    }
    OnUi([this] { SyncTimers(); });
}

void CQtWindowSystem::KillTimer(uint32_t id) {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_timers.erase(id);
    }
    OnUi([this] { SyncTimers(); });
}

bool CQtWindowSystem::IsTimerSet(uint32_t id) const {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_timers.count(id) != 0;
}

void CQtWindowSystem::SetTimerHandler(std::function<void(uint32_t)> onTimer) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_onTimer = std::move(onTimer);
}

void CQtWindowSystem::SyncTimers() {
    std::map<uint32_t, TimerSpec> wanted;
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        wanted = m_timers;
    }
    for (auto it = m_running.begin(); it != m_running.end();) {
        if (wanted.count(it->first) == 0) {
            Discard(it->second.timer);
            it = m_running.erase(it);
        } else {
            ++it;
        }
    }
    for (const auto& [id, spec] : wanted) {
        RunningTimer& running = m_running[id];
        if (running.timer != nullptr && running.generation == spec.generation) continue;
        if (running.timer == nullptr) {
            running.timer = new QTimer(this);
            running.timer->setTimerType(Qt::PreciseTimer);
            QObject::connect(running.timer, &QTimer::timeout, this,
                             [this, timerId = id] { OnTick(timerId); });
        }
        running.generation = spec.generation;
        auto real = std::chrono::duration_cast<std::chrono::milliseconds>(
            plat::ToReal(spec.ms == 0 ? 1 : spec.ms));
        running.timer->start(std::max(real, std::chrono::milliseconds(1)));
    }
}

void CQtWindowSystem::Discard(QTimer* timer) {
    // The page kills its timers from inside their own tick.
    timer->stop();
    timer->deleteLater();
}

void CQtWindowSystem::OnTick(uint32_t id) {
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

void CQtWindowSystem::MessageBox(const std::string& text, const std::string& caption) {
    Queue([this, text, caption] {
        auto* box = new QMessageBox(QMessageBox::Critical, QString::fromStdString(caption),
                                    QString::fromStdString(text), QMessageBox::Ok, m_pOwner.data());
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setModal(false);
        box->show();
    });
}

void CQtWindowSystem::MessageBoxModal(const std::string& text, const std::string& caption,
                                      std::function<void()> onClosed) {
    Queue([this, text, caption, onClosed] {
        auto* box = new QMessageBox(QMessageBox::Critical, QString::fromStdString(caption),
                                    QString::fromStdString(text), QMessageBox::Ok, m_pOwner.data());
        box->setAttribute(Qt::WA_DeleteOnClose);
        // Window-modal without a nested loop: the window's timers and posted calls go on, the
        // page waits for the OK.
        QObject::connect(box, &QDialog::finished, [onClosed](int) {
            if (onClosed) onClosed();
        });
        box->open();
    });
}

void CQtWindowSystem::PostToUi(std::function<void()> fn) {
    Queue(std::move(fn));
}

void CQtWindowSystem::OnPageEvent(PageEvent event, const std::string& detail) {
    Queue([this, event, detail] {
        std::function<void(PageEvent, const std::string&)> handler;
        {
            std::lock_guard<std::mutex> lock(m_mtx);
            handler = m_onEvent;
        }
        if (handler) handler(event, detail);
    });
}
