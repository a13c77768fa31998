// The serial ports of a Windows machine: the device manager's Ports class and the ports the
// registry lists, and what the registry says about their adapters.
#include <algorithm>
#include <vector>

#include "platform/DeviceId.h"
#include "platform/Ports.h"
#include "platform/portinfo_win32.h"
#include "platform/win32_util.h"

namespace plat {

namespace {

// The Windows default is 16 ms; above this an adapter costs the stop-and-wait exchange dearly.
constexpr DWORD LATENCY_ADVICE_ABOVE_MS = 2;

std::wstring RegString(HKEY key, const wchar_t* value) {
    wchar_t buf[256];
    DWORD size = sizeof buf - sizeof(wchar_t);
    DWORD type = 0;
    if (::RegQueryValueExW(key, value, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return L"";
    buf[size / sizeof(wchar_t)] = L'\0';
    return buf;
}

// Subkey names of key.
std::vector<std::wstring> SubKeys(HKEY key) {
    std::vector<std::wstring> out;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD len = 256;
        LONG r = ::RegEnumKeyExW(key, i, name, &len, nullptr, nullptr, nullptr, nullptr);
        if (r == ERROR_NO_MORE_ITEMS) break;
        if (r == ERROR_SUCCESS) out.emplace_back(name, len);
    }
    return out;
}

// The ports Windows lists under HARDWARE\DEVICEMAP\SERIALCOMM (wine puts its mapped ports there).
std::vector<std::wstring> ListedComPorts() {
    std::vector<std::wstring> out;
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ,
                        &key) != ERROR_SUCCESS)
        return out;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameLen = 256;
        wchar_t data[256];
        DWORD dataSize = sizeof data - sizeof(wchar_t);
        DWORD type = 0;
        LONG r = ::RegEnumValueW(key, i, name, &nameLen, nullptr, &type,
                                 reinterpret_cast<BYTE*>(data), &dataSize);
        if (r == ERROR_NO_MORE_ITEMS) break;
        if (r != ERROR_SUCCESS || type != REG_SZ) continue;
        data[dataSize / sizeof(wchar_t)] = L'\0';
        out.emplace_back(data);
    }
    ::RegCloseKey(key);
    return out;
}

// Under wine a port the user mapped onto a Unix device (HKLM\Software\Wine\Ports, COM12 =
// /dev/pts/3) says what it is there; on Windows the key does not exist.
SerialPortInfo WineMapped(const std::wstring& name) {
    SerialPortInfo info;
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Wine\\Ports", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return info;
    std::string unixPath = win::Narrow(RegString(key, win::Upper(name).c_str()));
    ::RegCloseKey(key);
    if (unixPath.empty()) return info;
    if (unixPath.rfind("/dev/pts/", 0) == 0) info.kind = SerialPortInfo::Kind::PseudoTerminal;
    info.friendlyName = "(wine: " + unixPath + ")";
    return info;
}

}  // namespace

std::vector<FoundPort> ListSerialPorts() {
    std::vector<std::pair<unsigned, FoundPort>> found;
    auto add = [&](const std::wstring& name, const SerialPortInfo& info) {
        unsigned n = win::ComNumber(name);
        // Ports that are not COMn (rare virtual drivers) after the numbered ones.
        std::string text = win::Narrow(n == 0 ? name : win::Upper(name));
        for (const auto& f : found)
            if (f.second.path == text) return;
        found.push_back({n == 0 ? 0xFFFFFFFFu : n, FoundPort{text, info}});
    };
    // The device manager's view first: it knows what each port is.
    for (const DeviceRecord& d : win::EnumerateDevices(true)) {
        if (d.portName.empty()) continue;
        SerialPortInfo info = InfoFromInstanceId(d.instanceId);
        info.friendlyName = d.friendlyName;
        info.vendor = d.maker;
        info.driver = d.service;
        add(win::Wide(d.portName), info);
    }
    for (const std::wstring& name : ListedComPorts()) add(name, WineMapped(name));
    std::stable_sort(found.begin(), found.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<FoundPort> out;
    for (auto& f : found) out.push_back(std::move(f.second));
    if (out.empty()) {
        // Nothing listed (no driver registers there): try the ports as the original did.
        for (int n = 1; n <= 50; ++n) out.push_back({"COM" + std::to_string(n), {}});
    }
    return out;
}

std::vector<std::string> DiscoverSerialPorts() {
    std::vector<std::string> out;
    for (const FoundPort& p : ListSerialPorts()) out.push_back(p.path);
    return out;
}

SerialPortInfo DescribeSerialPort(const std::string& path) {
    unsigned n = ComNumberOf(path);
    for (FoundPort& p : ListSerialPorts())
        if (n != 0 ? ComNumberOf(p.path) == n : p.path == path) return std::move(p.info);
    return {};
}

unsigned ComNumberOf(const std::string& path) {
    return win::ComNumber(win::DeviceName(path).substr(4));
}

std::string SerialAdapterAdvice(const std::string& path) {
    std::wstring dev = win::DeviceName(path);
    std::wstring port = dev.substr(4);
    if (win::ComNumber(port) == 0) return "";
    // FTDI's driver keeps each adapter's settings under its bus, one key per device and
    // instance, with the COM name it was given.
    HKEY bus = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS", 0,
                        KEY_READ, &bus) != ERROR_SUCCESS)
        return "";
    DWORD latency = 0;
    bool found = false;
    for (const std::wstring& device : SubKeys(bus)) {
        HKEY devKey = nullptr;
        if (::RegOpenKeyExW(bus, device.c_str(), 0, KEY_READ, &devKey) != ERROR_SUCCESS) continue;
        for (const std::wstring& instance : SubKeys(devKey)) {
            HKEY params = nullptr;
            std::wstring sub = instance + L"\\Device Parameters";
            if (::RegOpenKeyExW(devKey, sub.c_str(), 0, KEY_READ, &params) != ERROR_SUCCESS)
                continue;
            if (win::Upper(RegString(params, L"PortName")) == port) {
                DWORD value = 0, size = sizeof value, type = 0;
                if (::RegQueryValueExW(params, L"LatencyTimer", nullptr, &type,
                                       reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS &&
                    type == REG_DWORD) {
                    latency = value;
                    found = true;
                }
            }
            ::RegCloseKey(params);
            if (found) break;
        }
        ::RegCloseKey(devKey);
        if (found) break;
    }
    ::RegCloseKey(bus);
    if (!found || latency <= LATENCY_ADVICE_ABOVE_MS) return "";
    std::string name = win::Narrow(port);
    return name + " is an FTDI USB adapter whose latency timer is " + std::to_string(latency) +
           " ms: it holds every answer of the device that long, so an update takes several "
           "times longer than it needs. Set it to 1 ms: Device Manager, Ports (COM & LPT), " +
           name +
           ", Properties, Port Settings, Advanced, Latency Timer (msec) = 1; then unplug the "
           "adapter and plug it in again.";
}

}  // namespace plat
