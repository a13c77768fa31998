// kalvo-updater: the window when a display is available, the terminal face otherwise.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/Log.h"
#include "core/Version.h"
#include "platform/Console.h"
#include "platform/Process.h"
#include "ui/Options.h"
#include "ui/PortList.h"
#include "ui/Session.h"
#include "ui/console/ConsoleFace.h"
#include "ui/station/StationFace.h"
#ifdef KALVO_HAVE_WINDOW
#include "ui/WindowFace.h"
#endif

int main(int argc, char** argv) {
    plat::PrepareConsole();
    // Output piped into a reader that stops early (| head) must not end the update: the writes
    // fail instead, and the log echo stops.
    plat::IgnoreBrokenPipe();
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
        std::printf("kalvo-updater %s (Zorvik Tool v0.2)\n", KALVO_VERSION);
        return EXIT_DONE;
    }
    if (opts.listPorts) {
        std::fputs(PortListText(opts.ports).c_str(), stdout);
        return EXIT_DONE;
    }
    if (opts.station) {
#ifdef KALVO_HAVE_STATION_WINDOW
        if (!opts.headless && plat::HaveDisplay()) return RunStationWindow(opts, argc, argv);
#endif
        return RunStationConsole(opts);
    }
    int code = EXIT_DONE;
    {
        CSession session(opts);
        if (!session.Prepare(error, code)) {
            std::fprintf(stderr, "kalvo-updater: %s\n", error.c_str());
            if (opts.json) {
                session.SetOutcome(code, error);
                std::fputs(session.JsonReport().c_str(), stdout);
            }
            return code;
        }
#ifdef KALVO_HAVE_WINDOW
        if (!opts.headless && plat::HaveDisplay()) {
            code = RunWindowFace(session, argc, argv);
        } else {
            code = RunConsoleFace(session);
        }
#else
        code = RunConsoleFace(session);
#endif
    }
    CloseLogFile();
    return code;
}
