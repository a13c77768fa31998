// The simulated device's line: the pseudo-terminal (or tty), its service thread, line-rate
// timing of what goes each way, and the faults injected on the wire.
#include "sim/Device.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/SerialDevice.h"
#include "platform/Time.h"
#include "sim/HostParser.h"
#include "sim/Loader.h"

namespace sim {

namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

// A frame whose rest has not come for this long is given up: the host is waiting for an answer
// by then, and a device would time its receiver out too.
constexpr milliseconds STALE_FRAME{500};
// Without line-rate emulation single-byte answers are spaced so that the reader sees them apart.
constexpr microseconds SINGLE_BYTE_GAP{250};
constexpr milliseconds HANGUP_BACKOFF{10};
constexpr milliseconds IDLE_POLL{200};
constexpr milliseconds HANGUP_GRACE{500};
constexpr milliseconds HANGUP_POLL{1};
constexpr milliseconds HANGUP_SETTLE{50};

nanoseconds WireTime(size_t bytes, uint32_t baud) {
    // 8N1: a start bit, 8 data bits, a stop bit.
    return nanoseconds(int64_t(double(bytes) * 10.0e9 / double(baud ? baud : 1)));
}

bool IsReadyFrame(uint8_t code) {
    return code == 0x19 || code == 0x22 || code == 0x32 || code == 0x42;
}

std::string Errno(const char* what) {
    return std::string(what) + ": " + strerror(errno);
}

}  // namespace

struct CDevice::State {
    struct Inbound {
        HostItem item;
        int number = 0;  // frame number, 0 for what is no frame
        Clock::time_point ready;
    };
    struct Outbound {
        Clock::time_point due;
        std::vector<uint8_t> bytes;
        uint32_t baud = 0;
        size_t off = 0;
        bool answerEnd = false;
        bool hangup = false;
        Clock::time_point giveUp{};  // hang-up: latest moment to wait for the answer to be read
    };

    explicit State(const Options& o) : opt(o), faults(o.faults), loader(o) {}

    void Run();
    void ReadIn(Clock::time_point now, bool hup);
    void Accept(HostItem&& item, Clock::time_point now);
    void Execute(Inbound& in);
    void Send(Answer a, Clock::time_point ready, bool hangupAfter);
    void WriteDue(Clock::time_point now);
    void HangUp();
    int Unread() const;
    bool Silenced(int frame) const {
        return faults.silenceAfter >= 0 && frame > faults.silenceAfter;
    }

    const Options opt;
    mutable std::mutex mu;
    Faults faults;
    CLoader loader;
    CHostParser parser;
    std::deque<Inbound> inbox;
    std::deque<Outbound> outbox;

    int fd = -1;
    int holdFd = -1;  // our own descriptor of the pty slave
    bool servesTty = false;
    uint32_t ttyBaud = 0;
    int wake[2] = {-1, -1};
    std::thread thread;
    std::atomic<bool> stop{false};

    Clock::time_point rxFree, txFree, devFree;
    Clock::time_point lastRx, lastActivity = Clock::now(), lastDelivered;
    Clock::time_point hupUntil;
    bool samplePending = false;
    uint32_t garbageSeed = 0x2545F491;

    uint64_t bytesIn = 0, bytesOut = 0;
    int framesIn = 0, answersOut = 0;
    bool hungUp = false;
    std::vector<double> turnaround;
};

CDevice::CDevice(Options o) : m_p(std::make_unique<State>(o)) {}

CDevice::~CDevice() {
    Stop();
    State& s = *m_p;
    for (int f : {s.fd, s.holdFd, s.wake[0], s.wake[1]}) {
        if (f >= 0) ::close(f);
    }
}

bool CDevice::CreatePty(std::string* slavePath, std::string* error) {
    State& s = *m_p;
    std::lock_guard<std::mutex> lk(s.mu);
    int m = -1, hold = -1;
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        if (hold >= 0) ::close(hold);
        if (m >= 0) ::close(m);
        return false;
    };
    if (s.fd >= 0 || s.hungUp) return fail("the device already served a line");
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
    s.fd = m;
    s.holdFd = hold;
    if (slavePath) *slavePath = name;
    return true;
}

