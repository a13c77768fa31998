// The update benchmark's report: the table on the terminal, the JSON file and the SVG chart.
#include "bench/update/Report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <thread>

namespace bench {

namespace {

std::string ModeText(const std::string& mode) {
    return mode == "blind-sleep" ? "before: the read loop sleeps 1 ms blindly after every read"
                                 : "after: the read loop waits in poll for data";
}

}  // namespace

void PrintRow(const Row& r, bool measuredInProcess) {
    char goal[16] = "   -";
    if (r.goal > 0) std::snprintf(goal, sizeof goal, "%.2f", r.goal);
    std::printf("%-10s %6d %9llu %9.1f %9.1f  %5.3f %s %7.1f  %6.1f %7.1f", r.name.c_str(),
                r.frames, static_cast<unsigned long long>(r.bytesIn + r.bytesOut), r.measuredMs,
                r.wireMs, r.Ratio(), goal, r.OverheadUs(), r.turnaround.median, r.turnaround.p99);
    if (measuredInProcess) {
        std::printf("  %6.1f %7.1f  %5.1f %5.1f %5.1f", r.handoff.median, r.handoff.p99, r.cpuPct,
                    r.updaterCpuPct, r.readerCpuPct);
    }
    std::printf("\n");
}

void PrintHeader() {
    std::printf("%-10s %6s %9s %9s %9s  %5s %4s %7s  %14s  %14s  %5s %5s %5s\n", "payload",
                "frames", "bytes", "measured", "wire", "ratio", "goal", "over/f", "turnaround us",
                "hand-off us", "cpu%", "upd%", "rdr%");
    std::printf("%-10s %6s %9s %9s %9s  %5s %4s %7s  %6s %7s  %6s %7s\n", "", "", "on line", "ms",
                "ms", "", "", "us", "median", "p99", "median", "p99");
}

void PrintRun(const RunResult& r) {
    std::printf("\n== %s\n", ModeText(r.mode).c_str());
    if (!r.error.empty()) {
        std::printf("FAILED: %s\n", r.error.c_str());
        return;
    }
    PrintHeader();
    for (const Row& row : r.rows) PrintRow(row);
    PrintRow(r.overall);
    std::printf("load average before/after: %s / %s\n", r.loadBefore.c_str(), r.loadAfter.c_str());
    std::printf("pauses (excluded above):");
    for (const Row& row : r.rows)
        if (row.pauseAfterMs >= 0)
            std::printf(" after %s %.1f ms;", row.name.c_str(), row.pauseAfterMs);
    std::printf("\nwhole run, pauses included: %.1f s\n", r.totalMs / 1000.0);
    std::printf("CPU, port open and idle: %.2f %% of a core, the reader %.2f %% (over %.0f s)\n",
                r.idleCpuPct, r.idleReaderCpuPct, r.idleSeconds);
    std::printf("peak RSS of the process: %.1f MiB\n", r.peakRssKiB / 1024.0);
    for (const auto& c : r.checks) std::printf("CHECK FAILED: %s\n", c.c_str());
    if (r.checks.empty()) std::printf("device received every payload byte for byte\n");
}

namespace {

std::string Num(double v, int digits = 3) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", digits, v);
    return buf;
}

std::string Quote(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// measuredInProcess: the row has the hand-off and CPU figures (not the minimal client's).
std::string RowJson(const Row& r, const std::string& indent, bool measuredInProcess = true) {
    std::string s =
        indent + "{\"name\": " + Quote(r.name) + ", \"unit\": " + Quote(r.unit) +
        ", \"frames\": " + std::to_string(r.frames) +
        ", \"bytes_in\": " + std::to_string(r.bytesIn) +
        ", \"bytes_out\": " + std::to_string(r.bytesOut) + ",\n" + indent +
        " \"measured_ms\": " + Num(r.measuredMs, 1) + ", \"wire_bound_ms\": " + Num(r.wireMs, 1) +
        ", \"ratio\": " + Num(r.Ratio()) +
        ", \"goal\": " + (r.goal > 0 ? Num(r.goal, 2) : std::string("null")) +
        ", \"overhead_per_frame_us\": " + Num(r.OverheadUs(), 1) + ",\n" + indent +
        " \"turnaround_us\": {\"samples\": " + std::to_string(r.turnaround.samples) +
        ", \"median\": " + Num(r.turnaround.median, 1) + ", \"p99\": " + Num(r.turnaround.p99, 1) +
        ", \"mean\": " + Num(r.turnaround.mean, 1) + ", \"max\": " + Num(r.turnaround.max, 1) + "}";
    if (!measuredInProcess) return s + "}";
    s += ",\n" + indent + " \"handoff_us\": {\"samples\": " + std::to_string(r.handoff.samples) +
         ", \"median\": " + Num(r.handoff.median, 1) + ", \"p99\": " + Num(r.handoff.p99, 1) +
         ", \"max\": " + Num(r.handoff.max, 1) + "},\n" + indent +
         " \"cpu_percent\": " + Num(r.cpuPct, 2) +
         ", \"updater_cpu_percent\": " + Num(r.updaterCpuPct, 2) +
         ", \"reader_cpu_percent\": " + Num(r.readerCpuPct, 2);
    if (r.pauseAfterMs >= 0) s += ", \"pause_after_ms\": " + Num(r.pauseAfterMs, 1);
    return s + "}";
}

std::string RunJson(const RunResult& r) {
    std::string s = "    {\"mode\": " + Quote(r.mode) +
                    ", \"description\": " + Quote(ModeText(r.mode)) +
                    ", \"ok\": " + (r.ok ? "true" : "false");
    if (!r.error.empty()) return s + ", \"error\": " + Quote(r.error) + "}";
    s += ",\n     \"payloads\": [\n";
    for (size_t i = 0; i < r.rows.size(); ++i)
        s += RowJson(r.rows[i], "       ") + (i + 1 < r.rows.size() ? ",\n" : "\n");
    s += "     ],\n     \"overall\":\n" + RowJson(r.overall, "       ") + ",\n";
    s += "     \"run_seconds_with_pauses\": " + Num(r.totalMs / 1000.0, 1) +
         ", \"idle_cpu_percent\": " + Num(r.idleCpuPct, 2) +
         ", \"idle_reader_cpu_percent\": " + Num(r.idleReaderCpuPct, 2) +
         ", \"peak_rss_mib\": " + Num(r.peakRssKiB / 1024.0, 1) +
         ",\n     \"load_average_before\": " + Quote(r.loadBefore) +
         ", \"load_average_after\": " + Quote(r.loadAfter) + ",\n     \"checks\": [";
    for (size_t i = 0; i < r.checks.size(); ++i) s += (i ? ", " : "") + Quote(r.checks[i]);
    return s + "]}";
}

}  // namespace

bool WriteJson(const std::string& path, bool quick, unsigned long simSlackNs,
               const std::vector<RunResult>& runs, const FloorResult* floor) {
    std::string s = "{\n  \"benchmark\": \"kalvo-bench-update\",\n  \"quick\": " +
                    std::string(quick ? "true" : "false") +
                    ",\n  \"baud\": 256000, \"bits_per_byte\": 10, \"device_processing_us\": 0, "
                    "\"sim_timer_slack_ns\": " +
                    std::to_string(simSlackNs) +
                    ",\n  \"cores\": " + std::to_string(std::thread::hardware_concurrency()) +
                    ",\n  \"runs\": [\n";
    for (size_t i = 0; i < runs.size(); ++i)
        s += RunJson(runs[i]) + (i + 1 < runs.size() ? ",\n" : "\n");
    s += "  ]";
    if (floor != nullptr && floor->ok)
        s += ",\n  \"sim_floor\":\n" + RowJson(floor->row, "    ", false);
    s += "\n}\n";
    return WriteFile(path, s.data(), s.size());
}

bool WriteSvg(const std::string& path, const std::vector<RunResult>& runs,
              const FloorResult* floor) {
    const int W = 760, H = 390, left = 60, right = 20, top = 62, bottom = 70;
    const int plotW = W - left - right, plotH = H - top - bottom;
    std::vector<std::string> groups;
    for (const RunResult& r : runs) {
        if (r.error.empty() && groups.empty()) {
            for (const Row& row : r.rows) groups.push_back(row.name);
            groups.push_back("overall");
        }
    }
    bool withFloor = floor != nullptr && floor->ok;
    if (groups.empty()) return false;
    const char* colours[] = {"#b0b0b0", "#2f6db5", "#7fb05a"};
    std::string s = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(W) +
                    "\" height=\"" + std::to_string(H) + "\" viewBox=\"0 0 " + std::to_string(W) +
                    " " + std::to_string(H) + "\" font-family=\"sans-serif\" font-size=\"12\">\n";
    s += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    s += "<text x=\"" + std::to_string(W / 2) +
         "\" y=\"22\" text-anchor=\"middle\" font-size=\"15\">Wire-limited bound / measured "
         "time at 256000 baud (1.0 = the line is the only limit)</text>\n";
    std::vector<std::string> parts;
    for (const RunResult& r : runs) {
        if (!r.error.empty()) continue;
        parts.push_back(std::string(r.mode == "blind-sleep" ? "before " : "after ") +
                        Num(r.overall.turnaround.median, 0) + " / " +
                        Num(r.overall.turnaround.p99, 0) + " us");
    }
    if (withFloor)
        parts.push_back("minimal client " + Num(floor->row.turnaround.median, 0) + " / " +
                        Num(floor->row.turnaround.p99, 0) + " us");
    std::string sub = "turnaround as the device saw it, median / p99:";
    for (size_t i = 0; i < parts.size(); ++i) sub += (i ? "; " : " ") + parts[i];
    s += "<text x=\"" + std::to_string(W / 2) +
         "\" y=\"40\" text-anchor=\"middle\" fill=\"#444444\">" + sub + "</text>\n";
    auto y = [&](double v) { return top + plotH - static_cast<int>(std::lround(v * plotH)); };
    for (int g = 0; g <= 4; ++g) {
        double v = g / 4.0;
        s += "<line x1=\"" + std::to_string(left) + "\" x2=\"" + std::to_string(W - right) +
             "\" y1=\"" + std::to_string(y(v)) + "\" y2=\"" + std::to_string(y(v)) +
             "\" stroke=\"#dddddd\"/>\n";
        s += "<text x=\"" + std::to_string(left - 6) + "\" y=\"" + std::to_string(y(v) + 4) +
             "\" text-anchor=\"end\">" + Num(v, 2) + "</text>\n";
    }
    int nGroups = static_cast<int>(groups.size()) + (withFloor ? 1 : 0);
    int groupW = plotW / nGroups;
    int nBars = static_cast<int>(runs.size());
    int barW = std::max(8, (groupW - 30) / std::max(1, nBars));
    for (int g = 0; g < static_cast<int>(groups.size()); ++g) {
        int gx = left + g * groupW + 15;
        double goal = 0;
        for (int b = 0; b < nBars; ++b) {
            const RunResult& r = runs[static_cast<size_t>(b)];
            if (!r.error.empty()) continue;
            const Row& row =
                g < static_cast<int>(r.rows.size()) ? r.rows[static_cast<size_t>(g)] : r.overall;
            goal = row.goal;
            double v = std::min(1.0, row.Ratio());
            int x = gx + b * barW;
            s += "<rect x=\"" + std::to_string(x) + "\" y=\"" + std::to_string(y(v)) +
                 "\" width=\"" + std::to_string(barW - 4) + "\" height=\"" +
                 std::to_string(top + plotH - y(v)) + "\" fill=\"" +
                 colours[r.mode == "blind-sleep" ? 0 : 1] + "\"/>\n";
            s += "<text x=\"" + std::to_string(x + (barW - 4) / 2) + "\" y=\"" +
                 std::to_string(y(v) - 4) + "\" text-anchor=\"middle\" font-size=\"11\">" +
                 Num(row.Ratio(), 2) + "</text>\n";
        }
        if (goal > 0) {
            s += "<line x1=\"" + std::to_string(gx - 4) + "\" x2=\"" +
                 std::to_string(gx + nBars * barW) + "\" y1=\"" + std::to_string(y(goal)) +
                 "\" y2=\"" + std::to_string(y(goal)) +
                 "\" stroke=\"#d03030\" stroke-dasharray=\"4 3\"/>\n";
        }
        s += "<text x=\"" + std::to_string(gx + (nBars * barW) / 2) + "\" y=\"" +
             std::to_string(top + plotH + 18) + "\" text-anchor=\"middle\">" +
             groups[static_cast<size_t>(g)] + "</text>\n";
    }
    if (withFloor) {
        int gx = left + static_cast<int>(groups.size()) * groupW + 15;
        double v = std::min(1.0, floor->row.Ratio());
        s += "<rect x=\"" + std::to_string(gx) + "\" y=\"" + std::to_string(y(v)) + "\" width=\"" +
             std::to_string(barW - 4) + "\" height=\"" + std::to_string(top + plotH - y(v)) +
             "\" fill=\"" + colours[2] + "\"/>\n";
        s += "<text x=\"" + std::to_string(gx + (barW - 4) / 2) + "\" y=\"" +
             std::to_string(y(v) - 4) + "\" text-anchor=\"middle\" font-size=\"11\">" +
             Num(floor->row.Ratio(), 2) + "</text>\n";
        s += "<text x=\"" + std::to_string(gx + barW / 2) + "\" y=\"" +
             std::to_string(top + plotH + 18) + "\" text-anchor=\"middle\">sim floor</text>\n";
    }
    int ly = H - 22;
    int lx = left;
    auto legend = [&](const char* colour, const std::string& text) {
        s += "<rect x=\"" + std::to_string(lx) + "\" y=\"" + std::to_string(ly - 10) +
             "\" width=\"12\" height=\"12\" fill=\"" + colour + "\"/>\n";
        s += "<text x=\"" + std::to_string(lx + 16) + "\" y=\"" + std::to_string(ly) + "\">" +
             text + "</text>\n";
        lx += 16 + static_cast<int>(text.size()) * 6 + 20;
    };
    for (const RunResult& r : runs) {
        legend(colours[r.mode == "blind-sleep" ? 0 : 1],
               r.mode == "blind-sleep" ? "before (1 ms blind sleep)" : "after (poll wait)");
    }
    if (withFloor) legend(colours[2], "minimal client, 16-byte records");
    s += "<line x1=\"" + std::to_string(lx) + "\" x2=\"" + std::to_string(lx + 18) + "\" y1=\"" +
         std::to_string(ly - 4) + "\" y2=\"" + std::to_string(ly - 4) +
         "\" stroke=\"#d03030\" stroke-dasharray=\"4 3\"/>\n";
    s += "<text x=\"" + std::to_string(lx + 22) + "\" y=\"" + std::to_string(ly) +
         "\">goal</text>\n";
    s += "</svg>\n";
    return WriteFile(path, s.data(), s.size());
}

}  // namespace bench
