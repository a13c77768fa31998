// The serial device on Linux. Uses termios2 for any baud rate (256000 has no Bxxx constant);
// <asm/termbits.h> cannot live beside <termios.h>, so this file does everything through ioctl and
// never includes the latter.
#include <asm/termbits.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <system_error>
#include <unordered_map>

#include "platform/SerialDevice.h"

namespace plat {

namespace {

int Fd(SerialHandle h) {
    return static_cast<int>(h);
}

timespec ToTimespec(std::chrono::nanoseconds d) {
    if (d.count() < 0) d = std::chrono::nanoseconds(0);
    timespec ts;
    ts.tv_sec = static_cast<time_t>(d.count() / 1000000000);
    ts.tv_nsec = static_cast<long>(d.count() % 1000000000);
    return ts;
}

// An eventfd per open port, so that a close from another thread ends the waits on it at once
// instead of after their time-out. These tables are never destroyed: a slow open given up on may
// close its port after the program's statics are gone.
std::mutex& WakeMutex() {
    static auto* mtx = new std::mutex;
    return *mtx;
}

std::unordered_map<int, int>& WakeFds() {
    static auto* fds = new std::unordered_map<int, int>;
    return *fds;
}

int WakeFdOf(int fd) {
    std::lock_guard<std::mutex> lock(WakeMutex());
    auto it = WakeFds().find(fd);
    return it == WakeFds().end() ? -1 : it->second;
}

// Ports whose low-latency flag this program switched on, to be switched off again at close: the
// flag outlives the descriptor and would change the adapter for every later user.
std::unordered_map<int, int>& LatencyRestore() {
    static auto* flags = new std::unordered_map<int, int>;
    return *flags;
}

SerialWaitState Wait(SerialHandle h, short events, std::chrono::nanoseconds timeout) {
    int fd = Fd(h);
    pollfd p[2] = {{fd, events, 0}, {WakeFdOf(fd), POLLIN, 0}};
    timespec ts = ToTimespec(timeout);
    SerialWaitState state;
    int r = ppoll(p, p[1].fd >= 0 ? 2 : 1, &ts, nullptr);
    if (r < 0) {
        // Returns at once on error: pause here so that a caller's loop cannot spin.
        if (errno != EINTR) SerialPause(timeout);
        return state;
    }
    // A hung-up line may still hold bytes that arrived before: report both.
    state.ready = (p[0].revents & events) != 0;
    state.hangUp = (p[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    // Left signalled: every waiter on the port sees it until the port is closed.
    state.woken = p[1].fd >= 0 && (p[1].revents & POLLIN) != 0;
    return state;
}

}  // namespace

SerialHandle SerialOpen(const std::string& path, int* err) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *err = errno;
        return INVALID_SERIAL;
    }
    // The advisory lock first: TIOCEXCL on a device another process holds would lock it out of
    // its own reopens after we back off.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *err = errno;
        ::close(fd);
        return INVALID_SERIAL;
    }
    // Root is not stopped by TIOCEXCL, hence the lock above as well.
    ::ioctl(fd, TIOCEXCL);
    // Without it waits still end, only at their time-out.
    int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake >= 0) {
        std::lock_guard<std::mutex> lock(WakeMutex());
        WakeFds()[fd] = wake;
    }
    *err = 0;
    return fd;
}

void SerialWakeWaiters(SerialHandle h) {
    int wake = WakeFdOf(Fd(h));
    if (wake < 0) return;
    const uint64_t one = 1;
    // Fails only when the counter is already full, which wakes the waiters as well.
    if (::write(wake, &one, sizeof one) < 0) return;
}

void SerialClose(SerialHandle h) {
    int fd = Fd(h);
    if (fd < 0) return;
    {
        std::lock_guard<std::mutex> lock(WakeMutex());
        auto it = WakeFds().find(fd);
        if (it != WakeFds().end()) {
            ::close(it->second);
            WakeFds().erase(it);
        }
    }
    {
        std::lock_guard<std::mutex> lock(WakeMutex());
        auto it = LatencyRestore().find(fd);
        if (it != LatencyRestore().end()) {
            serial_struct ss;
            if (::ioctl(fd, TIOCGSERIAL, &ss) == 0) {
                ss.flags = (ss.flags & ~ASYNC_LOW_LATENCY) | (it->second & ASYNC_LOW_LATENCY);
                ::ioctl(fd, TIOCSSERIAL, &ss);
            }
            LatencyRestore().erase(it);
        }
    }
    // Other descriptors of the same tty (held elsewhere) would otherwise stay locked out.
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
}

