// The simulated device's pseudo-terminal or served tty on POSIX: posix_openpt, poll with a wake
// pipe, termios.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>

#include "platform/Pty.h"
#include "platform/SerialDevice.h"

namespace plat {

namespace {

std::string Errno(const std::string& what) {
    return what + ": " + strerror(errno);
}

}  // namespace

CPty::~CPty() {
    for (int f : {m_fd.load(), m_holdFd.load(), m_wake[0], m_wake[1]}) {
        if (f >= 0) ::close(f);
    }
}

bool CPty::MakeWakePipe(std::string* error) {
    if (pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) == 0) return true;
    m_wake[0] = m_wake[1] = -1;
    if (error) *error = Errno("pipe");
    return false;
}

bool CPty::OpenMaster(std::string* slavePath, std::string* error) {
    int m = -1, hold = -1;
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        if (hold >= 0) ::close(hold);
        if (m >= 0) ::close(m);
        return false;
    };
    m = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m < 0) return fail(Errno("posix_openpt"));
    char name[128];
    if (grantpt(m) != 0 || unlockpt(m) != 0 || ptsname_r(m, name, sizeof name) != 0) {
        return fail(Errno("pseudo-terminal set-up"));
    }
    // Holding the slave open keeps the master from seeing a hang-up whenever the updater closes
    // its port, and keeps the raw settings across its reopens.
    hold = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (hold < 0) return fail(Errno(name));
    termios t;
    if (tcgetattr(hold, &t) != 0) return fail(Errno("tcgetattr"));
    cfmakeraw(&t);
    if (tcsetattr(hold, TCSANOW, &t) != 0) return fail(Errno("tcsetattr"));
    if (fcntl(m, F_SETFL, O_NONBLOCK) != 0) return fail(Errno("fcntl"));
    m_fd = m;
    m_holdFd = hold;
    if (!MakeWakePipe(error)) return false;
    if (slavePath) *slavePath = name;
    return true;
}

bool CPty::OpenServed(const std::string& tty, uint32_t baud, std::string* error) {
    int f = ::open(tty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (f < 0) {
        if (error) *error = Errno(tty);
        return false;
    }
    int err = 0;
    if (!SerialConfigure(f, baud, &err)) {
        if (error) *error = tty + ": cannot configure the line: " + strerror(err);
        ::close(f);
        return false;
    }
    m_fd = f;
    m_bServesTty = true;
    m_dwTtyBaud = baud;
    return MakeWakePipe(error);
}

CPty::Ready CPty::Wait(bool watch, bool wantOut, std::chrono::nanoseconds timeout) {
    pollfd p[2] = {{m_wake[0], POLLIN, 0},
                   {watch ? m_fd.load() : -1, short(POLLIN | (wantOut ? POLLOUT : 0)), 0}};
    timespec ts{time_t(timeout.count() / 1000000000), long(timeout.count() % 1000000000)};
    Ready r;
    if (ppoll(p, 2, &ts, nullptr) <= 0) return r;
    if (p[0].revents & POLLIN) {
        uint8_t drain[16];
        while (::read(m_wake[0], drain, sizeof drain) > 0) {
        }
    }
    r.in = (p[1].revents & POLLIN) != 0;
    r.out = (p[1].revents & POLLOUT) != 0;
    r.hup = (p[1].revents & (POLLHUP | POLLERR)) != 0;
    return r;
}

void CPty::Wake() {
    uint8_t b = 1;
    if (::write(m_wake[1], &b, 1) < 0) {
        // The pipe is full, so the thread has a wake-up pending anyway.
    }
}

long CPty::Read(uint8_t* buf, size_t size) {
    const int fd = m_fd.load();
    if (fd < 0) return -1;
    ssize_t n = ::read(fd, buf, size);
    return n < 0 ? (errno == EAGAIN || errno == EINTR ? 0 : -1) : long(n);
}

long CPty::Write(const uint8_t* data, size_t size) {
    const int fd = m_fd.load();
    if (fd < 0) return -1;
    ssize_t n = ::write(fd, data, size);
    if (n < 0) return errno == EAGAIN || errno == EINTR ? 0 : -1;
    return long(n);
}

int CPty::Unread() {
    int n = 0;
    const int hold = m_holdFd.load();
    if (hold >= 0) return ioctl(hold, FIONREAD, &n) == 0 ? n : 0;
    return ioctl(m_fd.load(), TIOCOUTQ, &n) == 0 ? n : 0;
}

void CPty::SetBaud(uint32_t baud) {
    if (!m_bServesTty || baud == m_dwTtyBaud) return;
    // Bytes at the old rate must leave before the line changes speed.
    const int fd = m_fd.load();
    tcdrain(fd);
    int err = 0;
    if (SerialConfigure(fd, baud, &err)) m_dwTtyBaud = baud;
}

void CPty::HangUp() {
    // Closing the master hangs up every descriptor of the slave, ours included.
    const int fd = m_fd.exchange(-1), hold = m_holdFd.exchange(-1);
    if (fd >= 0) ::close(fd);
    if (hold >= 0) ::close(hold);
}

}  // namespace plat
