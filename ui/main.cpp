// kalvo-updater: the window when a display is available, the terminal face otherwise.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/Log.h"
#include "platform/Console.h"
#include "platform/Process.h"
#include "ui/Options.h"
#include "ui/Session.h"
#include "ui/console/ConsoleFace.h"
#ifdef KALVO_HAVE_QT
#include "ui/qt/QtFace.h"
#endif
#ifdef KALVO_HAVE_WIN32
#include "ui/win32/Win32Face.h"
#endif

int main(int argc, char** argv) {
    std::vector<std::string> args = plat::Utf8Arguments(argc, argv);
    std::vector<const char*> argp;
    for (const std::string& a : args) argp.push_back(a.c_str());
    UpdaterOptions opts;
    std::string error;
    if (!ParseOptions(static_cast<int>(argp.size()), argp.data(), opts, error)) {
        std::fprintf(stderr, "kalvo-updater: %s\nTry 'kalvo-updater --help'.\n", error.c_str());
        return EXIT_USAGE;
    }
    if (opts.help) {
        std::fputs(UsageText().c_str(), stdout);
        return EXIT_DONE;
    }
    if (opts.version) {
        std::printf("kalvo-updater 0.2 (Zorvik Tool v0.2)\n");
        return EXIT_DONE;
    }
    int code = EXIT_DONE;
    {
        CSession session(opts);
        if (!session.Prepare(error, code)) {
            std::fprintf(stderr, "kalvo-updater: %s\n", error.c_str());
            return code;
        }
#if defined(KALVO_HAVE_QT)
        if (!opts.headless && plat::HaveDisplay()) {
            code = RunQtFace(session, argc, argv);
        } else {
            code = RunConsoleFace(session);
        }
#elif defined(KALVO_HAVE_WIN32)
        code =
            opts.headless || !plat::HaveDisplay() ? RunConsoleFace(session) : RunWin32Face(session);
#else
        code = RunConsoleFace(session);
#endif
    }
    CloseLogFile();
    return code;
}
