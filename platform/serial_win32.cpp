// The serial device on Windows: COM ports through overlapped I/O, and the in-process loopback
// port of the simulated device.
//
// The read side keeps one overlapped ReadFile pending at all times and waits for it together with
// a manual-reset wake event that SerialWakeWaiters sets, so that a Close from another thread ends
// the reader's wait at once: a blocked synchronous read cannot be interrupted at all.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cwctype>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "core/Log.h"
#include "platform/Loopback.h"
#include "platform/SerialDevice.h"
#include "platform/win32_util.h"

namespace plat {

namespace {

constexpr DWORD READ_SIZE = 1024;
constexpr DWORD COMM_EVENTS = EV_RXCHAR | EV_TXEMPTY | EV_ERR;  // 0x85
constexpr DWORD PURGE_ALL = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
// The Windows default is 16 ms; above this an adapter costs the stop-and-wait exchange dearly.
constexpr DWORD LATENCY_ADVICE_ABOVE_MS = 2;

DWORD ToMs(std::chrono::nanoseconds d) {
    if (d.count() <= 0) return 0;
    auto ms = (d.count() + 999999) / 1000000;
    return static_cast<DWORD>(std::min<int64_t>(ms, INFINITE - 1));
}

// A port that opens but fails its I/O later lost its device: a pulled adapter, a closed pipe.
bool IsLineGone(DWORD e) {
    switch (e) {
        case ERROR_BROKEN_PIPE:           // 109
        case ERROR_NOT_READY:             // 21
        case ERROR_BAD_COMMAND:           // 22
        case ERROR_GEN_FAILURE:           // 31
        case ERROR_DEVICE_NOT_CONNECTED:  // 1167
        case ERROR_ACCESS_DENIED:         // 5, a removed USB device
        case ERROR_INVALID_HANDLE:
        case ERROR_DEVICE_REMOVED:
            return true;
        default:
            return false;
    }
}

int OpenErrno(DWORD e) {
    switch (e) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_NETPATH:
            return ENOENT;
        // Windows opens a COM port for one handle only: another program has it.
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_BUSY:
            return EBUSY;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        default:
            return EIO;
    }
}

// Only a line that is gone reads as a hang-up; other failures are tried again.
int IoErrno(DWORD e) {
    return IsLineGone(e) ? ENODEV : EPROTO;
}

class CPort {
public:
    virtual ~CPort() = default;
    virtual bool Configure(uint32_t baud, int* err) = 0;
    virtual uint32_t GetBaud() = 0;
    virtual bool SetModemLines(bool rts, bool dtr) = 0;
    virtual bool Purge() = 0;
    virtual SerialWaitState WaitRead(std::chrono::nanoseconds timeout) = 0;
    virtual SerialWaitState WaitWrite(std::chrono::nanoseconds timeout) = 0;
    virtual long Read(uint8_t* buf, size_t size, int* err) = 0;
    virtual long Write(const uint8_t* data, size_t size, int* err) = 0;
    virtual void Wake() = 0;
};

class CComPort : public CPort {
public:
    CComPort(HANDLE h, std::wstring name)
        : m_h(h), m_strName(std::move(name)), m_buf(READ_SIZE), m_writeBuf() {
        m_wake = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        m_readOv.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        m_writeOv.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    ~CComPort() override {
        // The kernel writes into our buffers until the requests are over.
        ::CancelIoEx(m_h, nullptr);
        DWORD n = 0;
        if (m_bReadPending) ::GetOverlappedResult(m_h, &m_readOv, &n, TRUE);
        if (m_bWritePending) ::GetOverlappedResult(m_h, &m_writeOv, &n, TRUE);
        ::CloseHandle(m_h);
        for (HANDLE e : {m_wake, m_readOv.hEvent, m_writeOv.hEvent}) {
            if (e != nullptr) ::CloseHandle(e);
        }
    }
    bool Ok() const {
        return m_wake != nullptr && m_readOv.hEvent != nullptr && m_writeOv.hEvent != nullptr;
    }

    // Timeouts and event mask as the device's line wants them, before any configuration.
    bool Prepare() {
        ::SetupComm(m_h, 4096, 4096);
        ::SetCommMask(m_h, COMM_EVENTS);
        ::PurgeComm(m_h, PURGE_ALL);
        // A read waits for its first byte and ends 1 ms after the last one: a frame arrives in
        // one piece, and the pending read needs no polling. Writes are bounded by the caller.
        COMMTIMEOUTS t{};
        t.ReadIntervalTimeout = 1;
        return ::SetCommTimeouts(m_h, &t) != 0;
    }

    bool Configure(uint32_t baud, int* err) override {
        if (baud == 0) {
            *err = EINVAL;
            return false;
        }
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!::GetCommState(m_h, &dcb)) {
            *err = IoErrno(::GetLastError());
            return false;
        }
        DCB old = dcb;
        dcb.BaudRate = baud;
        dcb.fBinary = TRUE;
        dcb.fParity = FALSE;
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fDsrSensitivity = FALSE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        dcb.fErrorChar = FALSE;
        dcb.fNull = FALSE;
        // Otherwise a framing error stops all I/O until someone calls ClearCommError.
        dcb.fAbortOnError = FALSE;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        if (!::SetCommState(m_h, &dcb)) {
            *err = EINVAL;
            ::SetCommState(m_h, &old);
            return false;
        }
        ::SetCommMask(m_h, COMM_EVENTS);
        // Some drivers take a rate they cannot make and quietly run at another (wine sets 38400
        // for 256000): say so, the device will not understand a word.
        DCB got{};
        got.DCBlength = sizeof got;
        if (::GetCommState(m_h, &got) && got.BaudRate != baud &&
            m_dwToldBaud.exchange(baud) != baud) {
            WriteLog("[CSerial] %s: asked for %u baud, the driver reports %lu baud\r\n",
                     win::Narrow(m_strName).c_str(), baud,
                     static_cast<unsigned long>(got.BaudRate));
        }
        *err = 0;
        return true;
    }

