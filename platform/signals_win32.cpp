// Stop requests on Windows: the console's control handler, which Windows runs on a thread of its
// own. Ctrl-C is the interrupt; Ctrl-Break, the console closing, log-off and shut-down ask the
// program to end.
#include <atomic>
#include <mutex>

#include "platform/Signals.h"
#include "platform/win32_util.h"

namespace plat {

namespace {

std::mutex& HandlerMutex() {
    static std::mutex mtx;
    return mtx;
}

std::function<void(StopRequest)>& Handler() {
    static std::function<void(StopRequest)> fn;
    return fn;
}

std::atomic<bool> g_bReleased{true};

BOOL WINAPI OnControl(DWORD type) {
    const bool interrupt = type == CTRL_C_EVENT;
    {
        std::lock_guard<std::mutex> lock(HandlerMutex());
        if (!Handler()) return FALSE;
        Handler()(interrupt ? StopRequest::Interrupt : StopRequest::Terminate);
    }
    // Windows ends the process once this returns from a closing console: give the program up to
    // four seconds to close its port first.
    if (!interrupt && type != CTRL_BREAK_EVENT) {
        for (int i = 0; i < 400 && !g_bReleased.load(); ++i) ::Sleep(10);
    }
    return TRUE;
}

}  // namespace

void CatchStopRequests(std::function<void(StopRequest)> onRequest) {
    {
        std::lock_guard<std::mutex> lock(HandlerMutex());
        Handler() = std::move(onRequest);
    }
    g_bReleased.store(false);
    ::SetConsoleCtrlHandler(&OnControl, TRUE);
}

void ReleaseStopRequests() {
    ::SetConsoleCtrlHandler(&OnControl, FALSE);
    std::lock_guard<std::mutex> lock(HandlerMutex());
    Handler() = nullptr;
    g_bReleased.store(true);
}

}  // namespace plat
