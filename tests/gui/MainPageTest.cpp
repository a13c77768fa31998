// The window against the simulated device, offscreen. KALVO_SCREENSHOT=FILE makes the update test
// save a picture of the window in the middle of the run.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>

#include "isp/IspCodes.h"
#include "platform/Time.h"
#include "serial/Serial.h"
#include "sim/Device.h"
#include "support/TestMain.h"
#include "ui/Session.h"
#include "ui/qt/MainPage.h"
#include "ui/qt/Medit.h"

namespace {

class QtEnvironment : public testing::Environment {
public:
    void SetUp() override {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        m_app = std::make_unique<QApplication>(m_argc, m_argv);
    }
    void TearDown() override { m_app.reset(); }

private:
    int m_argc = 1;
    char m_name[9] = "test_gui";
    char* m_argv[2] = {m_name, nullptr};
    std::unique_ptr<QApplication> m_app;
};

[[maybe_unused]] testing::Environment* const g_qtEnv =
    testing::AddGlobalTestEnvironment(new QtEnvironment);

// Runs the event loop until pred holds. The limit only keeps a broken build from hanging.
bool RunUntil(const std::function<bool()>& pred) {
    QElapsedTimer clock;
    clock.start();
    while (!pred()) {
        if (clock.elapsed() > 60000) return false;
        QTest::qWait(1);
    }
    return true;
}

class MainPageTest : public testing::Test {
protected:
    void SetUp() override { plat::SetTimeScale(0.01); }

    void TearDown() override {
        m_window.reset();
        if (m_dev) m_dev->Stop();
        plat::SetTimeScale(1.0);
    }

    void StartDevice(const sim::Options& opts = {}) {
        m_dev = std::make_unique<sim::CDevice>(opts);
        ASSERT_TRUE(m_dev->CreatePty(&m_strPort));
        ASSERT_TRUE(m_dev->Start());
        serialports::SetPortTable({m_strPort});
    }

    void OpenWindow(CSession* session = nullptr) {
        PageConfig config;
        config.payloadDir = m_dir.Path();
        config.logPath = m_dir.File("KalvoLog.txt");
        m_window = std::make_unique<CMainPage>(session, config);
        m_window->show();
    }

    QPushButton* Button() const { return m_window->View()->UpdateButton(); }
    CMedit* Pane() const { return m_window->View()->Status(); }

    testsupport::TempDir m_dir;
    std::string m_strPort;
    std::unique_ptr<sim::CDevice> m_dev;
    std::unique_ptr<CMainPage> m_window;
};

TEST_F(MainPageTest, PageFillsTheTabFrameAndResourcesAreLinked) {
    StartDevice();
    OpenWindow();
    QTabWidget* tab = m_window->Tab();
    EXPECT_EQ(tab->count(), 0);
    EXPECT_EQ(m_window->View()->parentWidget(), tab);
    EXPECT_EQ(m_window->View()->geometry(), QRect(1, 0, tab->width() - 2, tab->height() - 1));
    EXPECT_EQ(m_window->minimumSize(), m_window->maximumSize());
    EXPECT_EQ(m_window->windowTitle(), QString("Zorvik Tool v0.2"));
    EXPECT_FALSE(m_window->windowIcon().isNull());
    EXPECT_FALSE(m_window->View()->Picture()->pixmap().isNull());
    EXPECT_EQ(m_window->AboutAction()->text(), QString("关于 Kalvo(&A)..."));
}

TEST_F(MainPageTest, ButtonStaysDisabledWhileTheProbeIsUnanswered) {
    sim::Options opts;
    opts.faults.dropAnswerTo = 1;
    StartDevice(opts);
    OpenWindow();
    // The probe went out and its reply timer has run out and been killed.
    ASSERT_TRUE(RunUntil([&] { return m_dev->GetReport().framesIn >= 1; }));
    ASSERT_TRUE(RunUntil([&] { return !m_window->WindowSystem()->IsTimerSet(TIMER_REPLY); }));
    EXPECT_FALSE(Button()->isEnabled());
    EXPECT_FALSE(m_window->Page()->IsButtonEnabled());
}

TEST_F(MainPageTest, ClickRunsTheUpdateToDoneWhileTheWarningBoxIsOpen) {
    std::string error;
    ASSERT_TRUE(WriteSamplePayloads(m_dir.Path(), error)) << error;
    std::filesystem::remove(m_dir.File("rdfw.bin"));
    sim::Options opts;
    opts.fwVersion = 0x0104;  // the device's answer brings up the version warning
    const char* shot = std::getenv("KALVO_SCREENSHOT");
    StartDevice(opts);
    OpenWindow();

    ASSERT_TRUE(RunUntil([&] { return Button()->isEnabled(); }));
    QTest::mouseClick(Button(), Qt::LeftButton);
    EXPECT_FALSE(Button()->isEnabled());

    bool saved = false;
    QProgressBar* progress = m_window->View()->Progress();
    ASSERT_TRUE(RunUntil([&] {
        if (shot != nullptr && !saved && progress->value() >= 40 && progress->value() <= 70 &&
            Pane()->toPlainText().startsWith(QString("Обновление ПО"))) {
            saved = m_window->grab().save(QString::fromLocal8Bit(shot));
        }
        return Pane()->toPlainText() == QString("Готово");
    }));
    EXPECT_TRUE(Button()->isEnabled());
    EXPECT_EQ(progress->value(), 100);
    if (shot != nullptr) {
        EXPECT_TRUE(saved) << shot;
    }

    QMessageBox* warning = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(w);
        if (box != nullptr && box->text() == "This is not Q9-Dornvex program") warning = box;
    }
    ASSERT_NE(warning, nullptr);
    EXPECT_EQ(warning->windowTitle(), QString("ERROR"));
    EXPECT_EQ(warning->icon(), QMessageBox::Critical);
    EXPECT_TRUE(warning->isVisible());

