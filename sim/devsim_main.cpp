// kalvo-devsim: the simulated device on a pseudo-terminal (or a given tty), for demos, benches
// and scripts.
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "sim/Device.h"

namespace {

constexpr int EXIT_USAGE = 64;
constexpr int EXIT_INCOMPLETE = 2;

volatile sig_atomic_t g_signalled = 0;

void OnSignal(int) {
    g_signalled = 1;
}

const char* const USAGE =
    "Usage: kalvo-devsim [OPTION]...\n"
    "Simulates the device's bootloader on a pseudo-terminal and prints the tty to open on the\n"
    "first line of standard output. Writes a JSON report of what it received at exit.\n"
    "\n"
    "Line and run:\n"
    "  --tty PATH              serve this tty instead of a new pseudo-terminal\n"
    "  --report FILE           write the report to FILE (default: standard output)\n"
    "  --until-complete        exit once every payload begun has ended and the line is quiet\n"
    "  --quiet-ms MS           how long the line must be quiet for --until-complete\n"
    "                          (default 8000, longer than the updater's pause between payloads)\n"
    "  --expect LIST           with --until-complete, also wait for these payloads to end:\n"
    "                          comma-separated firmware, edog, music, radar\n"
    "  --timeout SEC           exit after SEC seconds; exit status 2 if --until-complete was\n"
    "                          not reached by then\n"
    "  --help                  show this text\n"
    "\n"
    "Device:\n"
    "  --baud N                initial line rate (default 256000)\n"
    "  --line-rate             emulate the wire time of 10 bits per byte (default)\n"
    "  --no-line-rate          answer as fast as possible\n"
    "  --proc-us N             processing time per frame in microseconds (default 0)\n"
    "  --fw-version V          version word answered to the firmware start (default 0x0103)\n"
    "  --select N              select number of the probe answer, 0..255 (default 1)\n"
    "  --flash-size-code C     flash size code, 0..255 (default 0x09: 512 KiB)\n"
    "  --verify                answer every firmware write with a verify result as well\n"
    "  --ready-delay-ms MS     prepare the memory this long before each ready frame (default 0)\n"
    "\n"
    "Faults (frames and answers count from 1):\n"
    "  --garble-answer N       corrupt the last byte of answer N\n"
    "  --drop-answer N         carry out host frame N but do not answer it\n"
    "  --silence-after N       answer frame N, then nothing more\n"
    "  --error-at N            refuse frame N with an error status\n"
    "  --error-code E          error code of --error-at, 0..255 (default 3)\n"
    "  --single-byte           write answers one byte at a time\n"
    "  --garbage-between G     send G garbage bytes before every answer\n"
    "  --hangup-after N        hang up the line after answering frame N\n"
    "  --stray-at N            answer frame N with a status frame of another command\n"
    "  --noise-len L           send L noise bytes ahead of answers (random, start bytes among\n"
    "                          them, never beginning a valid frame)\n"
    "  --noise-at N            only ahead of answer N (default: every answer)\n"
    "  --noise-byte B          every noise byte B, 0..255\n"
    "  --noise-apart           send the noise in a write of its own\n"
    "  --status-for-ack N      answer data frame N with a status \"done\" instead of its\n"
    "                          acknowledgement\n"
    "  --stray-status-at N     ahead of the answer to frame N, a status pair for a command\n"
    "                          never sent\n"
    "  --stray-status-code C   the command that status names, 0..255 (default 0x11)\n"
    "  --bad-read-at ADDR      the read block at ADDR comes with a bad check byte...\n"
    "  --bad-read-times T      ...its first T times (default 1)\n"
    "  --stall-at N            answer frame N late...\n"
    "  --stall-ms MS           ...by MS milliseconds\n"
    "\n"
    "Numbers may be decimal or 0x-prefixed hexadecimal. Exit status: 0 done, 1 the line could\n"
    "not be served or the report not written, 2 incomplete at --timeout, 64 bad arguments.\n";

struct Args {
    sim::Options opt;
    std::string tty, report;
    bool untilComplete = false;
    uint32_t quietMs = 8000;
    double timeoutSec = 0;
    bool expect[4] = {};  // firmware, edog, music, radar
};

struct UsageError {
    std::string what;
};

uint64_t ParseNumber(const std::string& name, const std::string& text, uint64_t lo, uint64_t hi) {
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (text.empty() || text[0] == '-' || *end != '\0' || errno == ERANGE || v < lo || v > hi) {
        throw UsageError{name + ": expected a number from " + std::to_string(lo) + " to " +
                         std::to_string(hi) + ", got \"" + text + "\""};
    }
    return v;
}

void ParseExpect(const std::string& list, bool* expect) {
    static const char* names[] = {"firmware", "edog", "music", "radar"};
    std::stringstream ss(list);
    std::string item;
    bool any = false;
    while (std::getline(ss, item, ',')) {
        bool known = false;
        for (int i = 0; i < 4; ++i) {
            if (item == names[i]) expect[i] = known = true;
        }
        if (!known) {
            throw UsageError{"--expect: unknown payload \"" + item +
                             "\" (firmware, edog, music, radar)"};
        }
        any = true;
    }
    if (!any) throw UsageError{"--expect: empty list"};
}

Args Parse(int argc, char** argv) {
    Args a;
    sim::Faults& f = a.opt.faults;
    const uint64_t maxInt = 0x7FFFFFFF;
    using Setter = std::function<void(const std::string&, const std::string&)>;
    std::map<std::string, Setter> withValue = {
        {"--tty", [&](auto&, auto& v) { a.tty = v; }},
        {"--report", [&](auto&, auto& v) { a.report = v; }},
        {"--quiet-ms",
         [&](auto& n, auto& v) { a.quietMs = uint32_t(ParseNumber(n, v, 0, 3600000)); }},
        {"--expect", [&](auto&, auto& v) { ParseExpect(v, a.expect); }},
        {"--timeout",
         [&](auto& n, auto& v) {
             char* end = nullptr;
             errno = 0;
             double s = std::strtod(v.c_str(), &end);
             if (v.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(s) || s <= 0 ||
                 s > 1e6) {
                 throw UsageError{n + ": expected a positive number of seconds, got \"" + v + "\""};
             }
             a.timeoutSec = s;
         }},
        {"--baud",
         [&](auto& n, auto& v) { a.opt.baud = uint32_t(ParseNumber(n, v, 50, 0xFFFFFF)); }},
        {"--proc-us",
         [&](auto& n, auto& v) { a.opt.procMicros = uint32_t(ParseNumber(n, v, 0, 10000000)); }},
        {"--fw-version",
         [&](auto& n, auto& v) { a.opt.fwVersion = uint16_t(ParseNumber(n, v, 0, 0xFFFF)); }},
        {"--select",
         [&](auto& n, auto& v) { a.opt.selectNum = uint8_t(ParseNumber(n, v, 0, 255)); }},
        {"--flash-size-code",
         [&](auto& n, auto& v) { a.opt.flashSizeCode = uint8_t(ParseNumber(n, v, 0, 255)); }},
        {"--garble-answer",
         [&](auto& n, auto& v) { f.garbleAnswer = int(ParseNumber(n, v, 1, maxInt)); }},
        {"--drop-answer",
         [&](auto& n, auto& v) { f.dropAnswerTo = int(ParseNumber(n, v, 1, maxInt)); }},
        {"--silence-after",
         [&](auto& n, auto& v) { f.silenceAfter = int(ParseNumber(n, v, 0, maxInt)); }},
        {"--error-at", [&](auto& n, auto& v) { f.errorAt = int(ParseNumber(n, v, 1, maxInt)); }},
        {"--error-code",
         [&](auto& n, auto& v) { f.errorCode = uint8_t(ParseNumber(n, v, 0, 255)); }},
        {"--garbage-between",
         [&](auto& n, auto& v) { f.garbageBetween = int(ParseNumber(n, v, 0, 65536)); }},
        {"--hangup-after",
         [&](auto& n, auto& v) { f.hangupAfter = int(ParseNumber(n, v, 1, maxInt)); }},
        {"--stray-at", [&](auto& n, auto& v) { f.strayAt = int(ParseNumber(n, v, 1, maxInt)); }},
        {"--noise-len", [&](auto& n, auto& v) { f.noiseLen = int(ParseNumber(n, v, 0, 65536)); }},
        {"--noise-at", [&](auto& n, auto& v) { f.noiseAt = int(ParseNumber(n, v, 1, maxInt)); }},
        {"--noise-byte", [&](auto& n, auto& v) { f.noiseByte = int(ParseNumber(n, v, 0, 255)); }},
        {"--status-for-ack",
         [&](auto& n, auto& v) { f.statusForAckAt = int(ParseNumber(n, v, 1, maxInt)); }},
        {"--stray-status-at",
         [&](auto& n, auto& v) { f.strayStatusAt = int(ParseNumber(n, v, 1, maxInt)); }},
        {"--stray-status-code",
         [&](auto& n, auto& v) { f.strayStatusCode = uint8_t(ParseNumber(n, v, 0, 255)); }},
        {"--bad-read-at",
         [&](auto& n, auto& v) {
             f.badReadAt = uint32_t(ParseNumber(n, v, 0, 0xFFFFFFFF));
             if (f.badReadTimes == 0) f.badReadTimes = 1;
         }},
        {"--bad-read-times",
         [&](auto& n, auto& v) { f.badReadTimes = int(ParseNumber(n, v, 0, maxInt)); }},
        {"--stall-at", [&](auto& n, auto& v) { f.stallAt = int(ParseNumber(n, v, 1, maxInt)); }},
        {"--stall-ms",
         [&](auto& n, auto& v) { f.stallMs = uint32_t(ParseNumber(n, v, 0, 3600000)); }},
        {"--ready-delay-ms",
         [&](auto& n, auto& v) { a.opt.readyDelayMs = uint32_t(ParseNumber(n, v, 0, 3600000)); }},
    };
    std::map<std::string, std::function<void()>> flags = {
        {"--until-complete", [&] { a.untilComplete = true; }},
        {"--line-rate", [&] { a.opt.lineRate = true; }},
        {"--no-line-rate", [&] { a.opt.lineRate = false; }},
        {"--verify", [&] { a.opt.verify = true; }},
        {"--single-byte", [&] { f.singleByteWrites = true; }},
        {"--noise-apart", [&] { f.noiseApart = true; }},
    };
    a.opt.lineRate = true;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i], value;
        bool inlineValue = false;
        if (size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
            inlineValue = true;
        }
        if (auto it = flags.find(arg); it != flags.end()) {
            if (inlineValue) throw UsageError{arg + " takes no value"};
            it->second();
        } else if (auto vt = withValue.find(arg); vt != withValue.end()) {
            if (!inlineValue) {
                if (i + 1 >= argc) throw UsageError{arg + " needs a value"};
                value = argv[++i];
            }
            vt->second(arg, value);
        } else {
            throw UsageError{"unknown argument \"" + std::string(argv[i]) + "\""};
        }
    }
    if (!a.untilComplete && (a.expect[0] || a.expect[1] || a.expect[2] || a.expect[3])) {
        throw UsageError{"--expect only makes sense with --until-complete"};
    }
    return a;
}