    uint32_t GetBaud() override {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        return ::GetCommState(m_h, &dcb) ? dcb.BaudRate : 0;
    }

    // Through the device control block: EscapeCommFunction fails on some drivers (and on
    // wine's pseudo-terminals) where the block's fields are taken.
    bool SetModemLines(bool rts, bool dtr) override {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!::GetCommState(m_h, &dcb)) return false;
        dcb.fRtsControl = rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
        dcb.fDtrControl = dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
        return ::SetCommState(m_h, &dcb) != 0;
    }

    bool Purge() override {
        // Ends the pending read with ERROR_OPERATION_ABORTED; the reader starts another.
        m_nPurges.fetch_add(1);
        return ::PurgeComm(m_h, PURGE_ALL) != 0;
    }

    SerialWaitState WaitRead(std::chrono::nanoseconds timeout) override {
        SerialWaitState s;
        if (Collect(false)) {
            s.ready = true;
            s.hangUp = m_dwReadError != 0 && IsLineGone(m_dwReadError);
            return s;
        }
        HANDLE events[2] = {m_readOv.hEvent, m_wake};
        DWORD r = ::WaitForMultipleObjects(2, events, FALSE, ToMs(timeout));
        if (r == WAIT_OBJECT_0 + 1) s.woken = true;
        if (Collect(false)) {
            s.ready = true;
            s.hangUp = m_dwReadError != 0 && IsLineGone(m_dwReadError);
        }
        if (::WaitForSingleObject(m_wake, 0) == WAIT_OBJECT_0) s.woken = true;
        return s;
    }

    long Read(uint8_t* buf, size_t size, int* err) override {
        Collect(false);
        if (m_nHave > m_nTaken) {
            size_t n = std::min(size, m_nHave - m_nTaken);
            std::copy_n(m_buf.begin() + static_cast<std::ptrdiff_t>(m_nTaken), n, buf);
            m_nTaken += n;
            // The next read is on its way before the caller has even looked at these bytes.
            if (m_nTaken == m_nHave) StartRead();
            return static_cast<long>(n);
        }
        if (m_dwReadError != 0) {
            *err = IoErrno(m_dwReadError);
            DWORD e = m_dwReadError;
            m_dwReadError = 0;
            // A line that is gone stays gone; anything else is tried again.
            if (!IsLineGone(e)) StartRead();
            return -1;
        }
        return 0;
    }

