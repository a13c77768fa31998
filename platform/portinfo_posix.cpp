// What Linux shows about USB serial adapters that did not become a usable port: the USB devices
// in sysfs with their interfaces' drivers and ttys, udev's properties of them, brltty's udev rules,
// the running programs and the kernel's messages.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <set>

#include "platform/Ports.h"
#include "platform/ports_posix.h"

namespace plat {

namespace {

namespace fs = std::filesystem;

std::string FirstLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
    return line;
}

std::vector<std::string> Names(const std::string& dir) {
    std::vector<std::string> out;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        out.push_back(it->path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

bool IsTtyName(const std::string& name) {
    return name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0;
}

// The tty under an interface: usb-serial puts it right there, cdc-acm under tty/.
std::string TtyOf(const fs::path& iface) {
    for (const std::string& n : Names(iface.string()))
        if (IsTtyName(n)) return n;
    for (const std::string& n : Names((iface / "tty").string()))
        if (IsTtyName(n)) return n;
    return "";
}

// udev's database entry of a device ("E:KEY=value" lines), from its "major:minor".
std::string UdevData(const std::string& udevData, const fs::path& device) {
    std::string dev = FirstLine(device / "dev");
    if (dev.empty()) return "";
    std::ifstream in(udevData + "/c" + dev);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<UsbDeviceRecord> UsbDevices(const FactRoots& roots) {
    std::vector<UsbDeviceRecord> out;
    std::vector<std::string> names = Names(roots.sysUsbDevices);
    for (const std::string& name : names) {
        fs::path dir = fs::path(roots.sysUsbDevices) / name;
        if (name.find(':') != std::string::npos) continue;  // an interface
        std::string vid = FirstLine(dir / "idVendor"), pid = FirstLine(dir / "idProduct");
        if (vid.empty() || pid.empty()) continue;
        UsbDeviceRecord d;
        d.name = name;
        d.usbId = vid + ":" + pid;
        d.product = FirstLine(dir / "product");
        for (const std::string& iface : names) {
            if (iface.rfind(name + ":", 0) != 0) continue;
            fs::path ip = fs::path(roots.sysUsbDevices) / iface;
            std::error_code ec;
            fs::path driver = fs::canonical(ip / "driver", ec);
            if (!ec && d.interfaceDriver.empty()) d.interfaceDriver = driver.filename().string();
            if (d.tty.empty()) d.tty = TtyOf(ip);
        }
        std::string udev = UdevData(roots.udevData, dir);
        d.brlttyMatched = udev.find("E:BRLTTY_BRAILLE_DRIVER=") != std::string::npos;
        d.modemManagerIgnores = udev.find("E:ID_MM_DEVICE_IGNORE=1") != std::string::npos;
        out.push_back(std::move(d));
    }
    return out;
}

// brltty's rule files as udev takes them: the first directory holding a name wins; a link to
// /dev/null or an empty file there masks the rule.
std::vector<std::string> BrlttyRules(const FactRoots& roots) {
    std::set<std::string> seen;
    std::vector<std::string> active;
    for (const std::string& dir : roots.rulesDirs) {
        for (const std::string& name : Names(dir)) {
            if (name.size() < 6 || name.compare(name.size() - 6, 6, ".rules") != 0) continue;
            if (!seen.insert(name).second) continue;
            if (name.find("brltty") == std::string::npos) continue;
            fs::path file = fs::path(dir) / name;
            std::error_code ec;
            fs::path target = fs::canonical(file, ec);
            if (ec || target == "/dev/null" || fs::file_size(target, ec) == 0 || ec) continue;
            active.push_back(file.string());
        }
    }
    return active;
}

std::vector<std::string> Processes(const std::string& proc) {
    std::set<std::string> names;
    for (const std::string& pid : Names(proc)) {
        if (pid.empty() || !std::all_of(pid.begin(), pid.end(), ::isdigit)) continue;
        std::string comm = FirstLine(fs::path(proc) / pid / "comm");
        if (!comm.empty()) names.insert(comm);
    }
    return {names.begin(), names.end()};
}

// The kernel's messages about USB devices and their serial drivers, newest last, at most 200.
// /dev/kmsg gives one record per read ("6,1234,5678,-;text\n"); a test gives a plain file.
std::vector<std::string> KernelLog(const std::string& path) {
    std::vector<std::string> out;
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return out;
    std::string text;
    char buf[8192];
    // The ring holds at most a few MB; a bound keeps a strange file from holding us up.
    for (int i = 0; i < 100000; ++i) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EPIPE) continue;  // records overwritten while reading
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = std::min(text.find('\n', start), text.size());
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.empty() || line[0] == ' ') continue;  // a record's key=value lines
        size_t semi = line.find(';');
        if (semi != std::string::npos && line.find(' ') > semi) line = line.substr(semi + 1);
        if (line.find("brltty") != std::string::npos ||
            line.find("converter") != std::string::npos ||
            line.find("USB disconnect") != std::string::npos ||
            line.find("ttyACM") != std::string::npos)
            out.push_back(line);
    }
    if (out.size() > 200) out.erase(out.begin(), out.end() - 200);
    return out;
}

}  // namespace

PortFacts GatherPortFactsIn(const FactRoots& roots) {
    PortFacts facts;
    facts.usbDevices = UsbDevices(roots);
    for (const std::string& dir : roots.binDirs) {
        std::error_code ec;
        if (fs::exists(fs::path(dir) / "brltty", ec)) facts.brlttyInstalled = true;
    }
    facts.brlttyRules = BrlttyRules(roots);
    facts.processes = Processes(roots.proc);
    facts.kernelLog = KernelLog(roots.kernelLog);
    return facts;
}

PortFacts GatherPortFacts() {
    return GatherPortFactsIn(FactRoots{});
}

}  // namespace plat
