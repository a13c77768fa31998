// One whole update of the reference set through the program's own pieces, and the simulator's
// floor run beside it; what each measured, per payload and overall.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bench/update/Measure.h"
#include "bench/update/ReferenceSet.h"

namespace bench {

struct Row {
    std::string name, unit;
    double goal = 0;
    int frames = 0;
    uint64_t bytesIn = 0, bytesOut = 0;
    double measuredMs = 0, wireMs = 0;
    Stats turnaround;
    Stats handoff;  // answer complete on the reader -> next frame handed to the port
    double cpuPct = 0, updaterCpuPct = 0, readerCpuPct = 0;
    double pauseAfterMs = -1;  // -1: no pause follows
    double Ratio() const { return measuredMs > 0 ? wireMs / measuredMs : 0; }
    double OverheadUs() const { return frames > 0 ? (measuredMs - wireMs) * 1000.0 / frames : 0; }
};

struct RunResult {
    std::string mode;
    std::string loadBefore, loadAfter;
    bool ok = false;
    std::string error;
    std::vector<Row> rows;
    Row overall;
    double idleCpuPct = 0, idleReaderCpuPct = 0;
    double idleSeconds = 0;
    double totalMs = 0;
    long peakRssKiB = 0;
    std::vector<std::string> checks;
};

struct FloorResult {
    bool ok = false;
    std::string error;
    Row row;
};

// The update of the payload set through the page, the controller, the task manager and the serial
// port against the simulated device at the line's own speed; blind: the read loop sleeps 1 ms after
// every read (the first design).
RunResult RunUpdate(const std::vector<PayloadDef>& defs, const PayloadSet& set, bool blind,
                    double idleSeconds, uint32_t maxSeconds, unsigned long simSlackNs);
// The simulator's own floor: the same 16-byte firmware exchange driven by a minimal client that
// blocks on the line and answers at once, with nothing of the program in between.
FloorResult RunFloor(size_t records, unsigned long simSlackNs);

}  // namespace bench