    long Write(const uint8_t* data, size_t size, int* err) override {
        if (m_bWritePending) {
            if (data != m_pWriteFrom || size != m_writeBuf.size()) {
                // The caller gave up on the earlier write: it is not to go out any more.
                ::CancelIoEx(m_h, &m_writeOv);
                DWORD n = 0;
                ::GetOverlappedResult(m_h, &m_writeOv, &n, TRUE);
                m_bWritePending = false;
            } else {
                return FinishWrite(false, err);
            }
        }
        m_writeBuf.assign(data, data + size);
        m_pWriteFrom = data;
        ::ResetEvent(m_writeOv.hEvent);
        DWORD n = 0;
        if (::WriteFile(m_h, m_writeBuf.data(), static_cast<DWORD>(m_writeBuf.size()), &n,
                        &m_writeOv)) {
            return static_cast<long>(n);
        }
        DWORD e = ::GetLastError();
        if (e != ERROR_IO_PENDING) {
            *err = IoErrno(e);
            return -1;
        }
        m_bWritePending = true;
        return FinishWrite(false, err);
    }

    SerialWaitState WaitWrite(std::chrono::nanoseconds timeout) override {
        SerialWaitState s;
        if (!m_bWritePending) {
            s.ready = true;
            return s;
        }
        HANDLE events[2] = {m_writeOv.hEvent, m_wake};
        DWORD r = ::WaitForMultipleObjects(2, events, FALSE, ToMs(timeout));
        if (r == WAIT_OBJECT_0) {
            s.ready = true;
            DWORD n = 0;
            if (!::GetOverlappedResult(m_h, &m_writeOv, &n, FALSE) && IsLineGone(::GetLastError()))
                s.hangUp = true;
        } else if (r == WAIT_OBJECT_0 + 1) {
            s.woken = true;
        }
        return s;
    }

    void Wake() override { ::SetEvent(m_wake); }

private:
    // Issues the one pending read. Completion is picked up by Collect.
    void StartRead() {
        m_nHave = m_nTaken = 0;
        m_dwReadError = 0;
        m_nPurgeSeen = m_nPurges.load();
        ::ResetEvent(m_readOv.hEvent);
        DWORD n = 0;
        m_bReadPending = true;
        if (::ReadFile(m_h, m_buf.data(), READ_SIZE, &n, &m_readOv)) return;
        DWORD e = ::GetLastError();
        if (e == ERROR_IO_PENDING) return;
        m_bReadPending = false;
        m_dwReadError = e;
    }

    // True when bytes or an error wait to be taken; starts a read when none is pending.
    bool Collect(bool wait) {
        if (m_nHave > m_nTaken || m_dwReadError != 0) return true;
        if (!m_bReadPending) {
            StartRead();
            if (m_dwReadError != 0) return true;
        }
        DWORD n = 0;
        if (!::GetOverlappedResult(m_h, &m_readOv, &n, wait ? TRUE : FALSE)) {
            DWORD e = ::GetLastError();
            if (e == ERROR_IO_INCOMPLETE) return false;
            m_bReadPending = false;
            // A purge (or a cancel) ended it; nothing is lost that the purge did not discard.
            if (e == ERROR_OPERATION_ABORTED) {
                StartRead();
                return m_dwReadError != 0;
            }
            m_dwReadError = e;
            return true;
        }
        m_bReadPending = false;
        // Bytes that came before a purge are discarded with the driver's.
        if (m_nPurgeSeen != m_nPurges.load()) n = 0;
        m_nHave = n;
        m_nTaken = 0;
        if (n == 0) {
            StartRead();
            return m_dwReadError != 0;
        }
        return true;
    }

    long FinishWrite(bool wait, int* err) {
        DWORD n = 0;
        if (!::GetOverlappedResult(m_h, &m_writeOv, &n, wait ? TRUE : FALSE)) {
            DWORD e = ::GetLastError();
            if (e == ERROR_IO_INCOMPLETE) return 0;
            m_bWritePending = false;
            *err = IoErrno(e);
            return -1;
        }
        m_bWritePending = false;
        return static_cast<long>(n);
    }

