// Uses termios2 for any baud rate (256000 has no Bxxx constant); <asm/termbits.h> cannot live
// beside <termios.h>, so this file does everything through ioctl and never includes the latter.
#include "platform/serial_posix.h"

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

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <unordered_map>

namespace plat {

namespace {

timespec ToTimespec(std::chrono::nanoseconds d) {
    if (d.count() < 0) d = std::chrono::nanoseconds(0);
    timespec ts;
    ts.tv_sec = static_cast<time_t>(d.count() / 1000000000);
    ts.tv_nsec = static_cast<long>(d.count() % 1000000000);
    return ts;
}

// An eventfd per open port, so that a close from another thread ends the waits on it at once
// instead of after their time-out.
std::mutex& WakeMutex() {
    static std::mutex mtx;
    return mtx;
}

std::unordered_map<int, int>& WakeFds() {
    static std::unordered_map<int, int> fds;
    return fds;
}

int WakeFdOf(int fd) {
    std::lock_guard<std::mutex> lock(WakeMutex());
    auto it = WakeFds().find(fd);
    return it == WakeFds().end() ? -1 : it->second;
}

// Ports whose low-latency flag this program switched on, to be switched off again at close: the
// flag outlives the descriptor and would change the adapter for every later user.
std::unordered_map<int, int>& LatencyRestore() {
    static std::unordered_map<int, int> flags;
    return flags;
}

// USB adapters first: they are what a user plugs in for the device; on-board UARTs last.
const char* const FAMILIES[] = {"ttyUSB", "ttyACM", "ttyS"};

// The unit number of name when it is family followed by digits only, else -1.
long UnitOf(const std::string& name, const std::string& family) {
    if (name.size() <= family.size() || name.compare(0, family.size(), family) != 0) return -1;
    long n = 0;
    for (size_t i = family.size(); i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9' || n > 1000000) return -1;
        n = n * 10 + (name[i] - '0');
    }
    return n;
}

SerialWaitState Wait(int fd, short events, std::chrono::nanoseconds timeout) {
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

std::vector<std::string> SerialListPortsIn(const std::string& devDir,
                                           const std::string& sysClassTty) {
    std::vector<std::string> names;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(devDir, ec), end; !ec && it != end;
         it.increment(ec)) {
        names.push_back(it->path().filename().string());
    }

    std::vector<std::string> out;
    for (const std::string family : FAMILIES) {
        std::vector<std::pair<long, std::string>> found;
        for (const auto& name : names) {
            long unit = UnitOf(name, family);
            if (unit < 0) continue;
            std::string path = devDir + "/" + name;
            // Most machines list 4 to 32 ttyS slots whatever UARTs they have.
            if (family == "ttyS" && !SerialHasUart(path, sysClassTty)) continue;
            found.emplace_back(unit, path);
        }
        std::sort(found.begin(), found.end());
        for (auto& f : found) out.push_back(std::move(f.second));
    }
    return out;
}

std::vector<std::string> SerialListPorts() {
    return SerialListPortsIn("/dev", "/sys/class/tty");
}

// The updater switches the low-latency flag on itself (SerialSetLowLatency).
std::string SerialAdapterAdvice(const std::string& /*path*/) {
    return "";
}

int SerialOpen(const std::string& path, int* err) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *err = errno;
        return -1;
    }
    // The advisory lock first: TIOCEXCL on a device another process holds would lock it out of
    // its own reopens after we back off.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *err = errno;
        ::close(fd);
        return -1;
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

void SerialWakeWaiters(int fd) {
    int wake = WakeFdOf(fd);
    if (wake < 0) return;
    const uint64_t one = 1;
    // Fails only when the counter is already full, which wakes the waiters as well.
    if (::write(wake, &one, sizeof one) < 0) return;
}

void SerialClose(int fd) {
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

bool SerialConfigure(int fd, uint32_t baud, int* err) {
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

uint32_t SerialGetBaud(int fd) {
    termios2 t;
    if (::ioctl(fd, TCGETS2, &t) != 0) return 0;
    return t.c_ospeed;
}

bool SerialSetModemLines(int fd, bool rts, bool dtr) {
    int rtsBit = TIOCM_RTS;
    int dtrBit = TIOCM_DTR;
    bool ok = ::ioctl(fd, rts ? TIOCMBIS : TIOCMBIC, &rtsBit) == 0;
    ok = ::ioctl(fd, dtr ? TIOCMBIS : TIOCMBIC, &dtrBit) == 0 && ok;
    return ok;
}

bool SerialSetLowLatency(int fd) {
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

bool SerialPurge(int fd) {
    return ::ioctl(fd, TCFLSH, TCIOFLUSH) == 0;
}

SerialWaitState SerialWaitRead(int fd, std::chrono::nanoseconds timeout) {
    return Wait(fd, POLLIN, timeout);
}

SerialWaitState SerialWaitWrite(int fd, std::chrono::nanoseconds timeout) {
    return Wait(fd, POLLOUT, timeout);
}

long SerialRead(int fd, uint8_t* buf, size_t size, int* err) {
    for (;;) {
        ssize_t n = ::read(fd, buf, size);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        *err = errno;
        return -1;
    }
}

long SerialWrite(int fd, const uint8_t* data, size_t size, int* err) {
    for (;;) {
        ssize_t n = ::write(fd, data, size);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        *err = errno;
        return -1;
    }
}

bool SerialIsHangUpError(int err) {
    return err == EIO || err == ENXIO || err == ENODEV;
}

void SerialNameReadThread() {
    pthread_setname_np(pthread_self(), "serial-read");
}

void SerialPause(std::chrono::nanoseconds d) {
    timespec ts = ToTimespec(d);
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

bool SerialHasUart(const std::string& devPath, const std::string& sysClassTty) {
    std::string name = devPath.substr(devPath.find_last_of('/') + 1);
    std::ifstream type(sysClassTty + "/" + name + "/type");
    long value = 0;
    if (type >> value) return value != 0;

    // No sysfs: ask the driver, which reports PORT_UNKNOWN for a slot without a chip.
    int fd = ::open(devPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    serial_struct ss;
    bool real = ::ioctl(fd, TIOCGSERIAL, &ss) == 0 && ss.type != PORT_UNKNOWN;
    ::close(fd);
    return real;
}

}  // namespace plat
