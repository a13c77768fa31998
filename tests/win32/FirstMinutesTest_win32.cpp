// The native window in the moments a new user meets first: the line under the pane while no
// device has answered, and a close during a write, which asks first. Needs a display (under wine:
// xvfb-run); skipped without one.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>

#include "app/PageTexts.h"
#include "app/PayloadTable.h"
#include "image/HexWriter.h"
#include "platform/Time.h"
#include "res/resource.h"
#include "serial/PortTable.h"
#include "sim/Device.h"
#include "support/TestMain.h"
#include "ui/Session.h"
#include "ui/win32/MainPage.h"
#include "win32/WindowTests.h"

namespace {

using namespace wintest;

class FirstMinutesTest : public WindowTest {
protected:
    bool Open(const std::vector<std::string>& table) {
        serialports::SetPortTable(table);
        if (!HaveDisplay()) return false;
        m_window = std::make_unique<CMainPage>(nullptr, Config());
        return m_window->Create();
    }
    HWND Notice() const { return m_window->Control(IDC_NOTICE); }
};

TEST_F(FirstMinutesTest, BeforeAnyPressTheLineSaysWhereTheDeviceIsLookedFor) {
    if (!Open({"COM49"})) GTEST_SKIP() << "no display for windows";
    const std::wstring want = win32ui::Wide("正在查找设备，端口: COM49 端口不存在");
    ASSERT_TRUE(RunUntil([&] { return Text(Notice()) == want; })) << win32ui::Utf8(Text(Notice()));
    EXPECT_TRUE(::IsWindowVisible(Notice()));
    EXPECT_FALSE(::IsWindowEnabled(m_window->Control(IDC_BTN_UPDATE)));
    RECT line, pane, page;
    ::GetWindowRect(Notice(), &line);
    ::GetWindowRect(m_window->Control(IDC_EDIT_STATUS), &pane);
    ::GetWindowRect(m_window->PageWindow(), &page);
    EXPECT_GE(line.top, pane.bottom);
    EXPECT_LE(line.bottom, page.bottom);
}

// A close during the firmware asks; "No" keeps the run going (the device keeps receiving while the
// question is open); the system menu's Close asks again, and "Yes" ends the page as a close did.
TEST_F(FirstMinutesTest, ACloseDuringTheFirmwareIsRefusedThenAccepted) {
    std::string error, port;
    // 2048 records, as long as a real firmware: the stop comes well before its end.
    const std::string hex =
        WriteIntelHex(std::vector<uint8_t>(32 * 1024, 0x5A), 0x08000000, "0103");
    m_dir.Write(kPayloads[PAYLOAD_FW].file, hex);
    m_dev = std::make_unique<sim::CDevice>(sim::Options{.procMicros = 3000, .faults = {}});
    ASSERT_TRUE(m_dev->CreatePort(&port, &error) && m_dev->Start()) << error;
    if (!Open({port})) GTEST_SKIP() << "no display for windows";
    HWND button = m_window->Control(IDC_BTN_UPDATE);
    ASSERT_TRUE(RunUntil([&] { return ::IsWindowEnabled(button) != FALSE; }));
    EXPECT_EQ(Text(Notice()), L"");
    ::SendMessageW(button, BM_CLICK, 0, 0);
    auto frames = [&] { return m_dev->GetReport().fwFrames; };
    ASSERT_TRUE(RunUntil([&] { return frames() > 20; }));

    const HWND main = m_window->Hwnd();
    std::atomic<bool> asked{false}, keptReceiving{false}, done{false};
    std::wstring text;
    // Answers the question once it is there; first, with watch, sees the device go on receiving.
    auto answer = [&](WPARAM button, bool watch) {
        return std::thread([&, button, watch] {
            HWND box = nullptr;
            if (WaitFor([&] { return (box = OwnedBox(main)) != nullptr; })) {
                // The box may be visible before its texts are all set.
                asked = WaitFor([&] { return Text(box) == win32ui::Wide(TEXT_CLOSE_CAPTION); });
                text = BoxText(box);
                const int at = frames();
                keptReceiving = !watch || WaitFor([&] { return frames() > at + 20; });
                ::PostMessageW(box, WM_COMMAND, button, 0);
            }
            done = true;
        });
    };
    std::thread user = answer(IDNO, true);
    ::PostMessageW(main, WM_CLOSE, 0, 0);
    RunUntil([&] { return done.load(); });
    user.join();
    EXPECT_TRUE(asked);
    EXPECT_TRUE(keptReceiving);
    EXPECT_NE(text.find(win32ui::Wide("Идёт обновление устройства. Прервать его?")),
              std::wstring::npos)
        << win32ui::Utf8(text);
    ASSERT_TRUE(RunUntil([&] { return OwnedBox(main) == nullptr; }));
    ASSERT_NE(m_window->Page(), nullptr);
    EXPECT_TRUE(::IsWindow(main));
    EXPECT_TRUE(m_window->Page()->IsWriting());

    asked = keptReceiving = done = false;
    user = answer(IDYES, false);
    ::PostMessageW(main, WM_SYSCOMMAND, SC_CLOSE, 0);
    RunUntil([&] { return done.load() && m_window->Hwnd() == nullptr; });
    user.join();
    EXPECT_TRUE(asked);
    EXPECT_EQ(m_window->Hwnd(), nullptr);
    EXPECT_EQ(m_window->Page(), nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const int atClose = frames();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(frames(), atClose);
    EXPECT_LT(atClose, 2048);  // the firmware's records: it was stopped half-way
}

}  // namespace
