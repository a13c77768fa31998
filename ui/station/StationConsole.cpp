// The terminal station: a table of the rows redrawn in place on a terminal, one line per start
// and end otherwise; Ctrl-C ends every child cleanly.
#include <cstdio>
#include <set>

#include "app/PayloadTable.h"
#include "platform/Console.h"
#include "platform/Paths.h"
#include "platform/Spawn.h"
#include "platform/Time.h"
#include "ui/station/StationFace.h"

namespace {

constexpr uint32_t REDRAW_MS = 250;

bool HasPayload(const std::string& dir) {
    for (const PayloadRow& row : kPayloads)
        if (plat::IsRegularFile(dir + "/" + row.file)) return true;
    return false;
}

std::string DirOf(const std::string& path) {
    size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

std::string Fit(std::string text, size_t width) {
    // Counted in code points: the texts are Russian and Chinese.
    size_t points = 0, cut = std::string::npos;
    for (size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
        if (points == width) cut = i;
        ++points;
    }
    if (cut != std::string::npos) return text.substr(0, cut);
    return text + std::string(width - points, ' ');
}

}  // namespace

bool MakeStationConfig(const UpdaterOptions& opts, StationConfig& cfg, std::string& error,
                       int& exitCode) {
    cfg.payloadDir = opts.payloadDir.empty() ? plat::ExecutableDir() : opts.payloadDir;
    if (!plat::IsDirectory(cfg.payloadDir)) {
        error = "--payload-dir: not a directory: " + cfg.payloadDir;
        exitCode = EXIT_USAGE;
        return false;
    }
    if (!HasPayload(cfg.payloadDir)) {
        error = "no payload file found in " + cfg.payloadDir;
        exitCode = EXIT_PAYLOAD;
        return false;
    }
    cfg.ports = opts.ports;
    cfg.once = opts.once;
    cfg.recordPath = opts.record.empty() ? "kalvo-station.csv" : opts.record;
    cfg.jsonRecord = opts.json;
    cfg.logDir = DirOf(cfg.recordPath) + "/kalvo-station-logs";
    if (cfg.childCommand.empty()) cfg.childCommand = {plat::ExecutablePath()};
    if (opts.verify) cfg.childExtra.push_back("--verify");
    if (opts.baud != 256000)
        cfg.childExtra.insert(cfg.childExtra.end(), {"--baud", std::to_string(opts.baud)});
    if (opts.waitSeconds != 10)
        cfg.childExtra.insert(cfg.childExtra.end(), {"--wait", std::to_string(opts.waitSeconds)});
    return true;
}

bool MakeStationConfigOrSay(const UpdaterOptions& opts, StationConfig& cfg, int& exitCode) {
    std::string error;
    if (MakeStationConfig(opts, cfg, error, exitCode)) return true;
    std::fprintf(stderr, "kalvo-updater: %s\n", error.c_str());
    return false;
}

std::string StationPayloadCell(const StationRow& row) {
    return row.payload >= 0 && row.payload < PAYLOAD_COUNT ? kPayloads[row.payload].title : "-";
}

std::string StationElapsedCell(const StationRow& row, uint32_t nowTick) {
    uint32_t ms = (row.running ? nowTick : row.endTick) - row.startTick;
    char text[24];
    std::snprintf(text, sizeof text, "%u:%02u", ms / 60000, ms / 1000 % 60);
    return text;
}

std::string StationOutcomeCell(const StationRow& row) {
    std::string text = row.outcome;
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    if (!row.running && row.exitCode != 0)
        text += " (exit code " + std::to_string(row.exitCode) + ")";
    return text;
}

int RunStationConsole(const UpdaterOptions& opts) {
    StationConfig cfg;
    int code = 0;
    if (!MakeStationConfigOrSay(opts, cfg, code)) return code;
    std::string error;
    // With --json the records go to standard output, the table to standard error.
    std::FILE* out = opts.json ? stderr : stdout;
    bool tty = !opts.json && plat::StdoutIsTerminal();
    CStation station(cfg);
    if (opts.json)
        station.onRecord = [](const std::string& line) {
            std::fprintf(stdout, "%s\n", line.c_str());
            std::fflush(stdout);
        };
    plat::CatchStopSignals();
    if (!station.Start(error)) {
        std::fprintf(stderr, "kalvo-updater: %s\n", error.c_str());
        return EXIT_USAGE;
    }
    std::fprintf(out, "Station: payloads from %s, record %s%s\n", cfg.payloadDir.c_str(),
                 cfg.recordPath.c_str(), opts.once ? "" : "; Ctrl-C ends");
    std::fflush(out);
    std::set<int> started, ended;
    size_t drawn = 0;
    for (;;) {
        bool finished = station.Finished();
        if (!finished && plat::StopSignal() != 0) {
            std::fprintf(out, "Stopping: every device still being updated is interrupted.\n");
            drawn = 0;
            station.Stop(plat::StopSignal());
            finished = true;
        }
        std::vector<StationRow> rows = station.Rows();
        uint32_t now = plat::GetTickCount();
        if (tty) {
            if (drawn) std::fprintf(out, "\033[%zuA", drawn);
            std::fprintf(out, "\r\033[K %-3s %s %s %s %-8s %-6s %s\n", "#", Fit("port", 14).c_str(),
                         Fit("adapter", 10).c_str(), Fit("payload", 15).c_str(), "progress", "time",
                         "outcome");
            for (const StationRow& r : rows) {
                char bar[16];
                std::snprintf(bar, sizeof bar, "%3d %%", r.percent);
                // A line longer than the terminal would wrap and spoil the redraw.
                std::fprintf(
                    out, "\r\033[K %-3d %s %s %s %-8s %-6s %s\n", r.id, Fit(r.port, 14).c_str(),
                    Fit(r.serial.empty() ? "-" : r.serial, 10).c_str(),
                    Fit(StationPayloadCell(r), 15).c_str(), r.payload < 0 ? "" : bar,
                    StationElapsedCell(r, now).c_str(), Fit(StationOutcomeCell(r), 36).c_str());
            }
            drawn = rows.size() + 1;
        } else {
            for (const StationRow& r : rows) {
                if (started.insert(r.id).second)
                    std::fprintf(out, "[%d] %s: started%s\n", r.id, r.port.c_str(),
                                 r.serial.empty() ? "" : (" (adapter " + r.serial + ")").c_str());
                if (!r.running && ended.insert(r.id).second)
                    std::fprintf(out, "[%d] %s: %s after %s; log %s\n", r.id, r.port.c_str(),
                                 StationOutcomeCell(r).c_str(), StationElapsedCell(r, now).c_str(),
                                 r.logPath.c_str());
            }
        }
        std::fflush(out);
        if (finished) break;
        plat::Sleep(REDRAW_MS);
    }
    station.Stop(0);
    std::vector<StationRow> rows = station.Rows();
    int ok = 0;
    for (const StationRow& r : rows) ok += r.exitCode == 0;
    if (rows.empty() && opts.once)
        std::fprintf(out, "No device answered on the serial ports.\n");
    else
        std::fprintf(out, "Station: %zu device run(s), %d succeeded, %zu did not.\n", rows.size(),
                     ok, rows.size() - static_cast<size_t>(ok));
    std::fflush(out);
    return station.ExitCode();
}
