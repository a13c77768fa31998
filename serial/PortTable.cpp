#include <algorithm>
#include <filesystem>
#include <mutex>

#include "core/Log.h"
#include "platform/serial_posix.h"
#include "serial/Serial.h"

namespace serialports {

namespace {

std::mutex g_tableMtx;
std::vector<std::string> g_table;
bool g_bTableSet = false;

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

void DiscoverLocked() {
    g_table = DiscoverDevicesIn("/dev", "/sys/class/tty");
    g_bTableSet = true;
}

}  // namespace

std::vector<std::string> DiscoverDevicesIn(const std::string& devDir,
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
            if (family == "ttyS" && !plat::SerialHasUart(path, sysClassTty)) continue;
            found.emplace_back(unit, path);
        }
        std::sort(found.begin(), found.end());
        for (auto& f : found) out.push_back(std::move(f.second));
    }
    return out;
}

std::vector<std::string> DiscoverDevices() {
    return DiscoverDevicesIn("/dev", "/sys/class/tty");
}

void SetPortTable(const std::vector<std::string>& paths) {
    std::lock_guard<std::mutex> lock(g_tableMtx);
    if (paths.empty()) {
        DiscoverLocked();
    } else {
        g_table = paths;
        g_bTableSet = true;
    }
}

// Discovered once and then kept, so that COM n names the same device from the probe to the update.
std::vector<std::string> GetPortTable() {
    std::lock_guard<std::mutex> lock(g_tableMtx);
    if (!g_bTableSet) DiscoverLocked();
    return g_table;
}

std::string PortPath(uint8_t n) {
    std::lock_guard<std::mutex> lock(g_tableMtx);
    if (!g_bTableSet) DiscoverLocked();
    if (n == 0 || n > g_table.size()) return "";
    return g_table[n - 1];
}

void LogPortTable() {
    std::vector<std::string> table = GetPortTable();
    if (table.empty()) WriteLog("[CSerial] no serial ports found\r\n");
    for (size_t i = 0; i < table.size(); ++i) {
        WriteLog("[CSerial] COM%d = %s\r\n", static_cast<int>(i + 1), table[i].c_str());
    }
}

}  // namespace serialports
