// The serial port object: opening by COM number or path, the line settings, bounded writes and
// the read loop; the device calls themselves are in platform/SerialDevice.h.
#include "serial/Serial.h"

#include <algorithm>
#include <functional>
#include <mutex>
#include <set>

#include "core/Log.h"
#include "platform/Paths.h"
#include "platform/Ports.h"
#include "platform/Time.h"
#include "serial/PortTable.h"
#include "serial/SerialOpen.h"

namespace {

// Below this the pause after a pass without data (a hang-up, a failing read) comes so fast that
// such a port costs a core.
constexpr std::chrono::microseconds MIN_READ_WAIT{500};
// Bytes and a Close end the reader's wait at once; the bound only limits how long a stop request
// without a Close goes unseen. Waking every 1 ms instead costs an idle port about 2 % of a core
// in timer wake-ups.
constexpr std::chrono::milliseconds READ_WAIT_BOUND{100};
// Slice of a blocked write, so that a Close from another thread is seen soon.
constexpr std::chrono::milliseconds WRITE_SLICE{10};
constexpr uint32_t WRITE_GRACE_MS = 2000;

std::mutex g_adviceMtx;
std::set<std::string> g_advised;
std::function<void(const std::string&)> g_adviceHandler;

// The handler runs under the lock, so that it is never called once it has been replaced.
void AdviseOnce(const std::string& key, const std::string& advice) {
    std::lock_guard<std::mutex> lock(g_adviceMtx);
    if (!g_advised.insert(key).second) return;
    WriteLog("[CSerial] %s\r\n", advice.c_str());
    if (g_adviceHandler) g_adviceHandler(advice);
}

std::string ErrText(int err) {
    return plat::SerialErrorText(err);
}

}  // namespace

void serialports::SetAdviceHandler(std::function<void(const std::string&)> handler) {
    std::lock_guard<std::mutex> lock(g_adviceMtx);
    g_adviceHandler = std::move(handler);
}

CSerial::CSerial() : m_dwBufSize(1024), m_pShare(std::make_shared<CLoopShare>()) {
    m_dwReadSize = m_dwBufSize;
    m_pShare->buf = std::make_unique<uint8_t[]>(m_dwBufSize);
}

CSerial::~CSerial() {
    Close();
    WaitReadLoopsEnded();
}

void CSerial::WaitReadLoopsEnded() {
    // A loop that closed its own port may still be returning from the receiver.
    CLoopShare& share = *m_pShare;
    std::unique_lock<std::mutex> lock(share.mtx);
    if (!share.cv.wait_for(lock, plat::ToReal(m_dwStopTimeout), [&] { return share.loops == 0; })) {
        WriteLog("[CSerial] read loop still busy in its receiver at destruction\r\n");
    }
}

PortError CSerial::GetLastError() const {
    std::lock_guard<std::mutex> lock(m_errMtx);
    return m_lastError;
}

std::string CSerial::GetLastErrorText() const {
    std::lock_guard<std::mutex> lock(m_errMtx);
    return m_strLastError;
}

int CSerial::Fail(PortError error, const std::string& text) {
    {
        std::lock_guard<std::mutex> lock(m_errMtx);
        m_lastError = error;
        m_strLastError = text;
    }
    // Probing walks COM1 to COM50; most of them are simply absent.
    if (error != PortError::None && error != PortError::NoSuchPort)
        WriteLog("[CSerial] %s\r\n", text.c_str());
    return 0;
}

int CSerial::FailOpen(const std::string& path, int err) {
    switch (plat::SerialClassifyOpenError(err)) {
        case plat::SerialOpenFault::NoSuchPort:
            return Fail(PortError::NoSuchPort, path + ": no such port (" + ErrText(err) + ")");
        case plat::SerialOpenFault::Busy:
            return Fail(PortError::Busy, path + ": port busy (in use by another program)");
        case plat::SerialOpenFault::PermissionDenied:
            return Fail(PortError::PermissionDenied,
                        path + ": permission denied (add your user to the dialout group)");
        case plat::SerialOpenFault::Other:
            break;
    }
    return Fail(PortError::Other, path + ": cannot open (" + ErrText(err) + ")");
}

int CSerial::Open(uint8_t port) {
    if (IsOpen()) Close();
    std::string path = serialports::PortPath(port);
    if (path.empty()) {
        return Fail(PortError::NoSuchPort,
                    "COM" + std::to_string(port) + ": no such port (not in the port table)");
    }
    return OpenDevice(path);
}

