// The version box's test of both window faces, on the native window (under wine: xvfb-run);
// skipped without a display.
#include <atomic>
#include <memory>
#include <thread>

#include "app/PageTexts.h"
#include "res/resource.h"
#include "serial/PortTable.h"
#include "support/TestMain.h"
#include "support/VersionBoxTests.h"
#include "ui/win32/MainPage.h"
#include "ui/win32/Win32WindowSystem.h"
#include "win32/WindowTests.h"

namespace {

using namespace wintest;

class CWin32Face : public CFaceDriver {
public:
    ~CWin32Face() override {
        m_window.reset();
        if (m_dev) m_dev->Stop();
    }
    void Open(const sim::Options& opts, const std::string& dir) override {
        HWND probe = ::CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                       nullptr, nullptr);
        if (probe == nullptr) GTEST_SKIP() << "no display for windows";
        ::DestroyWindow(probe);
        std::string port, error;
        m_dev = std::make_unique<sim::CDevice>(opts);
        ASSERT_TRUE(m_dev->CreatePort(&port, &error) && m_dev->Start()) << error;
        serialports::SetPortTable({port});
        PageConfig config{.payloadDir = dir, .logPath = dir + "/KalvoLog.txt"};
        m_window = std::make_unique<CMainPage>(nullptr, config);
        ASSERT_TRUE(m_window->Create());
        m_hWnd = m_window->Hwnd();
        m_hButton = m_window->Control(IDC_BTN_UPDATE);
        m_hPane = m_window->Control(IDC_EDIT_STATUS);
    }
    void RunAsUser(const std::function<void()>& user) override {
        std::atomic<bool> done{false};
        std::thread t([&] {
            user();
            done = true;
        });
        while (!done) {
            MSG msg;
            while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                ::TranslateMessage(&msg);
                ::DispatchMessageW(&msg);
            }
            ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
        }
        t.join();
    }
    bool ButtonEnabled() override { return ::IsWindowEnabled(m_hButton) != FALSE; }
    void ClickButton() override { ::SendMessageW(m_hButton, BM_CLICK, 0, 0); }
    bool BoxShown() override {
        HWND box = FindOwnWindow(L"#32770", L"ERROR");
        if (box == nullptr || ::GetWindow(box, GW_OWNER) != m_hWnd || ::IsWindowEnabled(m_hWnd))
            return false;
        for (HWND c = ::FindWindowExW(box, nullptr, L"Static", nullptr); c != nullptr;
             c = ::FindWindowExW(box, c, L"Static", nullptr))
            if (Text(c) == L"This is not Q9-Dornvex program") return true;
        return false;
    }
    void PressBoxOk() override {
        if (HWND box = FindOwnWindow(L"#32770", L"ERROR")) ::PostMessageW(box, WM_COMMAND, IDOK, 0);
    }
    std::string PaneText() override { return win32ui::Utf8(Text(m_hPane)); }
    bool ReplyTimerSet() override { return m_window->WindowSystem()->IsTimerSet(TIMER_REPLY); }
    // The close box: the window is disabled behind the box, its close message still comes.
    void CloseWindow() override {
        ::PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
        // A close during a write asks first: the user says yes.
        const std::wstring caption = win32ui::Wide(TEXT_CLOSE_CAPTION);
        HWND question = nullptr;
        if (versionbox::WaitFor([&] {
                // The question's box is owned by the window, whose title it bears.
                for (HWND w = ::FindWindowExW(nullptr, nullptr, L"#32770", caption.c_str());
                     w != nullptr && question == nullptr;
                     w = ::FindWindowExW(nullptr, w, L"#32770", caption.c_str()))
                    if (::GetWindow(w, GW_OWNER) == m_hWnd && ::IsWindowVisible(w)) question = w;
                return question != nullptr || ::IsWindow(m_hWnd) == FALSE;
            }) &&
            question != nullptr)
            ::PostMessageW(question, WM_COMMAND, IDYES, 0);
    }
    bool PageGone() override { return ::IsWindow(m_hWnd) == FALSE; }
    sim::CDevice& Device() override { return *m_dev; }

private:
    std::unique_ptr<sim::CDevice> m_dev;
    std::unique_ptr<CMainPage> m_window;
    HWND m_hWnd = nullptr, m_hButton = nullptr, m_hPane = nullptr;
};

class VersionBoxTest : public WindowTest {
protected:
    void TearDown() override {
        m_face.reset();
        WindowTest::TearDown();
    }
    std::unique_ptr<CWin32Face> m_face = std::make_unique<CWin32Face>();
};

TEST_F(VersionBoxTest, OkContinuesTheHeldRun) {
    versionbox::OkContinuesTheRun(*m_face, m_dir.Path());
}

TEST_F(VersionBoxTest, ClosingTheWindowEndsTheHeldRun) {
    versionbox::ClosingTheWindowEndsTheRun(*m_face, m_dir.Path());
}

}  // namespace
