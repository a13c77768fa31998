// The command-line parser on arbitrary arguments (the input split at zero bytes). A refusal
// always says why; what it accepts keeps every value in its range and every combination rule, and
// the same options written back as arguments parse to the same options.
#include <string>
#include <vector>

#include "fuzz/FuzzTargets.h"
#include "ui/Options.h"

namespace {

void Check(bool ok, const char* what) {
    if (!ok) fuzz::Fail("options", what);
}

bool Same(const UpdaterOptions& a, const UpdaterOptions& b) {
    return a.ports == b.ports && a.payloadDir == b.payloadDir && a.log == b.log &&
           a.baud == b.baud && a.chipInfo == b.chipInfo && a.erase == b.erase &&
           a.readFlash == b.readFlash && a.simulate == b.simulate && a.headless == b.headless &&
           a.verify == b.verify && a.json == b.json && a.listPorts == b.listPorts &&
           a.help == b.help && a.version == b.version && a.waitSeconds == b.waitSeconds;
}

// The arguments that give these options, in the "--name=value" form.
std::vector<std::string> Arguments(const UpdaterOptions& o) {
    std::vector<std::string> args = {"kalvo-updater"};
    for (const std::string& p : o.ports) args.push_back("--port=" + p);
    if (!o.payloadDir.empty()) args.push_back("--payload-dir=" + o.payloadDir);
    if (!o.readFlash.empty()) args.push_back("--read-flash=" + o.readFlash);
    args.push_back("--baud=" + std::to_string(o.baud));
    args.push_back("--wait=" + std::to_string(o.waitSeconds));
    const std::pair<bool, const char*> flags[] = {
        {o.log, "--log"},           {o.chipInfo, "--chip-info"},   {o.erase, "--erase"},
        {o.simulate, "--simulate"}, {o.headless, "--headless"},    {o.verify, "--verify"},
        {o.json, "--json"},         {o.listPorts, "--list-ports"}, {o.help, "--help"},
        {o.version, "--version"}};
    for (const auto& [on, name] : flags)
        if (on) args.emplace_back(name);
    return args;
}

bool Parse(const std::vector<std::string>& args, UpdaterOptions& opts, std::string& error) {
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    return ParseOptions(static_cast<int>(argv.size()), argv.data(), opts, error);
}

}  // namespace

int FuzzOptions(const uint8_t* data, size_t size) {
    std::vector<std::string> args = {"kalvo-updater"};
    std::string current;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    if (size > 0) args.push_back(current);

    UpdaterOptions opts;
    std::string error;
    if (!Parse(args, opts, error)) {
        Check(!error.empty(), "refused without a reason");
        return 0;
    }
    Check(error.empty(), "accepted with an error message");
    Check(opts.baud >= 50 && opts.baud <= 0xFFFFFF, "baud rate out of range");
    Check(opts.waitSeconds >= 1 && opts.waitSeconds <= 3600, "wait out of range");
    Check(opts.ports.size() <= 50, "more than 50 ports");
    for (const std::string& p : opts.ports) Check(!p.empty(), "empty port path");
    int services = opts.chipInfo + opts.erase + !opts.readFlash.empty();
    Check(services <= 1, "two service operations");
    Check(!(opts.json && opts.log), "--json with --log");
    Check(!opts.json || opts.headless, "--json without the terminal");
    Check(!(opts.verify && services > 0), "--verify with a service operation");
    Check(!(opts.simulate && !opts.ports.empty()), "--simulate with --port");

    UpdaterOptions again;
    Check(Parse(Arguments(opts), again, error), "the accepted options do not parse back");
    Check(Same(opts, again), "the options parse back to others");
    return 0;
}
