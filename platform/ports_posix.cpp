// Port discovery on Linux: the tty nodes of /dev, with sysfs (or the driver) telling which ttyS
// slots have a UART behind them.
#include "platform/ports_posix.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
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

// The updater switches a USB adapter's low-latency flag on itself (SerialSetLowLatency).
std::string SerialAdapterAdvice(const std::string& /*path*/) {
    return "";
}

}  // namespace plat
