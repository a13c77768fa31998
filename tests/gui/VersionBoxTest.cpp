// The version box's test of both window faces, on the Qt window (offscreen).
#include <QApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QPushButton>
#include <QTest>
#include <memory>

#include "serial/PortTable.h"
#include "support/TestMain.h"
#include "support/VersionBoxTests.h"
#include "ui/qt/MainPage.h"
#include "ui/qt/Medit.h"

namespace {

// Runs f on the GUI thread, which the user's thread waits for.
template <class F>
auto OnGui(F f) {
    decltype(f()) result{};
    QMetaObject::invokeMethod(
        qApp, [&] { result = f(); }, Qt::BlockingQueuedConnection);
    return result;
}

class CQtFace : public CFaceDriver {
public:
    ~CQtFace() override {
        m_window.reset();
        if (m_dev) m_dev->Stop();
    }
    void Open(const sim::Options& opts, const std::string& dir) override {
        std::string port;
        m_dev = std::make_unique<sim::CDevice>(opts);
        ASSERT_TRUE(m_dev->CreatePty(&port) && m_dev->Start());
        serialports::SetPortTable({port});
        PageConfig config{.payloadDir = dir, .logPath = dir + "/KalvoLog.txt"};
        m_window = std::make_unique<CMainPage>(nullptr, config);
        m_window->show();
    }
    void RunAsUser(const std::function<void()>& user) override {
        std::atomic<bool> done{false};
        std::thread t([&] {
            user();
            done = true;
        });
        while (!done) QTest::qWait(1);
        t.join();
    }
    bool ButtonEnabled() override {
        return OnGui([&] { return m_window->View()->UpdateButton()->isEnabled(); });
    }
    void ClickButton() override {
        OnGui([&] {
            QTest::mouseClick(m_window->View()->UpdateButton(), Qt::LeftButton);
            return true;
        });
    }
    bool BoxShown() override {
        return OnGui([&] { return Box() != nullptr; });
    }
    void PressBoxOk() override {
        OnGui([&] {
            if (QMessageBox* box = Box())
                QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
            return true;
        });
    }
    std::string PaneText() override {
        return OnGui([&] { return m_window->View()->Status()->toPlainText().toStdString(); });
    }
    bool ReplyTimerSet() override {
        return OnGui([&] { return m_window->WindowSystem()->IsTimerSet(TIMER_REPLY); });
    }
    void CloseWindow() override {
        OnGui([&] { return m_window->close(); });
        // A close during a write asks first: the user says yes.
        versionbox::WaitFor([&] {
            return OnGui([&] {
                QMessageBox* q = m_window->CloseQuestion();
                if (q != nullptr) QTest::mouseClick(q->button(QMessageBox::Yes), Qt::LeftButton);
                return q != nullptr || m_window->Page() == nullptr;
            });
        });
    }
    bool PageGone() override {
        return OnGui([&] { return m_window->Page() == nullptr; });
    }
    sim::CDevice& Device() override { return *m_dev; }

private:
    QMessageBox* Box() const {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (box != nullptr && box->isVisible() && box->isModal() &&
                box->windowTitle() == "ERROR" && box->icon() == QMessageBox::Critical &&
                box->text() == "This is not Q9-Dornvex program")
                return box;
        }
        return nullptr;
    }

    std::unique_ptr<sim::CDevice> m_dev;
    std::unique_ptr<CMainPage> m_window;
};

class VersionBoxTest : public testing::Test {
protected:
    void SetUp() override { plat::SetTimeScale(0.05); }
    void TearDown() override {
        m_face.reset();
        plat::SetTimeScale(1.0);
    }
    testsupport::TempDir m_dir;
    std::unique_ptr<CQtFace> m_face = std::make_unique<CQtFace>();
};

TEST_F(VersionBoxTest, OkContinuesTheHeldRun) {
    versionbox::OkContinuesTheRun(*m_face, m_dir.Path());
}

TEST_F(VersionBoxTest, ClosingTheWindowEndsTheHeldRun) {
    versionbox::ClosingTheWindowEndsTheRun(*m_face, m_dir.Path());
}

}  // namespace