bool Expected(const sim::Report& r, const bool* expect) {
    return (!expect[0] || r.fwEnded) && (!expect[1] || r.edog.ended) &&
           (!expect[2] || r.music.ended) && (!expect[3] || r.radar.ended);
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(USAGE, stdout);
            return 0;
        }
    }
    Args args;
    try {
        args = Parse(argc, argv);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "kalvo-devsim: %s\nTry 'kalvo-devsim --help'.\n", e.what.c_str());
        return EXIT_USAGE;
    }

    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    sim::CDevice device(args.opt);
    std::string path = args.tty, error;
    bool ok =
        args.tty.empty() ? device.CreatePty(&path, &error) : device.ServePath(args.tty, &error);
    if (!ok || !device.Start()) {
        std::fprintf(stderr, "kalvo-devsim: cannot serve the line: %s\n",
                     error.empty() ? "the service thread did not start" : error.c_str());
        return 1;
    }
    std::printf("%s\n", path.c_str());
    std::fflush(stdout);

    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(args.timeoutSec));
    bool complete = false;
    while (!g_signalled) {
        if (args.untilComplete && device.PayloadsComplete() &&
            Expected(device.GetReport(), args.expect) && device.WaitIdle(args.quietMs, 0)) {
            complete = true;
            break;
        }
        if (args.timeoutSec > 0 && Clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    device.Stop();

    std::string json = device.GetReport().ToJson();
    int rc = args.untilComplete && !complete && !g_signalled ? EXIT_INCOMPLETE : 0;
    if (args.report.empty()) {
        std::fputs(json.c_str(), stdout);
        std::fflush(stdout);
    } else {
        std::ofstream out(args.report, std::ios::binary | std::ios::trunc);
        out << json;
        out.close();
        if (!out) {
            std::fprintf(stderr, "kalvo-devsim: cannot write the report to %s\n",
                         args.report.c_str());
            return 1;
        }
    }
    return rc;
}
