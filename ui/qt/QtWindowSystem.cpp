// The page's window system on Qt: drawing the view state, posted calls, QTimers and boxes.
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

void CQtWindowSystem::Attach(const Controls& controls) {
    m_controls = controls;
    m_pOwner = controls.owner;
    m_strShown.clear();
    Refresh();
}

void CQtWindowSystem::Detach() {
    DetachView();
    m_controls = Controls{};
}

bool CQtWindowSystem::OnUiThread() const {
    return QThread::currentThread() == thread();
}

void CQtWindowSystem::Post(std::function<void()> fn) {
    // Posted events die with this object, so nothing queued can outlive it.
    QMetaObject::invokeMethod(this, std::move(fn), Qt::QueuedConnection);
}

void CQtWindowSystem::Draw(const View& view) {
    if (m_controls.progress != nullptr) {
        m_controls.progress->setRange(view.lo, view.hi);
        m_controls.progress->setValue(view.pos);
        m_controls.progress->setEnabled(view.progressEnabled);
    }
    if (m_controls.button != nullptr) {
        m_controls.button->setEnabled(view.button);
        // Qt shows the tooltip of a disabled button too.
        QString qtip = QString::fromStdString(view.tip);
        if (m_controls.button->toolTip() != qtip) m_controls.button->setToolTip(qtip);
    }
    if (m_controls.notice != nullptr) {
        QString qnotice = QString::fromStdString(view.notice);
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
    if (m_controls.status != nullptr && view.status != m_strShown) {
        m_strShown = view.status;
        m_controls.status->SetStatusText(view.status);
    }
}

bool CQtWindowSystem::StartNativeTimer(uint32_t id, uint32_t ms) {
    QTimer*& timer = m_timers[id];
    if (timer == nullptr) {
        timer = new QTimer(this);
        timer->setTimerType(Qt::PreciseTimer);
        QObject::connect(timer, &QTimer::timeout, this, [this, id] { OnTick(id); });
    }
    auto real =
        std::chrono::duration_cast<std::chrono::milliseconds>(plat::ToReal(ms == 0 ? 1 : ms));
    timer->start(std::max(real, std::chrono::milliseconds(1)));
    return true;
}

void CQtWindowSystem::StopNativeTimer(uint32_t id) {
    auto it = m_timers.find(id);
    if (it == m_timers.end()) return;
    // The page kills its timers from inside their own tick.
    it->second->stop();
    it->second->deleteLater();
    m_timers.erase(it);
}

void CQtWindowSystem::ShowBox(const std::string& text, const std::string& caption,
                              std::function<void()> onClosed) {
    auto* box = new QMessageBox(QMessageBox::Critical, QString::fromStdString(caption),
                                QString::fromStdString(text), QMessageBox::Ok, m_pOwner.data());
    box->setAttribute(Qt::WA_DeleteOnClose);
    if (!onClosed) {
        box->setModal(false);
        box->show();
        return;
    }
    // Window-modal without a nested loop: the window's timers and posted calls go on, the page
    // waits for the OK.
    QObject::connect(box, &QDialog::finished, [onClosed](int) { onClosed(); });
    box->open();
}
