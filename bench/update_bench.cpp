// Whole updates of a reference payload set through the real program pieces (page, controller,
// task manager, serial port) against the simulated device on a pseudo-terminal that emulates the
// wire time of 256000 baud. Reports, per payload and overall, the measured transfer time against
// the bound the line itself sets, the updater's turnaround as the device saw it, CPU and memory.
// This file holds the command line; bench/update/ holds the reference set (ReferenceSet), the
// measuring tools (Measure), the run and the simulator's floor (Run, Floor) and the report
// (Report).
//
//   kalvo-bench-update [--quick] [--blind-sleep | --compare] [--no-floor]
//                      [--sim-timer-slack NS] [--json FILE] [--svg FILE]

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/update/Report.h"
#include "bench/update/Run.h"
#include "core/Log.h"
#include "platform/Time.h"

using namespace bench;

namespace {

void Usage() {
    std::fprintf(stderr,
                 "usage: kalvo-bench-update [--quick] [--blind-sleep | --compare] [--no-floor]\n"
                 "                          [--sim-timer-slack NS] [--json FILE] [--svg FILE]\n"
                 "  --quick        a small payload set (a smoke run, about 20 s per run)\n"
                 "  --blind-sleep  the read loop sleeps 1 ms after every read (the first design)\n"
                 "  --compare      run the blind-sleep design, then the current one\n"
                 "  --no-floor     skip the minimal-client run that shows the simulator's floor\n"
                 "  --sim-timer-slack NS  timer slack of the simulated device's thread\n"
                 "                 (default 1; 0 keeps the kernel's, usually 50000)\n");
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = false, blind = false, compare = false, withFloor = true;
    unsigned long simSlackNs = 1;
    std::string jsonPath, svgPath;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--quick") {
            quick = true;
        } else if (a == "--blind-sleep") {
            blind = true;
        } else if (a == "--compare") {
            compare = true;
        } else if (a == "--no-floor") {
            withFloor = false;
        } else if (a == "--sim-timer-slack" && i + 1 < argc) {
            simSlackNs = std::strtoul(argv[++i], nullptr, 10);
        } else if (a == "--json" && i + 1 < argc) {
            jsonPath = argv[++i];
        } else if (a == "--svg" && i + 1 < argc) {
            svgPath = argv[++i];
        } else {
            Usage();
            return 2;
        }
    }
    plat::SetTimeScale(1.0);
    g_bLogEnable.store(0);

    std::vector<PayloadDef> defs = ReferenceSet(quick);
    PayloadSet set;
    if (!MakePayloads(defs, set)) {
        std::fprintf(stderr, "cannot write the payload files\n");
        return 1;
    }
    std::printf(
        "kalvo-bench-update: %s set: firmware %zu KiB (16-byte records), edog %zu KiB, "
        "music %zu KiB, radar %zu KiB; 256000 baud 8N1, device processing 0, device timer "
        "slack %lu ns\n",
        quick ? "quick" : "reference", defs[0].bytes / 1024, defs[1].bytes / 1024,
        defs[2].bytes / 1024, defs[3].bytes / 1024, simSlackNs);
    std::fflush(stdout);

    double idle = quick ? 1.0 : 3.0;
    uint32_t maxSeconds = quick ? 180 : 900;
    std::vector<RunResult> runs;
    if (compare || blind) {
        runs.push_back(RunUpdate(defs, set, true, idle, maxSeconds, simSlackNs));
        PrintRun(runs.back());
        std::fflush(stdout);
    }
    if (compare || !blind) {
        runs.push_back(RunUpdate(defs, set, false, idle, maxSeconds, simSlackNs));
        PrintRun(runs.back());
        std::fflush(stdout);
    }
    FloorResult floor;
    if (withFloor) {
        floor = RunFloor(quick ? 1024 : 4096, simSlackNs);
        std::printf("\n== the simulator's floor: a minimal client, no program in between\n");
        if (floor.ok) {
            PrintHeader();
            PrintRow(floor.row, false);
        } else {
            std::printf("FAILED: %s\n", floor.error.c_str());
        }
    }
    const FloorResult* fp = withFloor ? &floor : nullptr;
    if (!jsonPath.empty() && !WriteJson(jsonPath, quick, simSlackNs, runs, fp)) {
        std::fprintf(stderr, "cannot write %s\n", jsonPath.c_str());
        return 1;
    }
    if (!svgPath.empty() && !WriteSvg(svgPath, runs, fp)) {
        std::fprintf(stderr, "cannot write %s\n", svgPath.c_str());
        return 1;
    }
    bool ok = true;
    for (const RunResult& r : runs) ok = ok && r.ok;
    return ok ? 0 : 1;
}
