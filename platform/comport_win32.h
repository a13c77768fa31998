// A Windows COM port for the serial device layer: the port interface shared with the ports the
// program serves itself, and the COM port itself on overlapped I/O. Used by serial_win32.cpp only.
//
// The read side keeps one overlapped ReadFile pending at all times and waits for it together with
// a manual-reset wake event that Wake sets, so that a Close from another thread ends the reader's
// wait at once: a blocked synchronous read cannot be interrupted at all.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/SerialDevice.h"
#include "platform/win32_util.h"

namespace plat::winport {

constexpr DWORD READ_SIZE = 1024;
constexpr DWORD PURGE_ALL = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

inline DWORD ToMs(std::chrono::nanoseconds d) {
    if (d.count() <= 0) return 0;
    auto ms = (d.count() + 999999) / 1000000;
    return static_cast<DWORD>(std::min<int64_t>(ms, INFINITE - 1));
}

// A port that opens but fails its I/O later lost its device: a pulled adapter, a closed pipe.
inline bool IsLineGone(DWORD e) {
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

inline int Code(DWORD e) {
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
    explicit CComPort(HANDLE h) : m_h(h), m_buf(READ_SIZE), m_writeBuf() {
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

    // Buffers and timeouts as the device's line wants them, before any configuration.
    bool Prepare() {
        ::SetupComm(m_h, 4096, 4096);
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

}  // namespace plat::winport