    HANDLE m_h;
    const std::wstring m_strName;
    std::atomic<DWORD> m_dwToldBaud{0};  // the rate whose difference was logged
    HANDLE m_wake = nullptr;

    // Read side: used by the one reader thread only.
    OVERLAPPED m_readOv{};
    std::vector<uint8_t> m_buf;
    bool m_bReadPending = false;
    size_t m_nHave = 0, m_nTaken = 0;
    DWORD m_dwReadError = 0;
    std::atomic<unsigned> m_nPurges{0};
    unsigned m_nPurgeSeen = 0;

    // Write side: used under the caller's write lock.
    OVERLAPPED m_writeOv{};
    std::vector<uint8_t> m_writeBuf;
    const uint8_t* m_pWriteFrom = nullptr;
    bool m_bWritePending = false;
};

class CLoopPort : public CPort {
public:
    explicit CLoopPort(std::shared_ptr<CLoopback> line) : m_line(std::move(line)) {}
    ~CLoopPort() override { m_line->Release(CLoopback::HOST); }

    bool Configure(uint32_t baud, int* err) override {
        if (baud == 0) {
            *err = EINVAL;
            return false;
        }
        m_dwBaud.store(baud);
        *err = 0;
        return true;
    }
    uint32_t GetBaud() override { return m_dwBaud.load(); }
    bool SetModemLines(bool, bool) override { return false; }
    bool Purge() override {
        m_line->Purge(CLoopback::HOST);
        return true;
    }
    SerialWaitState WaitRead(std::chrono::nanoseconds timeout) override {
        CLoopback::WaitState w = m_line->Wait(CLoopback::HOST, timeout);
        SerialWaitState s;
        s.ready = w.readable || w.hungUp;
        s.hangUp = w.hungUp;
        s.woken = w.woken;
        return s;
    }
    SerialWaitState WaitWrite(std::chrono::nanoseconds) override {
        SerialWaitState s;
        s.ready = true;
        s.hangUp = m_line->IsHungUp();
        return s;
    }
    long Read(uint8_t* buf, size_t size, int* err) override {
        long n = m_line->Read(CLoopback::HOST, buf, size);
        if (n < 0) *err = ENODEV;
        return n;
    }
    long Write(const uint8_t* data, size_t size, int* err) override {
        long n = m_line->Write(CLoopback::HOST, data, size);
        if (n < 0) *err = ENODEV;
        return n;
    }
    void Wake() override { m_line->Wake(CLoopback::HOST); }

private:
    std::shared_ptr<CLoopback> m_line;
    std::atomic<uint32_t> m_dwBaud{0};
};

std::mutex g_portsMtx;
std::map<int, std::shared_ptr<CPort>> g_ports;
int g_nNextId = 3;

std::shared_ptr<CPort> PortOf(int fd) {
    std::lock_guard<std::mutex> lock(g_portsMtx);
    auto it = g_ports.find(fd);
    return it == g_ports.end() ? nullptr : it->second;
}

int AddPort(std::shared_ptr<CPort> port) {
    std::lock_guard<std::mutex> lock(g_portsMtx);
    int id = g_nNextId++;
    if (g_nNextId < 3) g_nNextId = 3;
    g_ports[id] = std::move(port);
    return id;
}

std::wstring Upper(std::wstring s) {
    for (auto& c : s) c = static_cast<wchar_t>(std::towupper(c));
    return s;
}

// "COM12" -> 12, anything else -> 0.
unsigned ComNumber(const std::wstring& name) {
    std::wstring u = Upper(name);
    if (u.size() < 4 || u.compare(0, 3, L"COM") != 0) return 0;
    unsigned n = 0;
    for (size_t i = 3; i < u.size(); ++i) {
        if (u[i] < L'0' || u[i] > L'9' || n > 100000) return 0;
        n = n * 10 + static_cast<unsigned>(u[i] - L'0');
    }
    return n;
}

// "COM3", "com3" and "\\.\COM3" all name \\.\COM3.
std::wstring DeviceName(const std::string& path) {
    std::wstring w = win::Wide(path);
    if (w.compare(0, 4, L"\\\\.\\") == 0) w = w.substr(4);
    if (ComNumber(w) != 0) w = Upper(w);
    return L"\\\\.\\" + w;
}

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

}  // namespace

