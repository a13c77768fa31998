// The native window against the simulated device (in-process loopback port). Needs a display
// (under wine: xvfb-run); skipped without one. KALVO_SCREENSHOT=FILE.png makes the update test save
// a picture of the window in the middle of the run, its system menu open.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "isp/IspCodes.h"
#include "platform/Time.h"
#include "res/resource.h"
#include "serial/PortTable.h"
#include "sim/Device.h"
#include "support/TestMain.h"
#include "ui/Session.h"
#include "ui/win32/Graphics.h"
#include "ui/win32/MainPage.h"
#include "ui/win32/Medit.h"
#include "win32/WindowTests.h"
// GDI+ saves the screenshot; it needs what the lean windows.h leaves out.
#include <objidl.h>
// After objidl.h.
#include <gdiplus.h>

namespace {

using namespace wintest;

// The screen inside rc as a PNG file; what went wrong otherwise.
std::string SaveScreen(const RECT& rc, const std::wstring& path) {
    int w = rc.right - rc.left, h = rc.bottom - rc.top;
    HDC screen = ::GetDC(nullptr);
    HDC dc = ::CreateCompatibleDC(screen);
    HBITMAP bmp = ::CreateCompatibleBitmap(screen, w, h);
    HGDIOBJ old = ::SelectObject(dc, bmp);
    std::string error =
        ::BitBlt(dc, 0, 0, w, h, screen, rc.left, rc.top, SRCCOPY) ? "" : "cannot copy the screen";
    ::SelectObject(dc, old);
    ::DeleteDC(dc);
    ::ReleaseDC(nullptr, screen);
    ULONG_PTR token = 0;
    Gdiplus::GdiplusStartupInput input;
    if (error.empty() && Gdiplus::GdiplusStartup(&token, &input, nullptr) == Gdiplus::Ok) {
        namespace gp = Gdiplus::DllExports;
        Gdiplus::GpBitmap* image = nullptr;
        // The PNG encoder of GDI+.
        const CLSID png = {
            0x557cf406, 0x1a04, 0x11d3, {0x9a, 0x73, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}};
        int status = gp::GdipCreateBitmapFromHBITMAP(bmp, nullptr, &image);
        if (status == Gdiplus::Ok)
            status = gp::GdipSaveImageToFile(image, path.c_str(), &png, nullptr);
        if (status != Gdiplus::Ok) error = "GDI+ status " + std::to_string(status);
        if (image != nullptr) gp::GdipDisposeImage(image);
        Gdiplus::GdiplusShutdown(token);
    } else if (error.empty()) {
        error = "no GDI+";
    }
    ::DeleteObject(bmp);
    return error;
}

RECT Union(HWND a, HWND b) {
    RECT ra, rb, out;
    ::GetWindowRect(a, &ra);
    if (b == nullptr || !::GetWindowRect(b, &rb)) return ra;
    ::UnionRect(&out, &ra, &rb);
    return out;
}

class MainPageTest : public WindowTest {
protected:
    // The device, then the window, made modeless unless modal is set (DoModal runs it then).
    void Open(const sim::Options& opts = {}, bool modal = false) {
        std::string port, error;
        m_dev = std::make_unique<sim::CDevice>(opts);
        ASSERT_TRUE(m_dev->CreatePort(&port, &error) && m_dev->Start()) << error;
        serialports::SetPortTable({port});
        if (!HaveDisplay()) GTEST_SKIP() << "no display for windows";
        m_window = std::make_unique<CMainPage>(nullptr, Config());
        if (!modal) {
            ASSERT_TRUE(m_window->Create());
        }
    }
    HWND Button() const { return m_window->Control(IDC_BTN_UPDATE); }
    HWND Pane() const { return m_window->Control(IDC_EDIT_STATUS); }
    int Progress() const {
        return static_cast<int>(::SendMessageW(m_window->Control(IDC_PROGRESS), PBM_GETPOS, 0, 0));
    }
    void Click(HWND button) { ::SendMessageW(button, BM_CLICK, 0, 0); }
};

TEST_F(MainPageTest, WindowFollowsTheDialogTemplates) {
    Open();
    if (HasFatalFailure() || IsSkipped()) return;
    EXPECT_EQ(Text(m_window->Hwnd()), L"Zorvik Tool v0.2");
    EXPECT_EQ(Text(Button()), L"Обновление");
    EXPECT_EQ(::GetParent(m_window->PageWindow()), m_window->Tab());
    RECT tab, page;
    ::GetClientRect(m_window->Tab(), &tab);
    ::GetWindowRect(m_window->PageWindow(), &page);
    ::MapWindowPoints(nullptr, m_window->Tab(), reinterpret_cast<POINT*>(&page), 2);
    EXPECT_EQ(page.left, 1);
    EXPECT_EQ(page.top, 0);
    EXPECT_EQ(page.right, tab.right - 1);
    EXPECT_EQ(page.bottom, tab.bottom - 1);

    struct Placed {
        int id;
        RECT dlu;  // x, y, width, height in dialog units
        DWORD styles, absent, absentEx;
    };
    // The progress bar draws its border itself: its style does not show it.
    const Placed controls[] = {
        {IDC_PICTURE, {0, 0, 274, 111}, SS_BITMAP, 0, 0},
        {IDC_PROGRESS, {9, 122, 250, 16}, 0, 0, 0},
        {IDC_EDIT_STATUS,
         {8, 145, 198, 30},
         ES_MULTILINE | ES_READONLY | ES_AUTOHSCROLL,
         WS_BORDER | WS_VSCROLL | WS_HSCROLL,
         WS_EX_CLIENTEDGE | WS_EX_STATICEDGE},
        {IDC_BTN_UPDATE, {207, 144, 52, 18}, BS_CENTER, 0, 0},
    };
    for (const Placed& c : controls) {
        HWND hwnd = m_window->Control(c.id);
        ASSERT_NE(hwnd, nullptr) << c.id;
        RECT want = c.dlu, got;
        // Positions and sizes are converted apart, as the dialog manager does.
        ::MapDialogRect(m_window->PageWindow(), &want);
        want.right += want.left;
        want.bottom += want.top;
        ::GetWindowRect(hwnd, &got);
        ::MapWindowPoints(nullptr, m_window->PageWindow(), reinterpret_cast<POINT*>(&got), 2);
        EXPECT_TRUE(::EqualRect(&want, &got))
            << c.id << ": " << got.left << "," << got.top << "," << got.right << "," << got.bottom
            << " instead of " << want.left << "," << want.top << "," << want.right << ","
            << want.bottom;
        auto style = static_cast<DWORD>(::GetWindowLongW(hwnd, GWL_STYLE));
        auto exStyle = static_cast<DWORD>(::GetWindowLongW(hwnd, GWL_EXSTYLE));
        EXPECT_EQ(style & c.styles, c.styles) << c.id;
        EXPECT_EQ(style & c.absent, 0u) << c.id;
        EXPECT_EQ(exStyle & c.absentEx, 0u) << c.id;
    }
    EXPECT_NE(::SendMessageW(m_window->Hwnd(), WM_GETICON, ICON_BIG, 0), 0);
    EXPECT_NE(::SendMessageW(m_window->Hwnd(), WM_GETICON, ICON_SMALL, 0), 0);
    EXPECT_NE(::SendMessageW(m_window->Control(IDC_PICTURE), STM_GETIMAGE, IMAGE_BITMAP, 0), 0);
    EXPECT_EQ(::SendMessageW(m_window->Control(IDC_PROGRESS), PBM_GETRANGE, FALSE, 0), 100);

    HMENU menu = ::GetSystemMenu(m_window->Hwnd(), FALSE);
    int last = ::GetMenuItemCount(menu) - 1;
    ASSERT_GT(last, 0);
    wchar_t entry[64] = {};
    ::GetMenuStringW(menu, IDM_ABOUTBOX, entry, 64, MF_BYCOMMAND);
    EXPECT_EQ(std::wstring(entry), L"关于 Kalvo(&A)...");
    EXPECT_EQ(::GetMenuItemID(menu, last), static_cast<UINT>(IDM_ABOUTBOX));
}

TEST_F(MainPageTest, StatusPaneRendersChineseWhereTheSystemHasAFaceForIt) {
    Open();
    if (HasFatalFailure() || IsSkipped()) return;
    const std::wstring sample = L"升级完成 Обновление";
    // Any installed face with Chinese and Cyrillic will do.
    struct Search {
        std::wstring sample;
        bool found = false;
    } search{sample};
    LOGFONTW lf = {};
    lf.lfCharSet = GB2312_CHARSET;
    HDC dc = ::GetDC(nullptr);
    ::EnumFontFamiliesExW(
        dc, &lf,
        [](const LOGFONTW* face, const TEXTMETRICW*, DWORD, LPARAM param) -> int {
            auto* s = reinterpret_cast<Search*>(param);
            HFONT font = ::CreateFontIndirectW(face);
            s->found = font != nullptr && win32ui::FontCovers(font, s->sample);
            if (font != nullptr) ::DeleteObject(font);
            return s->found ? 0 : 1;
        },
        reinterpret_cast<LPARAM>(&search), 0);
    ::ReleaseDC(nullptr, dc);
    if (!search.found) GTEST_SKIP() << "no face with Chinese and Cyrillic installed";
    auto paneCovers = [&] {
        return win32ui::FontCovers(
            reinterpret_cast<HFONT>(::SendMessageW(Pane(), WM_GETFONT, 0, 0)), sample);
    };
    EXPECT_TRUE(paneCovers());
    // On a screen of another DPI the dialog gives every control the page's font again.
    ::SendMessageW(Pane(), WM_SETFONT, ::SendMessageW(m_window->PageWindow(), WM_GETFONT, 0, 0), 0);
    ::SendMessageW(m_window->PageWindow(), 0x02E3 /* WM_DPICHANGED_AFTERPARENT */, 0, 0);
    EXPECT_TRUE(RunUntil(paneCovers));
}

TEST_F(MainPageTest, ButtonStaysDisabledWhileTheProbeIsUnanswered) {
    Open({.faults = {.dropAnswerTo = 1}});
    if (HasFatalFailure() || IsSkipped()) return;
    ASSERT_TRUE(RunUntil([&] { return m_dev->GetReport().framesIn >= 1; }));
    ASSERT_TRUE(RunUntil([&] { return !m_window->WindowSystem()->IsTimerSet(TIMER_REPLY); }));
    EXPECT_FALSE(::IsWindowEnabled(Button()));
    EXPECT_FALSE(m_window->Page()->IsButtonEnabled());
    // The disabled button's tooltip says why it waits.
    auto tip = [&] {
        HWND w = m_window->WindowSystem()->TipWindow();
        if (w == nullptr) return std::wstring();
        wchar_t text[1024] = {};
        TOOLINFOW ti = {};
        ti.cbSize = sizeof(ti);
        ti.hwnd = ::GetParent(Button());
        ti.uId = 1;
        ti.lpszText = text;
        ::SendMessageW(w, TTM_GETTEXTW, 1024, reinterpret_cast<LPARAM>(&ti));
        return std::wstring(text);
    };
    ASSERT_TRUE(RunUntil([&] { return tip().find(L"did not answer") != std::wstring::npos; }));
    EXPECT_NE(tip().find(L"COM1 "), std::wstring::npos);
}

TEST_F(MainPageTest, ClickRunsEveryPayloadToTheEnd) {
    std::string error;
    ASSERT_TRUE(WriteSamplePayloads(m_dir.Path(), error)) << error;
    const char* shot = std::getenv("KALVO_SCREENSHOT");
    // For the picture, the run takes the time of the line, as with a real device, and the reply
    // timer allows for it.
    if (shot != nullptr) plat::SetTimeScale(0.1);
    Open({.lineRate = shot != nullptr, .faults = {}});
    if (HasFatalFailure() || IsSkipped()) return;
    ASSERT_TRUE(RunUntil([&] { return ::IsWindowEnabled(Button()) != FALSE; }));
    ::SetForegroundWindow(m_window->Hwnd());
    Click(Button());
    EXPECT_FALSE(::IsWindowEnabled(Button()));

    // The picture is taken by another thread while the system menu's own loop runs the window.
    std::string shotError = "the system menu did not open";
    std::thread photographer;
    bool menuOpened = false;
    bool finished = RunUntil([&] {
        if (shot != nullptr && !menuOpened && Progress() >= 40 && Progress() <= 70 &&
            Text(Pane()).rfind(L"Обновление ПО", 0) == 0) {
            menuOpened = true;
            photographer = std::thread([&] {
                HWND menu = nullptr;
                if (WaitFor(
                        [&] { return (menu = FindOwnWindow(L"#32768", nullptr)) != nullptr; })) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(300));
                    shotError = SaveScreen(Union(m_window->Hwnd(), menu),
                                           std::filesystem::path(shot).wstring());
                }
                ::PostMessageW(m_window->Hwnd(), WM_CANCELMODE, 0, 0);
            });
            ::PostMessageW(m_window->Hwnd(), WM_SYSCOMMAND, SC_KEYMENU, L' ');
        }
        return Text(Pane()) == L"升级完成";
    });
    if (photographer.joinable()) photographer.join();
    ASSERT_TRUE(finished) << win32ui::Utf8(Text(Pane()));
    EXPECT_TRUE(::IsWindowEnabled(Button()));
    EXPECT_EQ(Progress(), 100);
    EXPECT_TRUE(shot == nullptr || shotError.empty()) << shot << ": " << shotError;
    ASSERT_TRUE(m_dev->WaitIdle(50, 5000));
    EXPECT_TRUE(m_dev->PayloadsComplete());
    EXPECT_EQ(m_dev->RawPayload(CMD_EDOG_DATA), testsupport::ReadFile(m_dir.File("flagdata.bin")));
    EXPECT_EQ(m_dev->RawPayload(CMD_RADAR_DATA), testsupport::ReadFile(m_dir.File("rdfw.bin")));
    m_window->Close();
    EXPECT_EQ(m_window->Page(), nullptr);
}

