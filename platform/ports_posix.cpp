// Port discovery on Linux: the tty nodes of /dev, with sysfs (or the driver) telling which ttyS
// slots have a UART behind them.
#include "platform/ports_posix.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <utility>

#include "platform/Ports.h"

namespace plat {

namespace {

// USB adapters first: they are what a user plugs in for the device; on-board UARTs last.
const char* const FAMILIES[] = {"ttyUSB", "ttyACM", "ttyS"};

// The unit number of name when it is family followed by digits only, else -1.
long UnitOf(const std::string& name, const std::string& family) {
    if (name.size() <= family.size() || name.compare(0, family.size(), family) != 0) return -1;
    long n = 0;
    for (size_t i = family.size(); i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9' || n > 1000000) return -1;
        n = n * 10 + (name[i] - '0');
    }
    return n;
}

// True when the tty named by devPath ("/dev/ttyS3") has a real UART behind it.
bool HasUart(const std::string& devPath, const std::string& sysClassTty) {
    std::string name = devPath.substr(devPath.find_last_of('/') + 1);
    std::ifstream type(sysClassTty + "/" + name + "/type");
    long value = 0;
    if (type >> value) return value != 0;

    // No sysfs: ask the driver, which reports PORT_UNKNOWN for a slot without a chip.
    int fd = ::open(devPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    serial_struct ss;
    bool real = ::ioctl(fd, TIOCGSERIAL, &ss) == 0 && ss.type != PORT_UNKNOWN;
    ::close(fd);
    return real;
}

}  // namespace

std::vector<std::string> DiscoverSerialPortsIn(const std::string& devDir,
                                               const std::string& sysClassTty) {
    std::vector<std::string> names;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(devDir, ec), end; !ec && it != end;
         it.increment(ec)) {
        names.push_back(it->path().filename().string());
    }

    std::vector<std::string> out;
    for (const std::string family : FAMILIES) {
        std::vector<std::pair<long, std::string>> found;
        for (const auto& name : names) {
            long unit = UnitOf(name, family);
            if (unit < 0) continue;
            std::string path = devDir + "/" + name;
            // Most machines list 4 to 32 ttyS slots whatever UARTs they have.
            if (family == "ttyS" && !HasUart(path, sysClassTty)) continue;
            found.emplace_back(unit, path);
        }
        std::sort(found.begin(), found.end());
        for (auto& f : found) out.push_back(std::move(f.second));
    }
    return out;
}

std::vector<std::string> DiscoverSerialPorts() {
    return DiscoverSerialPortsIn("/dev", "/sys/class/tty");
}

namespace {

// The first line of a sysfs attribute, "" when there is none.
std::string Attribute(const std::filesystem::path& dir, const char* name) {
    std::ifstream in(dir / name);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
    return line;
}

}  // namespace

SerialPortInfo DescribeSerialPortIn(const std::string& devPath, const std::string& sysClassTty) {
    namespace fs = std::filesystem;
    SerialPortInfo info;
    std::error_code ec;
    // /dev/serial/by-id/... and other links name the tty they point to.
    fs::path real = fs::canonical(devPath, ec);
    if (ec) real = devPath;
    struct stat st {};
    // Unix98 pseudo-terminal slaves have the majors 136 to 143.
    if (::stat(real.c_str(), &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 &&
        major(st.st_rdev) <= 143) {
        info.kind = SerialPortInfo::Kind::PseudoTerminal;
        return info;
    }
    fs::path tty = fs::path(sysClassTty) / real.filename();
    fs::path device = fs::canonical(tty / "device", ec);
    if (ec) return info;
    fs::path driver = fs::canonical(device / "driver", ec);
    if (!ec) info.driver = driver.filename().string();
    // The USB device is an ancestor of the tty's interface: the one with the ids.
    for (fs::path d = device; !d.empty() && d != d.root_path(); d = d.parent_path()) {
        if (!fs::exists(d / "idVendor", ec)) continue;
        info.kind = SerialPortInfo::Kind::UsbAdapter;
        info.usbId = Attribute(d, "idVendor") + ":" + Attribute(d, "idProduct");
        info.vendor = Attribute(d, "manufacturer");
        info.product = Attribute(d, "product");
        info.serial = Attribute(d, "serial");
        return info;
    }
    std::string type = Attribute(tty, "type");
    if ((!type.empty() && type != "0") || UnitOf(real.filename().string(), "ttyS") >= 0 ||
        UnitOf(real.filename().string(), "ttyAMA") >= 0)
        info.kind = SerialPortInfo::Kind::OnBoardUart;
    return info;
}

SerialPortInfo DescribeSerialPort(const std::string& path) {
    return DescribeSerialPortIn(path, "/sys/class/tty");
}

std::vector<FoundPort> ListSerialPorts() {
    std::vector<FoundPort> out;
    for (std::string& path : DiscoverSerialPorts()) {
        SerialPortInfo info = DescribeSerialPort(path);
        out.push_back({std::move(path), std::move(info)});
    }
    return out;
}

// Linux names ports by their device paths.
unsigned ComNumberOf(const std::string& /*path*/) {
    return 0;
}

// The updater switches a USB adapter's low-latency flag on itself (SerialSetLowLatency).
std::string SerialAdapterAdvice(const std::string& /*path*/) {
    return "";
}

}  // namespace plat
