// The child updater of the station's tests: the terminal face with the time scale given as the
// first argument, so that its pauses and time-outs run at the pace of the test.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/Time.h"
#include "ui/Options.h"
#include "ui/Session.h"
#include "ui/console/ConsoleFace.h"

int main(int argc, char** argv) {
    if (argc < 2) return EXIT_USAGE;
    plat::SetTimeScale(std::atof(argv[1]));
    std::vector<const char*> args = {argv[0]};
    for (int i = 2; i < argc; ++i) args.push_back(argv[i]);
    UpdaterOptions opts;
    std::string error;
    if (!ParseOptions(static_cast<int>(args.size()), args.data(), opts, error)) return EXIT_USAGE;
    CSession session(opts);
    int code = EXIT_DONE;
    if (!session.Prepare(error, code)) {
        session.SetOutcome(code, error);
        std::fputs(session.JsonReport().c_str(), stdout);
        return code;
    }
    return RunConsoleFace(session);
}
