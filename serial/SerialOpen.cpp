// How the port object opens a device: on a thread of its own, waited for within a bound, and the
// process-wide claim on each open path.
#include "serial/SerialOpen.h"

#include <map>
#include <set>
#include <thread>

#include "core/AutoThread.h"
#include "platform/Time.h"
#include "serial/Serial.h"

namespace {

// An open of a device on a thread of its own: a driver may take seconds (a Bluetooth port
// connecting, a wedged USB adapter) and nothing interrupts it. The attempt owns what it uses; the
// Open waiting for it may give up, and the late result is taken over by the next Open of the same
// port, or closed by the attempt when none comes within ADOPT_MS.
struct COpenAttempt {
    std::string path, key;
    std::mutex mtx;
    std::condition_variable cv;
    bool done = false;
    bool taken = false;    // handed to an Open, or closed by the attempt itself
    bool waiting = false;  // an Open waits for it (it is not in the registry's pending list)
    plat::SerialHandle fd = plat::INVALID_SERIAL;
    int err = 0;
};
constexpr uint32_t ADOPT_MS = 5000;
// How often a waiting Open looks at the stop request of its thread.
constexpr uint32_t OPEN_WAIT_SLICE_MS = 10;

// Paths held by some CSerial of this process or by an attempt to open one (an exclusive open does
// not keep out a second open by root, nor one within the same process on every system), and the
// attempts given up on. Never destroyed: an attempt may end after the program's statics are gone.
struct COpenRegistry {
    std::mutex mtx;
    std::set<std::string> paths;
    std::map<std::string, std::shared_ptr<COpenAttempt>> pending;
    std::function<void(const std::string&)> seam;
};
COpenRegistry& Registry() {
    static auto* registry = new COpenRegistry;
    return *registry;
}

// The attempt's own thread: it touches only the attempt and the registry.
void RunAttempt(const std::shared_ptr<COpenAttempt>& a) {
    std::function<void(const std::string&)> seam;
    {
        std::lock_guard<std::mutex> lock(Registry().mtx);
        seam = Registry().seam;
    }
    if (seam) seam(a->path);
    int err = 0;
    plat::SerialHandle fd = plat::SerialOpen(a->path, &err);
    std::unique_lock<std::mutex> lock(a->mtx);
    a->fd = fd;
    a->err = err;
    a->done = true;
    a->cv.notify_all();
    for (;;) {
        if (a->cv.wait_for(lock, plat::ToReal(ADOPT_MS), [&] { return a->taken; })) return;
        lock.unlock();
        {
            // Decided under both locks, as an Open takes an attempt over under both.
            std::scoped_lock both(Registry().mtx, a->mtx);
            if (a->taken) return;
            if (!a->waiting) {
                a->taken = true;
                auto it = Registry().pending.find(a->key);
                if (it != Registry().pending.end() && it->second == a) Registry().pending.erase(it);
                Registry().paths.erase(a->key);
                break;
            }
        }
        lock.lock();
    }
    if (fd != plat::INVALID_SERIAL) plat::SerialClose(fd);
}

}  // namespace

namespace serialopen {

bool ClaimPath(const std::string& key) {
    std::lock_guard<std::mutex> lock(Registry().mtx);
    return Registry().paths.insert(key).second;
}

void ReleasePath(const std::string& key) {
    std::lock_guard<std::mutex> lock(Registry().mtx);
    Registry().paths.erase(key);
}

}  // namespace serialopen

void serialports::SetOpenSeam(std::function<void(const std::string& path)> seam) {
    std::lock_guard<std::mutex> lock(Registry().mtx);
    Registry().seam = std::move(seam);
}

plat::SerialHandle CSerial::OpenBounded(const std::string& path, const std::string& key) {
    std::shared_ptr<COpenAttempt> attempt;
    {
        // A slow open of this port from before goes on: wait for it rather than open twice. One
        // that has closed its late port already is over.
        std::lock_guard<std::mutex> lock(Registry().mtx);
        auto it = Registry().pending.find(key);
        if (it != Registry().pending.end()) {
            attempt = it->second;
            Registry().pending.erase(it);
            std::lock_guard<std::mutex> al(attempt->mtx);
            attempt->waiting = true;
        }
    }
    if (!attempt) {
        if (!serialopen::ClaimPath(key)) {
            Fail(PortError::Busy, path + ": port busy (already open in this program)");
            return INVALID_HANDLE;
        }
        attempt = std::make_shared<COpenAttempt>();
        attempt->path = path;
        attempt->key = key;
        attempt->waiting = true;
        try {
            std::thread([attempt] { RunAttempt(attempt); }).detach();
        } catch (...) {
            RunAttempt(attempt);  // no thread to spare: open it here
        }
    }

    uint64_t cancel = 0;
    {
        std::lock_guard<std::mutex> lock(m_openMtx);
        cancel = m_nOpenCancel;
        m_pOpenCv = &attempt->cv;
    }
    const uint32_t bound = m_dwOpenBound.load();
    const uint32_t start = plat::GetTickCount();
    bool cancelled = false, slow = false;
    std::unique_lock<std::mutex> lock(attempt->mtx);
    while (!attempt->done) {
        {
            std::lock_guard<std::mutex> ol(m_openMtx);
            cancelled = m_nOpenCancel != cancel;
        }
        cancelled = cancelled || CAutoThread::StopRequested();
        slow = bound != plat::INFINITE_WAIT && plat::GetTickCount() - start >= bound;
        if (cancelled || slow) break;
        attempt->cv.wait_for(lock, plat::ToReal(OPEN_WAIT_SLICE_MS));
    }
    {
        std::lock_guard<std::mutex> ol(m_openMtx);
        m_pOpenCv = nullptr;
    }
    if (!attempt->done) {
        lock.unlock();
        {
            std::scoped_lock both(Registry().mtx, attempt->mtx);
            attempt->waiting = false;
            Registry().pending[key] = attempt;
        }
        if (cancelled) {
            Fail(PortError::Other, path + ": open cancelled");
        } else {
            Fail(PortError::Slow, path + ": slow to open (not open after " + std::to_string(bound) +
                                      " ms), tried again later");
        }
        return INVALID_HANDLE;
    }
    attempt->taken = true;
    plat::SerialHandle fd = attempt->fd;
    int err = attempt->err;
    lock.unlock();
    attempt->cv.notify_all();
    if (fd == INVALID_HANDLE) {
        serialopen::ReleasePath(key);
        FailOpen(path, err);
    }
    return fd;
}

void CSerial::CancelOpen() {
    std::lock_guard<std::mutex> lock(m_openMtx);
    ++m_nOpenCancel;
    if (m_pOpenCv != nullptr) m_pOpenCv->notify_all();
}
