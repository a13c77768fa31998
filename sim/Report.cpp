// The simulated device's report of what it received, as JSON.
#include <algorithm>
#include <cstdio>

#include "sim/Device.h"

namespace sim {

namespace {

std::string Quote(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20) {
            char buf[8];
            snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

std::string Bool(bool b) {
    return b ? "true" : "false";
}

std::string Number(double v) {
    char buf[32];
    snprintf(buf, sizeof buf, "%.1f", v);
    return buf;
}

std::string Payload(const PayloadReport& p, bool withAnnounced) {
    std::string s = "{\"bytes\": " + std::to_string(p.bytes) + ", \"sha256\": " + Quote(p.sha256) +
                    ", \"frames\": " + std::to_string(p.frames) + ", \"begun\": " + Bool(p.begun) +
                    ", \"ended\": " + Bool(p.ended);
    if (withAnnounced) s += ", \"announced\": " + std::to_string(p.announced);
    return s + "}";
}

}  // namespace

std::string Report::ToJson() const {
    std::string s = "{\n  \"baud\": " + std::to_string(baud) + ",\n  \"commands\": [";
    for (size_t i = 0; i < commands.size(); ++i) {
        s += (i ? ", " : "") + std::to_string(commands[i]);
    }
    s += "],\n  \"firmware\": {\"frames\": " + std::to_string(fwFrames) +
         ", \"begun\": " + Bool(fwBegun) + ", \"ended\": " + Bool(fwEnded) + ", \"segments\": [";
    for (size_t i = 0; i < firmware.size(); ++i) {
        s += std::string(i ? ", " : "") + "{\"address\": " + std::to_string(firmware[i].address) +
             ", \"length\": " + std::to_string(firmware[i].length) +
             ", \"sha256\": " + Quote(firmware[i].sha256) + "}";
    }
    s += "]},\n  \"edog\": " + Payload(edog, false) + ",\n  \"music\": " + Payload(music, false) +
         ",\n  \"radar\": " + Payload(radar, true) + ",\n  \"violations\": [";
    for (size_t i = 0; i < violations.size(); ++i) s += (i ? ", " : "") + Quote(violations[i]);
    s += "],\n  \"framesIn\": " + std::to_string(framesIn) +
         ",\n  \"answersOut\": " + std::to_string(answersOut) +
         ",\n  \"bytesIn\": " + std::to_string(bytesIn) +
         ",\n  \"bytesOut\": " + std::to_string(bytesOut) + ",\n  \"hungUp\": " + Bool(hungUp);

    std::vector<double> t = turnaroundMicros;
    std::sort(t.begin(), t.end());
    s += ",\n  \"turnaround\": {\"count\": " + std::to_string(t.size());
    if (!t.empty()) {
        size_t n = t.size();
        double median = n % 2 ? t[n / 2] : (t[n / 2 - 1] + t[n / 2]) / 2;
        // Nearest rank.
        size_t rank = (n * 99 + 99) / 100;
        s += ", \"medianMicros\": " + Number(median) + ", \"p99Micros\": " + Number(t[rank - 1]);
    }
    return s + "}\n}\n";
}

}  // namespace sim
