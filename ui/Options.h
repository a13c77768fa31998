// Command-line options of kalvo-updater, the same for both faces.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct UpdaterOptions {
    std::vector<std::string> ports;  // the port table, in order; empty: discover
    std::string payloadDir;          // empty: the executable's directory
    bool log = false;
    uint32_t baud = 256000;
    bool chipInfo = false;
    bool erase = false;
    std::string readFlash;
    bool simulate = false;
    bool headless = false;
    bool verify = false;     // read the firmware back after the run and compare it with the image
    bool json = false;       // a JSON report on standard output, the status texts on standard error
    bool listPorts = false;  // show the port table and what each port is, then exit
    bool help = false;
    bool version = false;
    uint32_t waitSeconds = 10;  // how long the terminal face waits for the device to answer
    // The service station: one child updater per device that answers, each with its record.
    bool station = false;
    bool once = false;     // the devices plugged in now, then exit
    std::string record{};  // the station's record file (CSV); empty: kalvo-station.csv
};

// Parses argv into opts. False with a one-line message in error on bad arguments.
bool ParseOptions(int argc, const char* const* argv, UpdaterOptions& opts, std::string& error);
std::string UsageText();

// Exit codes of the terminal face.
enum ExitCode {
    EXIT_DONE = 0,
    EXIT_DEVICE_ERROR = 1,
    EXIT_LINK = 2,
    EXIT_NO_DEVICE = 3,
    EXIT_PAYLOAD = 4,
    EXIT_USAGE = 64,
    // Stopped from outside, as a shell reports a process ended by the signal (128 + its number).
    EXIT_INTERRUPTED = 130,  // Ctrl-C (SIGINT)
    EXIT_TERMINATED = 143,   // SIGTERM
};
