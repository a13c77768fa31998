// The station's faces: the terminal one here, the window in ui/qt; what both show of a row.
#pragma once

#include <string>

#include "ui/Options.h"
#include "ui/station/Station.h"

// The station's configuration from the command line. False with a message and an exit code
// when it cannot start (no payload file, a directory that is not one).
bool MakeStationConfig(const UpdaterOptions& opts, StationConfig& cfg, std::string& error,
                       int& exitCode);

// The same, saying why on standard error; false with the exit code when it cannot start.
bool MakeStationConfigOrSay(const UpdaterOptions& opts, StationConfig& cfg, int& exitCode);

// The cells of a row as both faces show them.
std::string StationPayloadCell(const StationRow& row);
std::string StationElapsedCell(const StationRow& row, uint32_t nowTick);
// The outcome on one line.
std::string StationOutcomeCell(const StationRow& row);

// The terminal station; returns the exit code.
int RunStationConsole(const UpdaterOptions& opts);
// The station window (ui/qt); returns the exit code.
int RunStationWindow(const UpdaterOptions& opts, int argc, char** argv);
