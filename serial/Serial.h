// The serial port: fixed line settings of the protocol (256000 baud, 8N1, no flow control, RTS on,
// DTR off) and a read thread that hands every chunk it reads to a receiver on that thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "core/AutoThread.h"
#include "platform/SerialDevice.h"

class CSerialObject {
public:
    virtual ~CSerialObject() = default;
    // Called on the read thread with each chunk; the buffer is reused after the call returns.
    virtual int OnReceive(const uint8_t* data, uint32_t count) = 0;
    // Called once on the read thread when the line goes away (cable pulled, adapter unplugged).
    virtual void OnLineLost() {}
};

using PFN_SERIAL_RECEIVE = void (*)(void* receiver, const uint8_t* data, uint32_t count);
using PFN_SERIAL_LINE_LOST = void (*)(void* receiver);

// Why the last Open failed, for the user's message.
// Slow: the open took longer than the bound it was given (a Bluetooth port connecting); it goes
// on and the next open of the port takes it over.
enum class PortError { None, NoSuchPort, Busy, PermissionDenied, Settings, Other, Slow };

namespace serialports {
// Tests only: called with the path on the thread that opens a device, before it opens it; it may
// block there as a slow driver does. Empty: none.
void SetOpenSeam(std::function<void(const std::string& path)> seam);
}  // namespace serialports

class CSerial : public CAutoThread {
public:
    static constexpr plat::SerialHandle INVALID_HANDLE = plat::INVALID_SERIAL;
    static constexpr uint32_t INITIAL_BAUD = 256000;

    CSerial();
    ~CSerial() override;

    // Opens COM n (n >= 1), the n-th entry of the port table. 1 on success, read thread running.
    int Open(uint8_t port);
    // Opens a device path directly (what Open does once the number is resolved).
    int OpenPath(const std::string& path);
    // Non-zero on success; the port keeps its previous settings on failure.
    int SetBaudRate(uint32_t baud);
    // Purge, stop the read thread (safe from the read thread itself), close, mark closed. Ends an
    // Open waiting on another thread too.
    void Close();
    // Ends an Open waiting on another thread (it fails); the open itself goes on for a later Open.
    void CancelOpen();
    // How long Open waits for the device to open (INFINITE_WAIT: as long as it takes).
    std::atomic<uint32_t> m_dwOpenBound{0xFFFFFFFFu};
    bool IsOpen() const { return m_hCom.load() != INVALID_HANDLE; }

    // Writes all bytes or fails within a bounded time; the reason of a failure is kept.
    bool Write(const uint8_t* data, uint32_t count);
    // Discards what is buffered both ways.
    void Purge();

    PortError GetLastError() const;
    std::string GetLastErrorText() const;
    const std::string& GetPath() const { return m_strPath; }
    // Baud rate the line runs at, 0 when closed.
    uint32_t GetBaudRate() const { return m_dwBaud.load(); }
    // True once the read thread saw the line go away (adapter unplugged); cleared by Open.
    bool IsHungUp() const { return m_bHungUp.load(); }
    // Passes of the read loop so far (each waits for data or pauses).
    uint32_t GetReadPasses() const { return m_dwReadPasses.load(); }

    uint32_t Run() override;

    // Set by the controller at each frame write (a flag and the tick); nothing reads them.
    std::atomic<int32_t> m_bSent{0};
    std::atomic<uint32_t> m_dwSendTick{0};
    std::atomic<PFN_SERIAL_RECEIVE> m_pfnReceive{nullptr};
    // Told once per open when the read thread sees the line hang up; may be null.
    std::atomic<PFN_SERIAL_LINE_LOST> m_pfnLineLost{nullptr};
    uint32_t m_dwReadSleep = 1;
    uint32_t m_dwReadSize = 1024;
    std::atomic<plat::SerialHandle> m_hCom{INVALID_HANDLE};
    std::atomic<void*> m_pReceiver{nullptr};
    // The read loop as first designed: a read that returns at once, then a blind m_dwReadSleep
    // pause after every attempt. Only for the benchmark's before/after comparison; set before
    // Open.
    std::atomic<bool> m_bBlindSleep{false};

private:
    int OpenDevice(const std::string& path);
    int Fail(PortError error, const std::string& text);
    // A failed open or name lookup, worded for the user.
    int FailOpen(const std::string& path, int err);
    // Blocks until no read loop of this object runs any more.
    void WaitReadLoopsEnded();
    // Opens the device on a thread of its own and waits for it within m_dwOpenBound, a stop of
    // the calling thread or CancelOpen. INVALID_SERIAL with the failure recorded otherwise.
    plat::SerialHandle OpenBounded(const std::string& path, const std::string& key);

    // What the read loops share with this object: a loop given up while its receiver was busy
    // may outlive it, and then touches only this.
    struct CLoopShare {
        std::unique_ptr<uint8_t[]> buf;
        std::mutex mtx;
        std::condition_variable cv;
        int loops = 0;
    };
    // One read loop: closed is set by the Close that ends it, before anything is torn down.
    struct CLoop {
        std::shared_ptr<CLoopShare> share;
        std::atomic<bool> closed{false};
    };

    mutable std::mutex m_errMtx;
    PortError m_lastError = PortError::None;
    std::string m_strLastError;
    std::string m_strPath;
    std::string m_strKey;  // canonical path, claimed process-wide while open

    const uint32_t m_dwBufSize;
    std::atomic<uint32_t> m_dwBaud{0};
    std::atomic<uint32_t> m_dwToldBaud{
        0};  // the rate whose difference from the driver's was logged
    std::atomic<bool> m_bHungUp{false};
    std::atomic<uint32_t> m_dwReadPasses{0};

    // Shared by the read loop and Write while they use m_hCom, exclusive to close it: a
    // descriptor number is never used after it was closed and perhaps reused.
    std::shared_mutex m_fdMtx;
    std::mutex m_writeMtx;

    std::mutex m_openMtx;
    std::condition_variable* m_pOpenCv = nullptr;  // of the attempt Open waits for
    uint64_t m_nOpenCancel = 0;

    const std::shared_ptr<CLoopShare> m_pShare;
    std::mutex m_loopMtx;
    std::shared_ptr<CLoop> m_pLoop;
};
