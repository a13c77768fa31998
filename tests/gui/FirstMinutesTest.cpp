// The window in the moments a new user meets first: the line under the pane while no device has
// answered, and a close during a write, which asks first. KALVO_SCREENSHOT_SEARCH=FILE saves the
// window as it looks for the device, KALVO_SCREENSHOT_CLOSE=FILE the question before a close.
// (The QApplication is made by MainPageTest.cpp's environment.)
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include "app/PayloadTable.h"
#include "gui/QtWait.h"
#include "platform/Time.h"
#include "serial/PortTable.h"
#include "sim/Device.h"
#include "support/TestMain.h"
#include "ui/Session.h"
#include "ui/qt/MainPage.h"
#include "ui/qt/Medit.h"

namespace {

class FirstMinutesTest : public testing::Test {
protected:
    void SetUp() override { plat::SetTimeScale(0.01); }
    void TearDown() override {
        m_window.reset();
        if (m_dev) m_dev->Stop();
        serialports::SetPortTable({});
        plat::SetTimeScale(1.0);
    }
    void Open(std::vector<std::string> table) {
        serialports::SetPortTable(table);
        PageConfig config{.payloadDir = m_dir.Path(), .logPath = m_dir.File("KalvoLog.txt")};
        m_window = std::make_unique<CMainPage>(nullptr, config);
        m_window->show();
    }
    QLabel* Notice() const { return m_window->View()->Notice(); }

    testsupport::TempDir m_dir;
    std::unique_ptr<sim::CDevice> m_dev;
    std::unique_ptr<CMainPage> m_window;
};

TEST_F(FirstMinutesTest, BeforeAnyPressTheLineSaysWhereTheDeviceIsLookedFor) {
    const std::string gone = m_dir.File("ttyUSB0");
    Open({gone});
    const QString want = QString::fromStdString("正在查找设备，端口: COM1 " + gone + " 端口不存在");
    ASSERT_TRUE(QtRunUntil([&] { return Notice()->text() == want; }))
        << Notice()->text().toStdString();
    EXPECT_TRUE(Notice()->isVisible());
    EXPECT_FALSE(m_window->View()->UpdateButton()->isEnabled());
    // Under the pane and inside the page: the controls above keep their places.
    QRect pane = m_window->View()->Status()->geometry();
    EXPECT_GE(Notice()->geometry().top(), pane.bottom());
    QRect n = Notice()->geometry(), c = m_window->View()->contentsRect();
    EXPECT_TRUE(c.contains(n)) << n.x() << "," << n.y() << " " << n.width() << "x" << n.height()
                               << " in " << c.x() << "," << c.y() << " " << c.width() << "x"
                               << c.height();
    if (const char* shot = std::getenv("KALVO_SCREENSHOT_SEARCH")) {
        EXPECT_TRUE(m_window->grab().save(QString::fromLocal8Bit(shot))) << shot;
    }
}

// The close box during the firmware asks; "No" keeps the run going (the device keeps receiving
// while the question is open), Esc asks again, and "Yes" ends the page as a close always did.
TEST_F(FirstMinutesTest, ACloseDuringTheFirmwareIsRefusedThenAccepted) {
    // The reply timer needs room on a loaded machine: a time-out would end the write.
    plat::SetTimeScale(0.1);
    std::string error;
    ASSERT_TRUE(WriteSamplePayloads(m_dir.Path(), error)) << error;
    m_dev = std::make_unique<sim::CDevice>(sim::Options{.procMicros = 3000, .faults = {}});
    std::string port;
    ASSERT_TRUE(m_dev->CreatePty(&port) && m_dev->Start());
    Open({port});
    QPushButton* button = m_window->View()->UpdateButton();
    ASSERT_TRUE(QtRunUntil([&] { return button->isEnabled(); }));
    EXPECT_EQ(Notice()->text(), "");
    QTest::mouseClick(button, Qt::LeftButton);
    auto frames = [&] { return m_dev->GetReport().fwFrames; };
    ASSERT_TRUE(QtRunUntil([&] { return frames() > 20; }));

    m_window->close();
    ASSERT_NE(m_window->CloseQuestion(), nullptr);
    QMessageBox* box = m_window->CloseQuestion();
    EXPECT_TRUE(box->isVisible());
    EXPECT_EQ(box->text().toStdString(), TEXT_CLOSE_QUESTION);
    EXPECT_EQ(box->defaultButton(), box->button(QMessageBox::No));
    if (const char* shot = std::getenv("KALVO_SCREENSHOT_CLOSE")) {
        EXPECT_TRUE(box->grab().save(QString::fromLocal8Bit(shot))) << shot;
    }
    const int asked = frames();
    EXPECT_TRUE(QtRunUntil([&] { return frames() > asked + 20; }));
    QTest::mouseClick(box->button(QMessageBox::No), Qt::LeftButton);
    ASSERT_TRUE(QtRunUntil([&] { return m_window->CloseQuestion() == nullptr; }));
    EXPECT_TRUE(m_window->isVisible());
    ASSERT_NE(m_window->Page(), nullptr);
    EXPECT_EQ(m_window->Page()->WritingPayload(), PAYLOAD_FW);
    const int refused = frames();
    EXPECT_TRUE(QtRunUntil([&] { return frames() > refused + 20; }));

    QTest::keyClick(m_window.get(), Qt::Key_Escape);
    ASSERT_NE(m_window->CloseQuestion(), nullptr);
    EXPECT_TRUE(m_window->isVisible());
    QTest::mouseClick(m_window->CloseQuestion()->button(QMessageBox::Yes), Qt::LeftButton);
    ASSERT_TRUE(QtRunUntil([&] { return !m_window->isVisible(); }));
    EXPECT_EQ(m_window->Page(), nullptr);
    QTest::qWait(50);  // a frame already on the line
    const int atClose = frames();
    QTest::qWait(200);
    EXPECT_EQ(frames(), atClose);
    EXPECT_LT(atClose, 512);  // the firmware's records: it was stopped half-way
}

// No write under way: the close goes at once, as it always did.
TEST_F(FirstMinutesTest, ACloseWhileIdleAsksNothing) {
    Open({m_dir.File("ttyUSB0")});
    m_window->close();
    EXPECT_EQ(m_window->CloseQuestion(), nullptr);
    EXPECT_FALSE(m_window->isVisible());
    EXPECT_EQ(m_window->Page(), nullptr);
}

}  // namespace
