// The update benchmark's report: the table on the terminal, the JSON file and the SVG chart.
#pragma once

#include <string>
#include <vector>

#include "bench/update/Run.h"

namespace bench {

// measuredInProcess: the row has the hand-off and CPU figures (not the minimal client's).
void PrintRow(const Row& r, bool measuredInProcess = true);
void PrintHeader();
void PrintRun(const RunResult& r);
bool WriteJson(const std::string& path, bool quick, unsigned long simSlackNs,
               const std::vector<RunResult>& runs, const FloorResult* floor);
// Grouped bars: the wire-bound ratio per payload, one bar per run, goals as ticks.
bool WriteSvg(const std::string& path, const std::vector<RunResult>& runs,
              const FloorResult* floor);

}  // namespace bench
