// The serial device on Windows: COM ports (comport_win32.h) and the ports the program serves
// itself (PortProvider.h) behind the handles of the device layer.
#include <algorithm>
#include <atomic>
#include <cwctype>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/PortProvider.h"
#include "platform/SerialDevice.h"
#include "platform/comport_win32.h"
#include "platform/win32_util.h"

namespace plat {

namespace {

using namespace winport;

// A port the program serves itself (platform/PortProvider.h), in the terms of the port table.
class CProvidedPort : public CPort {
public:
    explicit CProvidedPort(std::shared_ptr<IProvidedPort> port) : m_port(std::move(port)) {}

    bool Configure(uint32_t baud, int* err) override {
        if (!m_port->Configure(baud)) {
            *err = Code(ERROR_INVALID_PARAMETER);
            return false;
        }
        *err = 0;
        return true;
    }
    uint32_t GetBaud() override { return m_port->GetBaud(); }
    bool SetModemLines(bool, bool) override { return false; }
    bool Purge() override {
        m_port->Purge();
        return true;
    }
    SerialWaitState WaitRead(std::chrono::nanoseconds timeout) override {
        return m_port->WaitRead(timeout);
    }
    SerialWaitState WaitWrite(std::chrono::nanoseconds timeout) override {
        return m_port->WaitWrite(timeout);
    }
    long Read(uint8_t* buf, size_t size, int* err) override {
        long n = m_port->Read(buf, size);
        if (n < 0) *err = Code(ERROR_BROKEN_PIPE);
        return n;
    }
    long Write(const uint8_t* data, size_t size, int* err) override {
        long n = m_port->Write(data, size);
        if (n < 0) *err = Code(ERROR_BROKEN_PIPE);
        return n;
    }
    void Wake() override { m_port->Wake(); }

private:
    std::shared_ptr<IProvidedPort> m_port;
};

// Never destroyed: a slow open given up on may close its port after the program's statics are
// gone.
struct CPortTable {
    std::mutex mtx;
    std::map<SerialHandle, std::shared_ptr<CPort>> ports;
    SerialHandle nextId = 3;
};
CPortTable& Table() {
    static auto* table = new CPortTable;
    return *table;
}
std::mutex& g_portsMtx = Table().mtx;
std::map<SerialHandle, std::shared_ptr<CPort>>& g_ports = Table().ports;
SerialHandle& g_nNextId = Table().nextId;

std::shared_ptr<CPort> PortOf(SerialHandle fd) {
    std::lock_guard<std::mutex> lock(g_portsMtx);
    auto it = g_ports.find(fd);
    return it == g_ports.end() ? nullptr : it->second;
}

SerialHandle AddPort(std::shared_ptr<CPort> port) {
    std::lock_guard<std::mutex> lock(g_portsMtx);
    SerialHandle id = g_nNextId++;
    if (g_nNextId < 3) g_nNextId = 3;
    g_ports[id] = std::move(port);
    return id;
}

}  // namespace

SerialHandle SerialOpen(const std::string& path, int* err) {
    std::shared_ptr<IProvidedPort> provided;
    switch (OpenProvidedPort(path, &provided)) {
        case PortOpen::Opened:
            *err = 0;
            return AddPort(std::make_shared<CProvidedPort>(std::move(provided)));
        case PortOpen::NoSuchPort:
            *err = Code(ERROR_FILE_NOT_FOUND);
            return INVALID_SERIAL;
        case PortOpen::Busy:
            *err = Code(ERROR_ACCESS_DENIED);
            return INVALID_SERIAL;
        case PortOpen::NotMine:
            break;
    }
    std::wstring name = win::DeviceName(path);
    // Not shared: Windows then refuses the port to every other program while it is open.
    HANDLE h = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *err = Code(::GetLastError());
        return INVALID_SERIAL;
    }
    auto port = std::make_shared<CComPort>(h);
    if (!port->Ok()) {
        *err = Code(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_SERIAL;
    }
    if (!port->Prepare()) {
        *err = Code(::GetLastError());
        return INVALID_SERIAL;
    }
    *err = 0;
    return AddPort(std::move(port));
}

void SerialClose(SerialHandle fd) {
    std::shared_ptr<CPort> port;
    {
        std::lock_guard<std::mutex> lock(g_portsMtx);
        auto it = g_ports.find(fd);
        if (it == g_ports.end()) return;
        port = std::move(it->second);
        g_ports.erase(it);
    }
    port.reset();
}

void SerialWakeWaiters(SerialHandle fd) {
    if (auto port = PortOf(fd)) port->Wake();
}

bool SerialConfigure(SerialHandle fd, uint32_t baud, int* err) {
    auto port = PortOf(fd);
    if (!port) {
        *err = Code(ERROR_INVALID_HANDLE);
        return false;
    }
    return port->Configure(baud, err);
}

uint32_t SerialActualBaud(SerialHandle fd) {
    auto port = PortOf(fd);
    return port ? port->GetBaud() : 0;
}

bool SerialSetModemLines(SerialHandle fd, bool rts, bool dtr) {
    auto port = PortOf(fd);
    return port && port->SetModemLines(rts, dtr);
}

// Windows has no such switch per handle; an FTDI adapter's latency timer is a driver setting
// (SerialAdapterAdvice).
bool SerialSetLowLatency(SerialHandle /*fd*/) {
    return false;
}

bool SerialPurge(SerialHandle fd) {
    auto port = PortOf(fd);
    return port && port->Purge();
}

SerialWaitState SerialWaitRead(SerialHandle fd, std::chrono::nanoseconds timeout) {
    auto port = PortOf(fd);
    if (!port) {
        SerialPause(timeout);
        return SerialWaitState{};
    }
    return port->WaitRead(timeout);
}

SerialWaitState SerialWaitWrite(SerialHandle fd, std::chrono::nanoseconds timeout) {
    auto port = PortOf(fd);
    if (!port) {
        SerialPause(timeout);
        return SerialWaitState{};
    }
    return port->WaitWrite(timeout);
}

long SerialRead(SerialHandle fd, uint8_t* buf, size_t size, int* err) {
    auto port = PortOf(fd);
    if (!port) {
        *err = Code(ERROR_INVALID_HANDLE);
        return -1;
    }
    return port->Read(buf, size, err);
}

long SerialWrite(SerialHandle fd, const uint8_t* data, size_t size, int* err) {
    auto port = PortOf(fd);
    if (!port) {
        *err = Code(ERROR_INVALID_HANDLE);
        return -1;
    }
    return port->Write(data, size, err);
}

SerialOpenFault SerialClassifyOpenError(int err) {
    switch (static_cast<DWORD>(err)) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_NETPATH:
            return SerialOpenFault::NoSuchPort;
        // Windows gives a COM port to one handle only: another program has it open.
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_BUSY:
            return SerialOpenFault::Busy;
        default:
            return SerialOpenFault::Other;
    }
}

bool SerialIsHangUpError(int err) {
    return IsLineGone(static_cast<DWORD>(err));
}

std::string SerialErrorText(int err) {
    return win::ErrorText(static_cast<DWORD>(err));
}

void SerialNameReadThread() {
    // Windows 10 1607 and later; looked up so that older systems still start the program.
    using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    if (kernel == nullptr) return;
    auto fn = reinterpret_cast<SetDescription>(
        reinterpret_cast<void*>(::GetProcAddress(kernel, "SetThreadDescription")));
    if (fn != nullptr) fn(::GetCurrentThread(), L"serial-read");
}

void SerialPause(std::chrono::nanoseconds d) {
    DWORD ms = ToMs(d);
    ::Sleep(ms == 0 ? 0 : ms);
}

}  // namespace plat
