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

namespace {

using Clock = std::chrono::steady_clock;

std::wstring Text(HWND hwnd) {
    wchar_t buf[4096] = {};
    ::SendMessageW(hwnd, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(buf));
    return buf;
}

bool RunUntil(const std::function<bool()>& pred) {
    auto end = Clock::now() + std::chrono::seconds(60);
    while (!pred() && Clock::now() < end) {
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
    }
    return pred();
}

bool WaitFor(const std::function<bool()>& found) {
    auto end = Clock::now() + std::chrono::seconds(60);
    while (!found() && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return found();
}

// The message box that owner shows, if any.
HWND OwnedBox(HWND owner) {
    for (HWND w = ::FindWindowExW(nullptr, nullptr, L"#32770", nullptr); w != nullptr;
         w = ::FindWindowExW(nullptr, w, L"#32770", nullptr))
        if (::GetWindow(w, GW_OWNER) == owner && ::IsWindowVisible(w)) return w;
    return nullptr;
}

std::wstring BoxText(HWND box) {
    std::wstring all;
    for (HWND c = ::FindWindowExW(box, nullptr, L"Static", nullptr); c != nullptr;
         c = ::FindWindowExW(box, c, L"Static", nullptr))
        all += Text(c);
    return all;
}

class FirstMinutesTest : public testing::Test {
protected:
    void SetUp() override {
        plat::SetTimeScale(0.05);
        INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_WIN95_CLASSES};
        ::InitCommonControlsEx(&icc);
    }
    void TearDown() override {
        m_window.reset();
        if (m_dev) m_dev->Stop();
        serialports::SetPortTable({});
        plat::SetTimeScale(1.0);
    }
    bool Open(const std::vector<std::string>& table) {
        serialports::SetPortTable(table);
        HWND probe = ::CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                       nullptr, nullptr);
        if (probe == nullptr) return false;
        ::DestroyWindow(probe);
        PageConfig config{.payloadDir = m_dir.Path(), .logPath = m_dir.File("KalvoLog.txt")};
        m_window = std::make_unique<CMainPage>(nullptr, config);
        return m_window->Create();
    }
    HWND Notice() const { return m_window->Control(IDC_NOTICE); }

    testsupport::TempDir m_dir;
    std::unique_ptr<sim::CDevice> m_dev;
    std::unique_ptr<CMainPage> m_window;
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
