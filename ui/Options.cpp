// The command line of kalvo-updater: parsing, checking each value, and the usage text.
#include "ui/Options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "app/PayloadTable.h"
#include "platform/PortName.h"

namespace {

bool ParseUnsigned(const char* text, uint64_t maxValue, uint64_t& out) {
    if (text == nullptr || *text == '\0' || *text == '-' || *text == '+') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v > maxValue) return false;
    out = v;
    return true;
}

}  // namespace

std::string UsageText() {
    auto payload = [](int which) {
        return std::string(kPayloads[which].title) + " (" + kPayloads[which].file + ")";
    };
    return "Usage: kalvo-updater [options]\n"
           "Writes the " +
           payload(PAYLOAD_FW) + ", the " + payload(PAYLOAD_EDOG) + ", the\n" +
           payload(PAYLOAD_MUSIC) + " and the " + payload(PAYLOAD_RADAR) +
           " found beside the program\n"
           "to the device on the serial line.\n"
           "\n"
           "Options:\n"
           "  --port PATH         serial device to use; repeat for several (COM1, COM2, ... in\n"
           "                      that order). Default: the serial devices of this machine\n"
           "  --payload-dir DIR   where the payload files lie (default: the program's directory)\n"
           "  --log               write the diagnostic log to standard output and KalvoLog.txt\n"
           "                      (the log before is kept as KalvoLog.1.txt); without it no\n"
           "                      log file is made or touched\n"
           "  --baud RATE         switch the line to RATE before the update (256000: no change)\n"
           "  --chip-info         show the chip version, flash size and ID instead of updating\n"
           "  --erase             erase the chip instead of updating\n"
           "  --read-flash FILE   read the whole flash into FILE instead of updating\n"
           "  --simulate          use the built-in simulated device (a sample payload set is\n"
           "                      made when no payload files are found)\n"
           "  --headless          run in the terminal even when a display is available\n"
           "  --verify            after the update, read the firmware back and compare it with "
           "the\n"
           "                      image\n"
           "  --json              print a JSON report on standard output at the end (the status\n"
           "                      texts go to standard error); runs in the terminal\n"
           "  --list-ports        list the serial ports (COM number, path, kind, whether it\n"
           "                      opens) and exit\n"
           "  --wait SECONDS      how long to wait for the device to answer (default 10)\n"
           "  --station           service station: update every device that answers on the\n"
           "                      serial ports, each by a process of its own, side by side\n"
           "  --once              with --station: update the devices plugged in now, then exit\n"
           "  --record FILE       with --station: append a line per device run to FILE (CSV;\n"
           "                      with --json also FILE.jsonl); default kalvo-station.csv\n"
           "  --help              show this text\n"
           "  --version           show the program version\n"
           "\n"
           "Exit codes: 0 done, 1 device error or verify failure, 2 time-out or lost link,\n"
           "3 no device answered, 4 no payload found or a payload file refused, 64 bad arguments,\n"
           "130 stopped by Ctrl-C, 143 stopped by SIGTERM (both say what was left unfinished).\n"
           "During a write the first Ctrl-C only warns; a second within 3 s stops.\n";
}