bool CDevice::ServePath(const std::string& tty, std::string* error) {
    State& s = *m_p;
    std::lock_guard<std::mutex> lk(s.mu);
    if (s.fd >= 0 || s.hungUp) {
        if (error) *error = "the device already served a line";
        return false;
    }
    int f = ::open(tty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (f < 0) {
        if (error) *error = Errno(tty.c_str());
        return false;
    }
    int err = 0;
    if (!plat::SerialConfigure(f, s.loader.Baud(), &err)) {
        if (error) *error = tty + ": cannot configure the line: " + strerror(err);
        ::close(f);
        return false;
    }
    s.fd = f;
    s.servesTty = true;
    s.ttyBaud = s.loader.Baud();
    return true;
}

bool CDevice::Start() {
    State& s = *m_p;
    std::lock_guard<std::mutex> lk(s.mu);
    if (s.thread.joinable()) return true;
    if (s.fd < 0) return false;
    if (s.wake[0] < 0 && pipe2(s.wake, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    s.stop = false;
    s.lastActivity = Clock::now();
    s.thread = std::thread([&s] { s.Run(); });
    return true;
}

void CDevice::Stop() {
    State& s = *m_p;
    if (!s.thread.joinable()) return;
    s.stop = true;
    uint8_t b = 1;
    if (::write(s.wake[1], &b, 1) < 0) {
        // The pipe is full, so the thread has a wake-up pending anyway.
    }
    s.thread.join();
}

void CDevice::State::Run() {
    std::unique_lock<std::mutex> lk(mu);
    while (!stop) {
        Clock::time_point now = Clock::now();
        WriteDue(now);
        while (!inbox.empty() && inbox.front().ready <= now) {
            Inbound in = std::move(inbox.front());
            inbox.pop_front();
            Execute(in);
        }
        now = Clock::now();
        WriteDue(now);
        if (fd >= 0 && !parser.Empty() && now - lastRx >= STALE_FRAME) {
            HostItem item;
            if (parser.Flush(item)) Accept(std::move(item), now);
            continue;
        }

        Clock::time_point wakeAt = now + IDLE_POLL;
        bool wantOut = false;
        if (!outbox.empty()) {
            if (outbox.front().due <= now) {
                wantOut = true;
            } else {
                wakeAt = std::min(wakeAt, outbox.front().due);
            }
        }
        if (!inbox.empty()) wakeAt = std::min(wakeAt, inbox.front().ready);
        if (!parser.Empty()) wakeAt = std::min(wakeAt, lastRx + STALE_FRAME);
        bool watchLine = fd >= 0 && now >= hupUntil;
        if (fd >= 0 && !watchLine) wakeAt = std::min(wakeAt, hupUntil);

        pollfd p[2] = {{wake[0], POLLIN, 0},
                       {watchLine ? fd : -1, short(POLLIN | (wantOut ? POLLOUT : 0)), 0}};
        nanoseconds wait = std::max(nanoseconds(0), wakeAt - now);
        timespec ts{time_t(wait.count() / 1000000000), long(wait.count() % 1000000000)};
        lk.unlock();
        int r = ppoll(p, 2, &ts, nullptr);
        lk.lock();
        if (r <= 0) continue;
        if (p[0].revents & POLLIN) {
            uint8_t drain[16];
            while (::read(wake[0], drain, sizeof drain) > 0) {
            }
        }
        if (fd >= 0 && (p[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            ReadIn(Clock::now(), (p[1].revents & (POLLHUP | POLLERR)) != 0);
        }
    }
}

void CDevice::State::ReadIn(Clock::time_point now, bool hup) {
    uint8_t buf[8192];
    bool got = false;
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        if (samplePending && parser.Empty() && now >= lastDelivered) {
            turnaround.push_back(
                std::chrono::duration<double, std::micro>(now - lastDelivered).count());
        }
        samplePending = false;
        parser.Feed(buf, size_t(n), now);
        bytesIn += uint64_t(n);
        lastRx = lastActivity = now;
        got = true;
    }
    // A served tty with nobody on its other end keeps reporting a hang-up: look again later
    // instead of spinning.
    if (!got && hup) hupUntil = now + HANGUP_BACKOFF;
    HostItem item;
    while (parser.Next(item)) Accept(std::move(item), now);
}

void CDevice::State::Accept(HostItem&& item, Clock::time_point now) {
    if (item.skipped > 0) {
        loader.Violation(std::to_string(item.skipped) + " stray bytes before " +
                         (item.kind == HostItem::Garbage ? "the line went quiet" : "a frame"));
    }
    if (item.kind == HostItem::Garbage) return;

    Inbound in;
    Clock::time_point ready = now;
    if (item.kind == HostItem::Frame || item.kind == HostItem::BadChecksum) {
        in.number = ++framesIn;
        if (opt.lineRate) {
            // The frame is in when its last byte would have come down the wire.
            Clock::time_point start = std::max(item.firstSeen, rxFree);
            rxFree = start + WireTime(item.length, loader.Baud());
            ready = rxFree;
        }
    }
    ready = std::max(ready, devFree) + microseconds(opt.procMicros);
    devFree = ready;
    in.ready = ready;
    in.item = std::move(item);
    inbox.push_back(std::move(in));
}

void CDevice::State::Execute(Inbound& in) {
    const HostItem& it = in.item;
    char why[160];
    Answer a;
    int frame = in.number ? in.number : framesIn;
    switch (it.kind) {
        case HostItem::Frame:
            loader.RecordCommand(it.code);
            // A silent device has stopped working altogether.
            if (Silenced(frame)) return;
            if (frame == faults.errorAt) {
                a = loader.ErrorStatus(it.code, faults.errorCode);
            } else {
                a = loader.Handle(it.code, it.payload);
            }
            if (frame == faults.dropAnswerTo) a.clear();
            // An answer for a command that is not in flight (the chip version's).
            if (frame == faults.strayAt) a = loader.Handle(0x01, {});
            break;
        case HostItem::BadChecksum:
            snprintf(why, sizeof why,
                     "bad checksum in frame 0x%02X of %zu bytes: 0x%02X, not 0x%02X", it.code,
                     it.length, it.sumGot, it.sumWant);
            a = loader.Reject(it.code, ERR_INVALID_COMMAND, why);
            break;
        case HostItem::BadLength:
            snprintf(why, sizeof why, "impossible frame length %zu (command byte 0x%02X)",
                     it.length, it.code);
            a = loader.Reject(it.code, ERR_BAD_PARAMETERS, why);
            break;
        case HostItem::Incomplete:
            snprintf(why, sizeof why, "frame cut short after %zu bytes (command byte 0x%02X)",
                     it.length, it.code);
            a = loader.Reject(it.code, ERR_BAD_PARAMETERS, why);
            break;
        case HostItem::Garbage:
            return;
    }
    if (Silenced(frame)) a.clear();
    Clock::time_point ready = in.ready;
    if (opt.readyDelayMs != 0 && !a.empty() && a.front().bytes.size() > 3 &&
        IsReadyFrame(a.front().bytes[3]))
        ready += plat::ToReal(opt.readyDelayMs);
    Send(std::move(a), ready, in.number > 0 && in.number == faults.hangupAfter);
}

void CDevice::State::Send(Answer a, Clock::time_point ready, bool hangupAfter) {
    Clock::time_point t = std::max(ready, txFree);
    if (!a.empty()) {
        int number = ++answersOut;
        if (faults.garbageBetween > 0) {
            std::vector<uint8_t> junk;
            for (int i = 0; i < faults.garbageBetween; ++i) {
                garbageSeed = garbageSeed * 1103515245u + 12345u;
                uint8_t b = uint8_t(garbageSeed >> 16);
                junk.push_back(b == FRAME_START ? uint8_t(~b) : b);
            }
            a.front().bytes.insert(a.front().bytes.begin(), junk.begin(), junk.end());
        }
        if (number == faults.garbleAnswer) {
            // The last byte is a checksum, so the updater cannot take the garbled frame.
            uint8_t& b = a.back().bytes.back();
            b = uint8_t(b ^ 0xFF) == FRAME_START ? uint8_t(b ^ 0x0F) : uint8_t(b ^ 0xFF);
        }
        for (Piece& piece : a) {
            if (faults.singleByteWrites) {
                for (uint8_t b : piece.bytes) {
                    t += opt.lineRate ? WireTime(1, piece.baud) : nanoseconds(SINGLE_BYTE_GAP);
                    outbox.push_back({t, {b}, piece.baud});
                }
            } else {
                if (opt.lineRate) t += WireTime(piece.bytes.size(), piece.baud);
                outbox.push_back({t, std::move(piece.bytes), piece.baud});
            }
        }
        outbox.back().answerEnd = true;
        txFree = t;
    }
    if (hangupAfter) {
        Outbound h;
        // The kernel hands written bytes on to the other side a little later: give it a moment
        // before trusting the count of unread bytes.
        h.due = t + HANGUP_SETTLE;
        h.hangup = true;
        h.giveUp = t + HANGUP_GRACE;
        outbox.push_back(std::move(h));
    }
}

void CDevice::State::WriteDue(Clock::time_point now) {
    while (fd >= 0 && !outbox.empty() && outbox.front().due <= now) {
        Outbound& o = outbox.front();
        if (o.hangup) {
            // Hanging up flushes what the other side has not read yet, the answer included.
            if (Unread() > 0 && now < o.giveUp) {
                o.due = now + HANGUP_POLL;
                return;
            }
            HangUp();
            return;
        }
        if (servesTty && o.off == 0 && o.baud != ttyBaud) {
            // Bytes at the old rate must leave before the line changes speed.
            tcdrain(fd);
            int err = 0;
            if (plat::SerialConfigure(fd, o.baud, &err)) ttyBaud = o.baud;
        }
        ssize_t n = ::write(fd, o.bytes.data() + o.off, o.bytes.size() - o.off);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        if (n < 0) {
            // Nobody can take the bytes; drop them rather than retry for ever.
            outbox.pop_front();
            continue;
        }
        o.off += size_t(n);
        bytesOut += uint64_t(n);
        lastActivity = now;
        if (o.off < o.bytes.size()) return;
        if (o.answerEnd) {
            lastDelivered = opt.lineRate ? o.due : Clock::now();
            samplePending = true;
        }
        outbox.pop_front();
    }
}

int CDevice::State::Unread() const {
    int n = 0;
    if (holdFd >= 0) return ioctl(holdFd, FIONREAD, &n) == 0 ? n : 0;
    return ioctl(fd, TIOCOUTQ, &n) == 0 ? n : 0;
}

void CDevice::State::HangUp() {
    // Closing the master hangs up every descriptor of the slave, ours included.
    ::close(fd);
    if (holdFd >= 0) ::close(holdFd);
    fd = holdFd = -1;
    hungUp = true;
    outbox.clear();
    inbox.clear();
}

Report CDevice::GetReport() const {
    const State& s = *m_p;
    std::lock_guard<std::mutex> lk(s.mu);
    Report r;
    s.loader.FillReport(r);
    r.bytesIn = s.bytesIn;
    r.bytesOut = s.bytesOut;
    r.turnaroundMicros = s.turnaround;
    r.framesIn = s.framesIn;
    r.answersOut = s.answersOut;
    r.hungUp = s.hungUp;
    return r;
}

std::vector<uint8_t> CDevice::Flash() const {
    std::lock_guard<std::mutex> lk(m_p->mu);
    return m_p->loader.Flash();
}

std::vector<uint8_t> CDevice::RawPayload(uint8_t dataCmd) const {
    std::lock_guard<std::mutex> lk(m_p->mu);
    return m_p->loader.RawPayload(dataCmd);
}

void CDevice::SetFaults(const Faults& faults) {
    std::lock_guard<std::mutex> lk(m_p->mu);
    m_p->faults = faults;
}

bool CDevice::PayloadsComplete() const {
    std::lock_guard<std::mutex> lk(m_p->mu);
    return m_p->loader.PayloadsComplete();
}

bool CDevice::WaitIdle(uint32_t quietMs, uint32_t maxMs) {
    State& s = *m_p;
    Clock::time_point deadline = Clock::now() + milliseconds(maxMs);
    for (;;) {
        Clock::time_point now = Clock::now();
        {
            std::lock_guard<std::mutex> lk(s.mu);
            bool busy = !s.outbox.empty() || !s.inbox.empty() || !s.parser.Empty();
            if (!busy && now - s.lastActivity >= milliseconds(quietMs)) return true;
        }
        if (now >= deadline) return false;
        std::this_thread::sleep_for(std::min<nanoseconds>(milliseconds(5), deadline - now));
    }
}

}  // namespace sim
