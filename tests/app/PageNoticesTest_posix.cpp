// What the page says beside its pane: the line under it while the device is looked for and when
// the log cannot be written, and what it knows about a payload being written.
#include <filesystem>

#include "core/Log.h"
#include "serial/PortTable.h"
#include "support/PageRig.h"

namespace {

TEST(SearchLine, NamesEveryPortWithWhatWasWrongInTheDevicesLanguage) {
    const std::vector<std::string> table = {"/dev/ttyUSB0", "/dev/ttyS4", "/dev/ttyACM0",
                                            "COM12",        "/dev/ttyS5", "/dev/ttyS6"};
    const std::string summary =
        "COM1 /dev/ttyUSB0: did not answer\n"
        "COM2 /dev/ttyS4: port busy (in use by another program)\n"
        "COM3 /dev/ttyACM0: permission denied (add your user to the dialout group)\n"
        "COM4 COM12: cannot open (Input/output error)\n"
        "COM5 /dev/ttyS5: a cause told in a later version";
    // Each port as the port table labels it everywhere else.
    serialports::SetPortTable(table);
    EXPECT_EQ(SearchLineText(table, summary),
              "正在查找设备，端口: COM1 /dev/ttyUSB0 无应答，COM2 /dev/ttyS4 端口被其他程序占用，"
              "COM3 /dev/ttyACM0 无权访问（请将用户加入 dialout 组），COM4 COM12 无法打开 "
              "(Input/output error)，COM5 /dev/ttyS5 a cause told in a later version，"
              "COM6 /dev/ttyS6");
    serialports::SetPortTable({});
    EXPECT_EQ(SearchLineText({}, "none (no serial port found)"), "正在查找设备: 未找到串口");
}

// The first probe goes unanswered and the second port is gone: the line says so until the device
// answers a later probe; a log that cannot be written stays on it. The old log is left alone.
TEST_F(PageTest, TheLineSaysWhereTheDeviceIsLookedForAndWhatIsWrongWithTheLog) {
    const std::string gone = dir.File("no-such-tty");
    dir.Write("KalvoLog.txt", std::string("captured"));
    std::filesystem::create_directories(dir.File("KalvoLog.1.txt") + "/kept");
    ASSERT_TRUE(StartDevice({.faults = {.dropAnswerTo = 1}}));
    serialports::SetPortTable({port, gone});
    g_bLogEnable = 1;
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    ASSERT_TRUE(StartPage(0));
    const std::string logLine = "日志文件无法写入: " + dir.File("KalvoLog.txt") +
                                " (the previous log cannot be kept as " +
                                dir.File("KalvoLog.1.txt") + ": Is a directory)";
    const std::string searching =
        "正在查找设备，端口: COM1 " + port + " 无应答，COM2 " + gone + " 端口不存在\n" + logLine;
    EXPECT_TRUE(WaitFor([&] { return wnd.Notice() == searching; }, 20000)) << wnd.Notice();
    EXPECT_FALSE(page->IsButtonEnabled());
    EXPECT_TRUE(WaitEvent(PageEvent::ProbeAnswered, 60000));
    WaitFor([&] { return wnd.Notice() == logLine; }, 1000);
    g_bLogEnable = 0;
    testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(wnd.Notice(), logLine);
    EXPECT_EQ(testsupport::ReadFile(dir.File("KalvoLog.txt")),
              std::vector<uint8_t>({'c', 'a', 'p', 't', 'u', 'r', 'e', 'd'}));
    EXPECT_NE(err.find("cannot be written"), std::string::npos) << err;
    CloseLogFile();
}

TEST_F(PageTest, WritingLastsFromTheBeginCommandToTheLastFrameAndAStopSaysWhatItLeaves) {
    Payloads p;
    p.hex = MakeHex(Pattern(8000, 1), 0x08000000, "0103");
    p.edog = Pattern(10000, 2);
    Start(p, {.procMicros = 500, .readyDelayMs = 2000, .faults = {}});
    EXPECT_FALSE(page->IsWriting());
    EXPECT_EQ(page->UnfinishedText(), "");
    Press();
    const std::string fw = "the firmware was not completed: run the update again";
    ASSERT_TRUE(WaitFor([&] { return page->IsWriting(); }, 10000));
    EXPECT_EQ(page->m_byState.load(), STATE_IDLE);  // the device prepares its memory
    EXPECT_EQ(page->WritingPayload(), PAYLOAD_FW);
    EXPECT_EQ(page->UnfinishedText(), fw);
    ASSERT_TRUE(WaitFor([&] { return page->m_dwAckCount.load() > 10; }, 20000));
    EXPECT_EQ(page->UnfinishedText(), fw);
    // The pause after the firmware's end command: nothing is being written.
    ASSERT_TRUE(
        WaitFor([&] { return page->m_bFwPending.load() == 0 && !page->IsWriting(); }, 20000));
    EXPECT_EQ(page->UnfinishedText(), "the camera database was not written: run the update again");
    ASSERT_TRUE(WaitFor([&] { return page->WritingPayload() == PAYLOAD_EDOG; }, 20000));
    EXPECT_EQ(page->UnfinishedText(),
              "the camera database was not completed: run the update again");
    ASSERT_TRUE(WaitEvent(PageEvent::RunComplete));
    EXPECT_FALSE(page->IsWriting());
    EXPECT_EQ(page->UnfinishedText(), "");
}

}  // namespace
