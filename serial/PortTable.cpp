// The port table: COM numbers to device paths, discovered once or given by the user.
#include "serial/PortTable.h"

#include <algorithm>
#include <mutex>

#include "core/Log.h"
#include "serial/PortDiagnosis.h"

namespace serialports {

namespace {

std::mutex g_tableMtx;
std::vector<std::string> g_table;
std::vector<uint8_t> g_numbers;             // COM number of each entry
std::vector<plat::SerialPortInfo> g_infos;  // found ports: what they are; given ones: empty
bool g_bTableSet = false;
bool g_bUserTable = false;

void SetLocked(std::vector<std::string> paths, std::vector<plat::SerialPortInfo> infos) {
    std::vector<unsigned> own;
    for (const std::string& p : paths) own.push_back(plat::ComNumberOf(p));
    g_numbers = AssignNumbers(own);
    g_table = std::move(paths);
    g_infos = std::move(infos);
    g_bTableSet = true;
}

// Asks the system outside the lock: SetupAPI takes a while on a PC with many devices.
void Discover() {
    std::vector<std::string> paths;
    std::vector<plat::SerialPortInfo> infos;
    for (plat::FoundPort& p : FindPortsInSearchOrder()) {
        paths.push_back(std::move(p.path));
        infos.push_back(std::move(p.info));
    }
    std::lock_guard<std::mutex> lock(g_tableMtx);
    SetLocked(std::move(paths), std::move(infos));
}

void EnsureSet() {
    {
        std::lock_guard<std::mutex> lock(g_tableMtx);
        if (g_bTableSet) return;
    }
    Discover();
}

}  // namespace

std::vector<plat::FoundPort> FindPortsInSearchOrder() {
    return OrderForSearch(plat::ListSerialPorts());
}

std::vector<plat::FoundPort> OrderForSearch(std::vector<plat::FoundPort> found) {
    using K = plat::SerialPortInfo::Kind;
    std::erase_if(found, [](const plat::FoundPort& p) { return p.info.kind == K::Bluetooth; });
    std::stable_partition(found.begin(), found.end(),
                          [](const plat::FoundPort& p) { return p.info.kind == K::UsbAdapter; });
    return found;
}

std::vector<uint8_t> AssignNumbers(const std::vector<unsigned>& ownNumbers) {
    std::vector<uint8_t> numbers(ownNumbers.size(), 0);
    std::vector<bool> taken(256, false);
    taken[0] = true;
    for (size_t i = 0; i < ownNumbers.size(); ++i) {
        unsigned n = ownNumbers[i];
        if (n == 0 || n > 255 || taken[n]) continue;
        numbers[i] = static_cast<uint8_t>(n);
        taken[n] = true;
    }
    unsigned next = 1;
    for (uint8_t& n : numbers) {
        if (n != 0) continue;
        while (next < 256 && taken[next]) ++next;
        if (next == 256) break;  // more than 255 ports: the rest have no number
        n = static_cast<uint8_t>(next);
        taken[next] = true;
    }
    return numbers;
}

void SetPortTable(const std::vector<std::string>& paths) {
    if (paths.empty()) {
        Discover();
        std::lock_guard<std::mutex> lock(g_tableMtx);
        g_bUserTable = false;
        return;
    }
    std::lock_guard<std::mutex> lock(g_tableMtx);
    g_bUserTable = true;
    SetLocked(paths, std::vector<plat::SerialPortInfo>(paths.size()));
}

void RefreshPortTable() {
    {
        std::lock_guard<std::mutex> lock(g_tableMtx);
        if (g_bUserTable) return;
    }
    Discover();
}

// Kept between searches, so that COM n names the same device from the probe to the update.
std::vector<std::string> GetPortTable() {
    EnsureSet();
    std::lock_guard<std::mutex> lock(g_tableMtx);
    return g_table;
}

std::vector<plat::FoundPort> GetPortEntries() {
    EnsureSet();
    std::vector<plat::FoundPort> out;
    bool user = false;
    {
        std::lock_guard<std::mutex> lock(g_tableMtx);
        user = g_bUserTable;
        for (size_t i = 0; i < g_table.size(); ++i) out.push_back({g_table[i], g_infos[i]});
    }
    if (user)
        for (plat::FoundPort& p : out) p.info = plat::DescribeSerialPort(p.path);
    return out;
}

std::string PortPath(uint8_t n) {
    EnsureSet();
    std::lock_guard<std::mutex> lock(g_tableMtx);
    for (size_t i = 0; i < g_table.size(); ++i)
        if (n != 0 && g_numbers[i] == n) return g_table[i];
    return "";
}

uint8_t PortNumberOf(const std::string& path) {
    EnsureSet();
    std::lock_guard<std::mutex> lock(g_tableMtx);
    for (size_t i = 0; i < g_table.size(); ++i)
        if (g_table[i] == path) return g_numbers[i];
    return 0;
}

std::string PortLabel(const std::string& path, const char* separator) {
    uint8_t n = PortNumberOf(path);
    if (n == 0) return path;
    std::string com = "COM" + std::to_string(n);
    // One name per port where the system names it so: "COM12", never "COM2 COM12".
    return plat::ComNumberOf(path) == n ? com : com + separator + path;
}

std::string LabelLine(const std::string& path, const std::string& line) {
    if (line.rfind(path, 0) != 0) return PortLabel(path) + " " + line;
    return PortLabel(path) + line.substr(path.size());
}

std::string KindText(const plat::SerialPortInfo& info) {
    using K = plat::SerialPortInfo::Kind;
    std::string text;
    // "USB-SERIAL CH340 (COM5)": the port is named on the line already.
    std::string friendly = info.friendlyName;
    if (size_t at = friendly.rfind(" (COM"); at != std::string::npos && friendly.back() == ')')
        friendly.erase(at);
    switch (info.kind) {
        case K::UsbAdapter:
            text = "USB adapter " + info.usbId;
            if (!info.vendor.empty()) text += " " + info.vendor;
            if (!info.product.empty()) text += " " + info.product;
            if (!friendly.empty()) text += " " + friendly;
            if (!info.serial.empty()) text += ", serial " + info.serial;
            // Which driver took the adapter tells a user what the system made of it.
            if (!info.driver.empty()) text += " (" + info.driver + ")";
            return text;
        case K::OnBoardUart:
            text = "on-board UART";
            break;
        case K::PseudoTerminal:
            text = "pseudo-terminal";
            break;
        case K::Bluetooth:
            text = "Bluetooth serial port";
            if (!friendly.empty()) text += " " + friendly;
            return text + " (searched only when named with --port)";
        case K::Unknown:
            text = "serial device";
            break;
    }
    if (!friendly.empty()) text += " " + friendly;
    return text;
}

void LogPortTable() {
    std::vector<plat::FoundPort> table = GetPortEntries();
    if (table.empty()) WriteLog("[CSerial] no serial ports found\r\n");
    for (const plat::FoundPort& p : table)
        WriteLog("[CSerial] %s  %s\r\n", PortLabel(p.path, " = ").c_str(),
                 KindText(p.info).c_str());
}

std::string NoDeviceAdvice() {
    static std::mutex s_mtx;
    static std::vector<std::string> s_logged;
    std::vector<std::string> lines = portdiag::Diagnose(plat::GatherPortFacts());
    std::string text;
    for (const std::string& line : lines) text += (text.empty() ? "" : "\n") + line;
    // Into the log when it changes: the search asks every 2 s.
    std::lock_guard<std::mutex> lock(s_mtx);
    if (lines != s_logged) {
        s_logged = lines;
        for (const std::string& line : lines) WriteLog("[CSerial] %s\r\n", line.c_str());
    }
    return text;
}

}  // namespace serialports
