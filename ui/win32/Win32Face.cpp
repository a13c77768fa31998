// The window face on Windows: the updater page in a native window.
#include "ui/WindowFace.h"
#include "ui/win32/MainPage.h"
#include "ui/win32/Win32.h"

namespace {

// Started from Explorer, the program gets a console window of its own beside the window: let it
// go. Started from a console, it keeps that console for the log lines.
void ReleaseOwnConsole() {
    DWORD processes[2];
    if (::GetConsoleWindow() != nullptr && ::GetConsoleProcessList(processes, 2) == 1)
        ::FreeConsole();
}

}  // namespace

int RunWindowFace(CSession& session, int /*argc*/, char** /*argv*/) {
    ReleaseOwnConsole();
    INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_WIN95_CLASSES};
    ::InitCommonControlsEx(&icc);
    CMainPage window(&session, session.MakePageConfig());
    window.DoModal();
    return 0;
}