std::vector<std::string> SerialListPorts() {
    std::vector<std::pair<unsigned, std::wstring>> found;
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ,
                        &key) == ERROR_SUCCESS) {
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
            std::wstring port = data;
            unsigned n = ComNumber(port);
            // Ports that are not COMn (rare virtual drivers) after the numbered ones.
            found.emplace_back(n == 0 ? 0xFFFFFFFFu : n, n == 0 ? port : Upper(port));
        }
        ::RegCloseKey(key);
    }
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
    std::vector<std::string> out;
    for (auto& f : found) out.push_back(win::Narrow(f.second));
    if (out.empty()) {
        // Nothing listed (no driver registers there): try the ports as the original did.
        for (int n = 1; n <= 50; ++n) out.push_back("COM" + std::to_string(n));
    }
    return out;
}

std::string SerialAdapterAdvice(const std::string& path) {
    std::wstring dev = DeviceName(path);
    std::wstring port = dev.substr(4);
    if (ComNumber(port) == 0) return "";
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
            if (Upper(RegString(params, L"PortName")) == port) {
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

int SerialOpen(const std::string& path, int* err) {
    if (CLoopback::IsLoopbackPath(path)) {
        std::shared_ptr<CLoopback> line = CLoopback::Find(path);
        if (!line) {
            *err = ENOENT;
            return -1;
        }
        if (!line->Claim(CLoopback::HOST)) {
            *err = EBUSY;
            return -1;
        }
        *err = 0;
        return AddPort(std::make_shared<CLoopPort>(std::move(line)));
    }
    std::wstring name = DeviceName(path);
    // Not shared: Windows then refuses the port to every other program while it is open.
    HANDLE h = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *err = OpenErrno(::GetLastError());
        return -1;
    }
    auto port = std::make_shared<CComPort>(h, name.substr(4));
    if (!port->Ok()) {
        *err = ENOMEM;
        return -1;
    }
    if (!port->Prepare()) {
        *err = EINVAL;
        return -1;
    }
    *err = 0;
    return AddPort(std::move(port));
}

void SerialClose(int fd) {
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

void SerialWakeWaiters(int fd) {
    if (auto port = PortOf(fd)) port->Wake();
}

bool SerialConfigure(int fd, uint32_t baud, int* err) {
    auto port = PortOf(fd);
    if (!port) {
        *err = EBADF;
        return false;
    }
    return port->Configure(baud, err);
}

uint32_t SerialGetBaud(int fd) {
    auto port = PortOf(fd);
    return port ? port->GetBaud() : 0;
}

bool SerialSetModemLines(int fd, bool rts, bool dtr) {
    auto port = PortOf(fd);
    return port && port->SetModemLines(rts, dtr);
}

// Windows has no such switch per handle; an FTDI adapter's latency timer is a driver setting
// (SerialAdapterAdvice).
bool SerialSetLowLatency(int /*fd*/) {
    return false;
}

bool SerialPurge(int fd) {
    auto port = PortOf(fd);
    return port && port->Purge();
}

SerialWaitState SerialWaitRead(int fd, std::chrono::nanoseconds timeout) {
    auto port = PortOf(fd);
    if (!port) {
        SerialPause(timeout);
        return SerialWaitState{};
    }
    return port->WaitRead(timeout);
}

SerialWaitState SerialWaitWrite(int fd, std::chrono::nanoseconds timeout) {
    auto port = PortOf(fd);
    if (!port) {
        SerialPause(timeout);
        return SerialWaitState{};
    }
    return port->WaitWrite(timeout);
}

long SerialRead(int fd, uint8_t* buf, size_t size, int* err) {
    auto port = PortOf(fd);
    if (!port) {
        *err = EBADF;
        return -1;
    }
    return port->Read(buf, size, err);
}

long SerialWrite(int fd, const uint8_t* data, size_t size, int* err) {
    auto port = PortOf(fd);
    if (!port) {
        *err = EBADF;
        return -1;
    }
    return port->Write(data, size, err);
}

bool SerialIsHangUpError(int err) {
    return err == ENODEV || err == ENXIO || err == EIO;
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