// The version box: VersionBoxTest_win32.cpp, the test the Qt window runs too.

TEST_F(MainPageTest, ModalWindowKeepsOpenOnEnterAndEscShowsTheAboutBoxAndCloses) {
    Open({}, true);
    if (HasFatalFailure() || IsSkipped()) return;
    const DWORD ui = ::GetCurrentThreadId();
    std::atomic<bool> openAfterKeys{false}, aboutShown{false}, aboutModal{false};
    std::thread user([&] {
        HWND main = nullptr, about = nullptr;
        if (WaitFor([&] { return (main = FindOwnWindow(L"#32770", L"Zorvik Tool v0.2")); })) {
            ::PostMessageW(main, WM_COMMAND, IDOK, 0);
            ::PostMessageW(main, WM_COMMAND, IDCANCEL, 0);
            ::PostMessageW(main, WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
            if (WaitFor([&] { return (about = FindOwnWindow(L"#32770", L"关于 Kalvo")); })) {
                openAfterKeys = ::IsWindow(main) != FALSE;
                aboutModal = !::IsWindowEnabled(main);
                for (HWND c = ::FindWindowExW(about, nullptr, L"Static", nullptr); c != nullptr;
                     c = ::FindWindowExW(about, c, L"Static", nullptr))
                    aboutShown = aboutShown || Text(c).rfind(L"Kalvo Updater ", 0) == 0;
                ::PostMessageW(about, WM_COMMAND, IDOK, 0);
                WaitFor([&] { return ::IsWindowEnabled(main) != FALSE; });
            }
            ::PostMessageW(main, WM_CLOSE, 0, 0);
        } else {
            ::PostThreadMessageW(ui, WM_QUIT, 0, 0);
        }
    });
    m_window->DoModal();
    user.join();
    EXPECT_TRUE(openAfterKeys);
    EXPECT_TRUE(aboutShown);
    EXPECT_TRUE(aboutModal);
    EXPECT_EQ(m_window->Page(), nullptr);
    EXPECT_EQ(m_window->Hwnd(), nullptr);
}

TEST_F(MainPageTest, LeftClicksOnTheStatusPaneNeitherMoveTheCaretNorSelect) {
    Open();
    if (HasFatalFailure() || IsSkipped()) return;
    m_window->Page()->ShowStatus("Разбор ...\r\n", 128);
    m_window->Page()->ShowStatus("Обновление ПО...: 5 % \r\n", 0);
    auto selection = [&] { return ::SendMessageW(Pane(), EM_GETSEL, 0, 0); };
    const LRESULT caret = selection();
    ASSERT_NE(caret, 0);
    const LPARAM firstLine = MAKELPARAM(2, 2);
    ::SendMessageW(Pane(), WM_LBUTTONDOWN, MK_LBUTTON, firstLine);
    ::SendMessageW(Pane(), WM_LBUTTONUP, 0, firstLine);
    EXPECT_EQ(selection(), caret);

    ::SendMessageW(Pane(), EM_SETSEL, 0, -1);
    const LRESULT all = selection();
    ::SendMessageW(Pane(), WM_LBUTTONDOWN, MK_LBUTTON, firstLine);
    ::SendMessageW(Pane(), WM_LBUTTONUP, 0, firstLine);
    ::SendMessageW(Pane(), WM_LBUTTONDBLCLK, MK_LBUTTON, firstLine);
    ::SendMessageW(Pane(), WM_LBUTTONUP, 0, firstLine);
    EXPECT_EQ(selection(), all);
    EXPECT_EQ(Text(Pane()), L"Разбор ...\r\nОбновление ПО...: 5 % \r\n");
}

TEST_F(MainPageTest, PaneShowsAppendedLinesAndANewTextFromItsTop) {
    Open();
    if (HasFatalFailure() || IsSkipped()) return;
    auto firstVisible = [&] { return ::SendMessageW(Pane(), EM_GETFIRSTVISIBLELINE, 0, 0); };
    std::string text = "a\r\n";
    for (int i = 0; i < 8; ++i) CMedit::SetStatusText(Pane(), text += "line\r\n");
    EXPECT_EQ(Text(Pane()), win32ui::Wide(text));
    EXPECT_GT(firstVisible(), 0);  // the last lines are in view
    CMedit::SetStatusText(Pane(), "命令无效，请重试!\n1\r\n2\r\n3\r\n4\r\n5\r\n6\r\n");
    EXPECT_EQ(firstVisible(), 0);
    // A lone line feed is not a line break in an edit control: it is left out.
    EXPECT_EQ(Text(Pane()), L"命令无效，请重试!1\r\n2\r\n3\r\n4\r\n5\r\n6\r\n");
    CMedit::SetStatusText(Pane(), "命令无效，请重试!\n1\r\n2\r\n3\r\n4\r\n5\r\n6\r\n7 %");
    EXPECT_GT(firstVisible(), 0);
}

}  // namespace