int CSerial::OpenPath(const std::string& path) {
    if (IsOpen()) Close();
    return OpenDevice(path);
}

int CSerial::OpenDevice(const std::string& path) {
    m_bHungUp.store(false);
    Fail(PortError::None, "");
    if (path.empty()) return Fail(PortError::NoSuchPort, "no port given");

    std::string key;
    int err = 0;
    if (!plat::CanonicalPath(path, &key, &err)) return FailOpen(path, err);
    plat::SerialHandle fd = OpenBounded(path, key);
    if (fd == plat::INVALID_SERIAL) return 0;
    {
        std::unique_lock<std::shared_mutex> lock(m_fdMtx);
        m_strKey = key;
        m_strPath = path;
        m_hCom.store(fd);
    }

    plat::SerialPurge(fd);
    if (!plat::SerialConfigure(fd, INITIAL_BAUD, &err)) {
        Fail(PortError::Settings, path + ": line settings refused (" + ErrText(err) + ")");
        Close();
        return 0;
    }
    m_dwBaud.store(INITIAL_BAUD);
    // Pseudo-terminals have no modem lines and no low-latency switch; neither is needed there.
    plat::SerialSetModemLines(fd, true, true);
    plat::SerialSetLowLatency(fd);

    auto loop = std::make_shared<CLoop>();
    loop->share = m_pShare;
    {
        std::lock_guard<std::mutex> lock(m_loopMtx);
        m_pLoop = loop;
    }
    if (!StartThread(loop)) {
        Fail(PortError::Other, path + ": cannot start the read thread");
        Close();
        return 0;
    }
    // Leaves DTR off, as the device expects.
    SetBaudRate(INITIAL_BAUD);
    WriteLog("[CSerial] %s open at %u baud\r\n", path.c_str(), INITIAL_BAUD);
    std::string advice = plat::SerialAdapterAdvice(path);
    if (!advice.empty()) AdviseOnce(key, advice);
    return 1;
}

int CSerial::SetBaudRate(uint32_t baud) {
    std::shared_lock<std::shared_mutex> lock(m_fdMtx);
    plat::SerialHandle fd = m_hCom.load();
    if (fd == INVALID_HANDLE) return 0;
    int err = 0;
    if (!plat::SerialConfigure(fd, baud, &err)) {
        Fail(PortError::Settings,
             m_strPath + ": baud rate " + std::to_string(baud) + " refused (" + ErrText(err) + ")");
        return 0;
    }
    plat::SerialSetModemLines(fd, true, false);
    uint32_t actual = plat::SerialActualBaud(fd);
    if (actual != 0 && actual != baud && m_dwToldBaud.exchange(baud) != baud) {
        WriteLog("[CSerial] %s: asked for %u baud, the driver reports %u baud\r\n",
                 m_strPath.c_str(), baud, actual);
    }
    m_dwBaud.store(baud);
    return 1;
}

void CSerial::Purge() {
    std::shared_lock<std::shared_mutex> lock(m_fdMtx);
    plat::SerialHandle fd = m_hCom.load();
    if (fd != INVALID_HANDLE) plat::SerialPurge(fd);
}

void CSerial::Close() {
    CancelOpen();
    {
        std::lock_guard<std::mutex> lock(m_loopMtx);
        if (m_pLoop) m_pLoop->closed.store(true);
        m_pLoop.reset();
    }
    Purge();
    // Marking the port closed first makes the read loop return and a blocked Write give up, so
    // the stop below is quick.
    plat::SerialHandle fd = m_hCom.exchange(INVALID_HANDLE);
    if (fd != INVALID_HANDLE) plat::SerialWakeWaiters(fd);
    StopThread();
    if (fd == INVALID_HANDLE) return;
    std::string key;
    {
        std::unique_lock<std::shared_mutex> lock(m_fdMtx);
        plat::SerialClose(fd);
        key.swap(m_strKey);
    }
    serialopen::ReleasePath(key);
    m_dwBaud.store(0);
}