bool SerialConfigure(SerialHandle h, uint32_t baud, int* err) {
    int fd = Fd(h);
    if (baud == 0) {
        // Speed 0 means "hang up" to a tty.
        *err = EINVAL;
        return false;
    }
    termios2 old;
    if (::ioctl(fd, TCGETS2, &old) != 0) {
        *err = errno;
        return false;
    }
    termios2 t = old;
    t.c_iflag &=
        ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CBAUD | CIBAUD);
    t.c_cflag |= CS8 | CLOCAL | CREAD | BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = baud;
    t.c_ospeed = baud;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (::ioctl(fd, TCSETS2, &t) != 0) {
        *err = errno;
        return false;
    }
    // A driver may round a rate it cannot make; one it misses widely is a refusal.
    termios2 got;
    if (::ioctl(fd, TCGETS2, &got) == 0 && got.c_ospeed != 0) {
        uint64_t diff = got.c_ospeed > baud ? got.c_ospeed - baud : baud - got.c_ospeed;
        if (diff * 100 > static_cast<uint64_t>(baud) * 3) {
            ::ioctl(fd, TCSETS2, &old);
            *err = EINVAL;
            return false;
        }
    }
    *err = 0;
    return true;
}

bool SerialSetModemLines(SerialHandle h, bool rts, bool dtr) {
    int fd = Fd(h);
    int rtsBit = TIOCM_RTS;
    int dtrBit = TIOCM_DTR;
    bool ok = ::ioctl(fd, rts ? TIOCMBIS : TIOCMBIC, &rtsBit) == 0;
    ok = ::ioctl(fd, dtr ? TIOCMBIS : TIOCMBIC, &dtrBit) == 0 && ok;
    return ok;
}

bool SerialSetLowLatency(SerialHandle h) {
    int fd = Fd(h);
    serial_struct ss;
    if (::ioctl(fd, TIOCGSERIAL, &ss) != 0) return false;
    if (ss.flags & ASYNC_LOW_LATENCY) return true;
    int before = ss.flags;
    ss.flags |= ASYNC_LOW_LATENCY;
    if (::ioctl(fd, TIOCSSERIAL, &ss) != 0) return false;
    std::lock_guard<std::mutex> lock(WakeMutex());
    LatencyRestore().emplace(fd, before);
    return true;
}

uint32_t SerialActualBaud(SerialHandle h) {
    termios2 t;
    return ::ioctl(Fd(h), TCGETS2, &t) == 0 ? t.c_ospeed : 0;
}

bool SerialPurge(SerialHandle h) {
    return ::ioctl(Fd(h), TCFLSH, TCIOFLUSH) == 0;
}

SerialWaitState SerialWaitRead(SerialHandle h, std::chrono::nanoseconds timeout) {
    return Wait(h, POLLIN, timeout);
}

SerialWaitState SerialWaitWrite(SerialHandle h, std::chrono::nanoseconds timeout) {
    return Wait(h, POLLOUT, timeout);
}

long SerialRead(SerialHandle h, uint8_t* buf, size_t size, int* err) {
    for (;;) {
        ssize_t n = ::read(Fd(h), buf, size);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        *err = errno;
        return -1;
    }
}

long SerialWrite(SerialHandle h, const uint8_t* data, size_t size, int* err) {
    for (;;) {
        ssize_t n = ::write(Fd(h), data, size);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        *err = errno;
        return -1;
    }
}

void SerialNameReadThread() {
    pthread_setname_np(pthread_self(), "serial-read");
}

void SerialPause(std::chrono::nanoseconds d) {
    timespec ts = ToTimespec(d);
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

SerialOpenFault SerialClassifyOpenError(int err) {
    switch (err) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case ENOTDIR:
            return SerialOpenFault::NoSuchPort;
        case EBUSY:
        case EWOULDBLOCK:
            return SerialOpenFault::Busy;
        case EACCES:
        case EPERM:
            return SerialOpenFault::PermissionDenied;
        default:
            return SerialOpenFault::Other;
    }
}

bool SerialIsHangUpError(int err) {
    return err == EIO || err == ENXIO || err == ENODEV;
}

std::string SerialErrorText(int err) {
    return std::generic_category().message(err);
}

}  // namespace plat
