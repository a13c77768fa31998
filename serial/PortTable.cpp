// The port table: COM numbers to device paths, discovered once or given by the user.
#include "serial/PortTable.h"

#include <mutex>

#include "core/Log.h"
#include "platform/Ports.h"

namespace serialports {

namespace {

std::mutex g_tableMtx;
std::vector<std::string> g_table;
bool g_bTableSet = false;
bool g_bUserTable = false;

void DiscoverLocked() {
    g_table = plat::DiscoverSerialPorts();
    g_bTableSet = true;
}

}  // namespace

void SetPortTable(const std::vector<std::string>& paths) {
    std::lock_guard<std::mutex> lock(g_tableMtx);
    g_bUserTable = !paths.empty();
    if (paths.empty()) {
        DiscoverLocked();
    } else {
        g_table = paths;
        g_bTableSet = true;
    }
}

void RefreshPortTable() {
    std::lock_guard<std::mutex> lock(g_tableMtx);
    if (!g_bUserTable) DiscoverLocked();
}

// Kept between searches, so that COM n names the same device from the probe to the update.
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