    ASSERT_TRUE(m_dev->WaitIdle(50, 5000));
    EXPECT_TRUE(m_dev->PayloadsComplete());
    EXPECT_EQ(m_dev->RawPayload(CMD_EDOG_DATA), testsupport::ReadFile(m_dir.File("flagdata.bin")));
    EXPECT_EQ(m_dev->RawPayload(CMD_MUSIC_DATA),
              testsupport::ReadFile(m_dir.File("audioHead.bin")));

    // Closing the window ends the page at once.
    m_window->close();
    EXPECT_EQ(m_window->Page(), nullptr);
}

TEST_F(MainPageTest, LeftClicksOnTheStatusPaneNeitherMoveTheCaretNorSelect) {
    StartDevice();
    OpenWindow();
    CKalvoDlg* page = m_window->Page();
    page->ShowStatus("Разбор ...\r\n", 128);
    page->ShowStatus("Обновление ПО...: 5 % \r\n", 0);
    QCoreApplication::processEvents();
    QTextCursor before = Pane()->textCursor();
    ASSERT_GT(before.position(), 0);

    QPoint firstLine = Pane()->cursorRect(QTextCursor(Pane()->document())).center();
    QTest::mouseClick(Pane()->viewport(), Qt::LeftButton, {}, firstLine);
    EXPECT_EQ(Pane()->textCursor().position(), before.position());

    QTextCursor all(Pane()->document());
    all.select(QTextCursor::Document);
    Pane()->setTextCursor(all);
    QTest::mouseClick(Pane()->viewport(), Qt::LeftButton, {}, firstLine);
    QTest::mouseDClick(Pane()->viewport(), Qt::LeftButton, {}, firstLine);
    EXPECT_EQ(Pane()->textCursor().selectionStart(), all.selectionStart());
    EXPECT_EQ(Pane()->textCursor().selectionEnd(), all.selectionEnd());

    page->ShowStatus("Готово", 128);
    EXPECT_EQ(Pane()->toPlainText(), QString("Готово"));
}

TEST_F(MainPageTest, ServiceOptionRunsInTheWindowAndLeavesItOpen) {
    StartDevice();
    UpdaterOptions opts;
    opts.ports = {m_strPort};
    opts.payloadDir = m_dir.Path();
    opts.chipInfo = true;
    CSession session(opts);
    std::string error;
    int code = 0;
    ASSERT_TRUE(session.Prepare(error, code)) << error;
    OpenWindow(&session);

    ASSERT_TRUE(RunUntil([&] { return Pane()->toPlainText().contains("芯片ID:"); }));
    EXPECT_TRUE(Pane()->toPlainText().contains("芯片Flash大小:512 KB"));
    QCoreApplication::processEvents();
    EXPECT_TRUE(m_window->isVisible());
    EXPECT_NE(m_window->Page(), nullptr);
    m_window.reset();  // before the session it reports to
}

}  // namespace
