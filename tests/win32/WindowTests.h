// What the native window's tests share: reading a control's text, running the window's messages
// or polling from another thread until something holds, finding this process's windows and boxes,
// and a fixture with the time scale, the common controls and a clean end.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/Time.h"
#include "serial/PortTable.h"
#include "sim/Device.h"
#include "support/TestMain.h"
#include "ui/win32/MainPage.h"

namespace wintest {

using Clock = std::chrono::steady_clock;

inline std::wstring Text(HWND hwnd) {
    wchar_t buf[4096] = {};
    // WM_GETTEXT, so that it also works from another thread while a modal loop runs.
    ::SendMessageW(hwnd, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(buf));
    return buf;
}

// Runs the window's messages until pred holds. The limit only keeps a broken build from hanging.
inline bool RunUntil(const std::function<bool()>& pred) {
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

// Polls from another thread until found() holds; the window's own thread may be in a modal loop.
inline bool WaitFor(const std::function<bool()>& found) {
    auto end = Clock::now() + std::chrono::seconds(60);
    while (!found() && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return found();
}

// A window of this process, of class cls, visible.
inline HWND FindOwnWindow(const wchar_t* cls, const wchar_t* title) {
    for (HWND w = ::FindWindowExW(nullptr, nullptr, cls, title); w != nullptr;
         w = ::FindWindowExW(nullptr, w, cls, title)) {
        DWORD pid = 0;
        ::GetWindowThreadProcessId(w, &pid);
        if (pid == ::GetCurrentProcessId() && ::IsWindowVisible(w)) return w;
    }
    return nullptr;
}

// The message box that owner shows, if any.
inline HWND OwnedBox(HWND owner) {
    for (HWND w = ::FindWindowExW(nullptr, nullptr, L"#32770", nullptr); w != nullptr;
         w = ::FindWindowExW(nullptr, w, L"#32770", nullptr))
        if (::GetWindow(w, GW_OWNER) == owner && ::IsWindowVisible(w)) return w;
    return nullptr;
}

inline std::wstring BoxText(HWND box) {
    std::wstring all;
    for (HWND c = ::FindWindowExW(box, nullptr, L"Static", nullptr); c != nullptr;
         c = ::FindWindowExW(box, c, L"Static", nullptr))
        all += Text(c);
    return all;
}

// Whether windows can be made here (under wine: a display, xvfb-run).
inline bool HaveDisplay() {
    HWND probe = ::CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                   nullptr, nullptr);
    if (probe == nullptr) return false;
    ::DestroyWindow(probe);
    return true;
}

// Fast, and still with room for wine's latency on a loaded machine in the reply timer.
class WindowTest : public testing::Test {
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
    PageConfig Config() const {
        return PageConfig{.payloadDir = m_dir.Path(), .logPath = m_dir.File("KalvoLog.txt")};
    }

    testsupport::TempDir m_dir;
    std::unique_ptr<sim::CDevice> m_dev;
    std::unique_ptr<CMainPage> m_window;
};

}  // namespace wintest