bool CSerial::Write(const uint8_t* data, uint32_t count) {
    std::lock_guard<std::mutex> writeLock(m_writeMtx);
    std::shared_lock<std::shared_mutex> lock(m_fdMtx);
    plat::SerialHandle fd = m_hCom.load();
    if (fd == INVALID_HANDLE) {
        Fail(PortError::Other, "write on a closed port");
        return false;
    }
    if (count == 0) return true;
    if (data == nullptr) {
        Fail(PortError::Other, m_strPath + ": write without data");
        return false;
    }

    // Ten bits per byte on the wire, plus a grace for a line that is slow to drain.
    uint32_t baud = std::max<uint32_t>(m_dwBaud.load(), 1);
    uint64_t wireMs = (static_cast<uint64_t>(count) * 10 * 1000 + baud - 1) / baud;
    uint32_t boundMs =
        static_cast<uint32_t>(std::min<uint64_t>(wireMs + WRITE_GRACE_MS, 0x7FFFFFFF));
    auto deadline = std::chrono::steady_clock::now() + plat::ToReal(boundMs);

    uint32_t done = 0;
    while (done < count) {
        if (m_hCom.load() != fd) {
            Fail(PortError::Other, m_strPath + ": port closed during a write");
            return false;
        }
        int err = 0;
        long n = plat::SerialWrite(fd, data + done, count - done, &err);
        if (n < 0) {
            Fail(PortError::Other, m_strPath + ": write failed (" + ErrText(err) + ")");
            return false;
        }
        done += static_cast<uint32_t>(n);
        if (done == count) break;
        if (n > 0) continue;

        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            Fail(PortError::Other, m_strPath + ": write timed out after " +
                                       std::to_string(boundMs) + " ms (" + std::to_string(done) +
                                       " of " + std::to_string(count) + " bytes sent)");
            return false;
        }
        auto slice = std::min<std::chrono::nanoseconds>(deadline - now, WRITE_SLICE);
        if (plat::SerialWaitWrite(fd, slice).hangUp) {
            Fail(PortError::Other, m_strPath + ": write failed (line hung up)");
            return false;
        }
    }
    return true;
}

uint32_t CSerial::Run() {
    const auto loop = std::static_pointer_cast<CLoop>(ThreadArg());
    if (!loop) return 0;
    struct LoopScope {
        CLoopShare& share;
        explicit LoopScope(CLoopShare& s) : share(s) {
            std::lock_guard<std::mutex> lock(share.mtx);
            ++share.loops;
        }
        ~LoopScope() {
            std::lock_guard<std::mutex> lock(share.mtx);
            --share.loops;
            share.cv.notify_all();
        }
    } scope(*loop->share);
    uint8_t* const buf = loop->share->buf.get();

    if (loop->closed.load() || StopRequested()) return 0;
    plat::SerialNameReadThread();
    const std::string path = m_strPath;
    const auto pause =
        std::max<std::chrono::nanoseconds>(plat::ToReal(m_dwReadSleep), MIN_READ_WAIT);
    const uint32_t size = std::min(m_dwReadSize, m_dwBufSize);
    const bool blind = m_bBlindSleep.load();

    // A loop whose port was closed (and perhaps reopened) under its receiver is no longer the
    // object's thread: the object may be gone, and the buffer belongs to the new loop.
    while (!loop->closed.load() && !StopRequested()) {
        void* receiver = m_pReceiver.load();
        PFN_SERIAL_RECEIVE receive = m_pfnReceive.load();
        if (receiver == nullptr || receive == nullptr) return 0;
        m_dwReadPasses.fetch_add(1);

        long n = 0;
        int err = 0;
        plat::SerialWaitState state;
        {
            std::shared_lock<std::shared_mutex> lock(m_fdMtx);
            plat::SerialHandle fd = m_hCom.load();
            if (fd == INVALID_HANDLE) return 0;
            if (blind) {
                n = plat::SerialRead(fd, buf, size, &err);
            } else {
                state = plat::SerialWaitRead(fd, READ_WAIT_BOUND);
                if (state.ready) n = plat::SerialRead(fd, buf, size, &err);
            }
        }
        if (n > 0) {
            receive(receiver, buf, static_cast<uint32_t>(n));
            if (loop->closed.load()) return 0;
            if (!blind) continue;
        }
        bool lost = state.hangUp || (n < 0 && plat::SerialIsHangUpError(err));
        if (lost && !m_bHungUp.exchange(true)) {
            WriteLog("[CSerial] %s: line hung up, device gone\r\n", path.c_str());
            if (PFN_SERIAL_LINE_LOST onLost = m_pfnLineLost.load()) onLost(receiver);
        }
        if (blind) {
            plat::SerialPause(pause);
            continue;
        }
        // Readiness without data, a hang-up, a failing read and a wake of a port that is still
        // open all return at once. A port being closed is left at once.
        if (state.ready || lost || n < 0 || (state.woken && IsOpen())) plat::SerialPause(pause);
    }
    return 0;
}
