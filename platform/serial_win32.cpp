// The serial device on Windows: COM ports through overlapped I/O, and the in-process loopback
// port of the simulated device.
//
// The read side keeps one overlapped ReadFile pending at all times and waits for it together with
// a manual-reset wake event that SerialWakeWaiters sets, so that a Close from another thread ends
// the reader's wait at once: a blocked synchronous read cannot be interrupted at all.
#include <algorithm>
#include <atomic>
#include <cwctype>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/Loopback.h"
#include "platform/SerialDevice.h"
#include "platform/win32_util.h"

namespace plat {

namespace {

constexpr DWORD READ_SIZE = 1024;
constexpr DWORD COMM_EVENTS = EV_RXCHAR | EV_TXEMPTY | EV_ERR;  // 0x85
constexpr DWORD PURGE_ALL = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

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

int Code(DWORD e) {
    return static_cast<int>(e);
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
            *err = Code(ERROR_INVALID_PARAMETER);
            return false;
        }
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!::GetCommState(m_h, &dcb)) {
            *err = Code(::GetLastError());
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
            *err = Code(::GetLastError());
            ::SetCommState(m_h, &old);
            return false;
        }
        ::SetCommMask(m_h, COMM_EVENTS);
        *err = 0;
        return true;
    }

    // Read back: wine, for one, takes 256000 and runs at 38400.
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
            *err = Code(m_dwReadError);
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
            *err = Code(e);
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
            *err = Code(e);
            return -1;
        }
        m_bWritePending = false;
        return static_cast<long>(n);
    }

    HANDLE m_h;
    const std::wstring m_strName;
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
            *err = Code(ERROR_INVALID_PARAMETER);
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
        if (n < 0) *err = Code(ERROR_BROKEN_PIPE);
        return n;
    }
    long Write(const uint8_t* data, size_t size, int* err) override {
        long n = m_line->Write(CLoopback::HOST, data, size);
        if (n < 0) *err = Code(ERROR_BROKEN_PIPE);
        return n;
    }
    void Wake() override { m_line->Wake(CLoopback::HOST); }

private:
    std::shared_ptr<CLoopback> m_line;
    std::atomic<uint32_t> m_dwBaud{0};
};

std::mutex g_portsMtx;
std::map<SerialHandle, std::shared_ptr<CPort>> g_ports;
SerialHandle g_nNextId = 3;

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
    if (CLoopback::IsLoopbackPath(path)) {
        std::shared_ptr<CLoopback> line = CLoopback::Find(path);
        if (!line) {
            *err = Code(ERROR_FILE_NOT_FOUND);
            return INVALID_SERIAL;
        }
        if (!line->Claim(CLoopback::HOST)) {
            *err = Code(ERROR_ACCESS_DENIED);
            return INVALID_SERIAL;
        }
        *err = 0;
        return AddPort(std::make_shared<CLoopPort>(std::move(line)));
    }
    std::wstring name = win::DeviceName(path);
    // Not shared: Windows then refuses the port to every other program while it is open.
    HANDLE h = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *err = Code(::GetLastError());
        return INVALID_SERIAL;
    }
    auto port = std::make_shared<CComPort>(h, name.substr(4));
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