bool ParseOptions(int argc, const char* const* argv, UpdaterOptions& opts, std::string& error) {
    auto need = [&](int& i, const char* name) -> const char* {
        if (i + 1 >= argc || argv[i + 1] == nullptr || argv[i + 1][0] == '\0') {
            error = std::string(name) + " needs a value";
            return nullptr;
        }
        return argv[++i];
    };
    int services = 0;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i] != nullptr ? argv[i] : "";
        std::string inlineValue;
        bool hasInline = false;
        if (arg.rfind("--", 0) == 0) {
            size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                inlineValue = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
                hasInline = true;
            }
        }
        auto value = [&](const char* name) -> const char* {
            if (hasInline) {
                if (inlineValue.empty()) {
                    error = std::string(name) + " needs a value";
                    return nullptr;
                }
                return inlineValue.c_str();
            }
            return need(i, name);
        };
        auto flag = [&](bool& target) {
            if (hasInline) {
                error = arg + " takes no value";
                return false;
            }
            target = true;
            return true;
        };
        if (arg == "--port") {
            const char* v = value("--port");
            if (v == nullptr) return false;
            if (opts.ports.size() >= 50) {
                error = "at most 50 ports can be given";
                return false;
            }
            opts.ports.push_back(plat::CanonicalPortName(v));
        } else if (arg == "--payload-dir") {
            const char* v = value("--payload-dir");
            if (v == nullptr) return false;
            opts.payloadDir = v;
        } else if (arg == "--baud") {
            const char* v = value("--baud");
            if (v == nullptr) return false;
            uint64_t baud = 0;
            // The protocol carries the rate in three bytes.
            if (!ParseUnsigned(v, 0xFFFFFF, baud) || baud < 50) {
                error = std::string("--baud: not a usable rate: ") + v;
                return false;
            }
            opts.baud = static_cast<uint32_t>(baud);
        } else if (arg == "--wait") {
            const char* v = value("--wait");
            if (v == nullptr) return false;
            uint64_t secs = 0;
            if (!ParseUnsigned(v, 3600, secs) || secs == 0) {
                error = std::string("--wait: not a number of seconds (1 to 3600): ") + v;
                return false;
            }
            opts.waitSeconds = static_cast<uint32_t>(secs);
        } else if (arg == "--record") {
            const char* v = value("--record");
            if (v == nullptr) return false;
            opts.record = v;
        } else if (arg == "--station") {
            if (!flag(opts.station)) return false;
        } else if (arg == "--once") {
            if (!flag(opts.once)) return false;
        } else if (arg == "--read-flash") {
            const char* v = value("--read-flash");
            if (v == nullptr) return false;
            opts.readFlash = v;
            ++services;
        } else if (arg == "--chip-info") {
            if (!flag(opts.chipInfo)) return false;
            ++services;
        } else if (arg == "--erase") {
            if (!flag(opts.erase)) return false;
            ++services;
        } else if (arg == "--log") {
            if (!flag(opts.log)) return false;
        } else if (arg == "--simulate") {
            if (!flag(opts.simulate)) return false;
        } else if (arg == "--headless") {
            if (!flag(opts.headless)) return false;
        } else if (arg == "--verify") {
            if (!flag(opts.verify)) return false;
        } else if (arg == "--json") {
            if (!flag(opts.json)) return false;
            // A report for scripts: the window would wait for a user.
            opts.headless = true;
        } else if (arg == "--list-ports") {
            if (!flag(opts.listPorts)) return false;
        } else if (arg == "--help" || arg == "-h") {
            opts.help = true;
        } else if (arg == "--version") {
            opts.version = true;
        } else {
            error = "unknown argument: " + arg;
            return false;
        }
    }
    if (services > 1) {
        error = "--chip-info, --erase and --read-flash cannot be combined";
        return false;
    }
    if (opts.json && opts.log) {
        // The log's echo would land in the report.
        error = "--log echoes the log on standard output; it cannot be combined with --json";
        return false;
    }
    if (opts.verify && services > 0) {
        error = "--verify checks an update; it cannot be combined with a service operation";
        return false;
    }
    if ((opts.once || !opts.record.empty()) && !opts.station) {
        error = std::string(opts.once ? "--once" : "--record") + " needs --station";
        return false;
    }
    if (opts.station && (services > 0 || opts.simulate || opts.log)) {
        // Each device's run has a log of its own; the built-in device is one device.
        error = "--station cannot be combined with a service operation, --simulate or --log";
        return false;
    }
    if (opts.simulate && !opts.ports.empty()) {
        error = "--simulate uses its own port; it cannot be combined with --port";
        return false;
    }
    return true;
}
