// The simulated device's line: the pseudo-terminal (or tty), its service thread, line-rate
// timing of what goes each way, and the faults injected on the wire.
#include "sim/Device.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "platform/Time.h"
#include "sim/HostParser.h"
#include "sim/Line.h"
#include "sim/Loader.h"

namespace sim {

namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

// A frame whose rest has not come for this long is given up: the host is waiting for an answer
// by then, and a device would time its receiver out too.
constexpr milliseconds STALE_FRAME{500};
// Without line-rate emulation single-byte answers are spaced so that the reader sees them apart:
// a quarter of a millisecond of program time, so that a scaled test sees the same answer times.
nanoseconds SingleByteGap() {
    return plat::ToReal(1) / 4;
}
// A served tty with nobody on its other end keeps reporting a hang-up.
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

bool IsRawData(uint8_t code) {
    return code == 0x23 || code == 0x33 || code == 0x43;
}

// True when a frame the updater would take (its low length byte, codes 0x01..0x51, a good sum)
// begins at p[s] and ends within n bytes.
bool ValidAt(const std::vector<uint8_t>& p, size_t s) {
    if (p[s] != FRAME_START || s + 1 >= p.size() || p[s + 1] < MIN_FRAME) return false;
    size_t e = s + p[s + 1] - 1;
    if (e >= p.size() || p[s + 3] < 0x01 || p[s + 3] > 0x51) return false;
    return Checksum(p.data() + s + 3, e - s - 3) == p[e];
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

    std::unique_ptr<ILine> line;
    bool lineOpen = false;  // until the device hangs up
    std::thread thread;
    std::atomic<bool> stop{false};

    Clock::time_point rxFree, txFree, devFree;
    Clock::time_point lastRx, lastActivity = Clock::now(), lastDelivered;
    Clock::time_point hupUntil;
    bool samplePending = false;
    uint32_t garbageSeed = 0x2545F491;
    std::map<uint32_t, int> badReads;  // bad answers given so far, by block address
    uint8_t NextRandom() {
        garbageSeed = garbageSeed * 1103515245u + 12345u;
        return uint8_t(garbageSeed >> 16);
    }
    void AddNoise(Answer& a);

    uint64_t bytesIn = 0, bytesOut = 0;
    int framesIn = 0, answersOut = 0;
    bool hungUp = false;
    std::vector<double> turnaround;
};

CDevice::CDevice(Options o) : m_p(std::make_unique<State>(o)) {}

CDevice::~CDevice() {
    Stop();
}

bool CDevice::Attach(std::unique_ptr<ILine> line, std::string* error) {
    State& s = *m_p;
    std::lock_guard<std::mutex> lk(s.mu);
    if (s.line || s.hungUp) {
        if (error) *error = "the device already served a line";
        return false;
    }
    s.line = std::move(line);
    s.lineOpen = true;
    return true;
}

uint32_t CDevice::LineBaud() const {
    std::lock_guard<std::mutex> lk(m_p->mu);
    return m_p->loader.Baud();
}

bool CDevice::Start() {
    State& s = *m_p;
    std::lock_guard<std::mutex> lk(s.mu);
    if (s.thread.joinable()) return true;
    if (!s.line) return false;
    s.stop = false;
    s.lastActivity = Clock::now();
    s.thread = std::thread([&s] { s.Run(); });
    return true;
}

void CDevice::Stop() {
    State& s = *m_p;
    if (!s.thread.joinable()) return;
    s.stop = true;
    s.line->Wake();
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
        if (lineOpen && !parser.Empty() && now - lastRx >= STALE_FRAME) {
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
        bool watchLine = lineOpen && now >= hupUntil;
        if (lineOpen && !watchLine) wakeAt = std::min(wakeAt, hupUntil);

        nanoseconds wait = std::max(nanoseconds(0), wakeAt - now);
        lk.unlock();
        ILine::Ready r = line->Wait(watchLine, wantOut, wait);
        lk.lock();
        if (lineOpen && (r.in || r.hup)) ReadIn(Clock::now(), r.hup);
    }
}

void CDevice::State::ReadIn(Clock::time_point now, bool hup) {
    uint8_t buf[8192];
    bool got = false;
    for (;;) {
        long n = line->Read(buf, sizeof buf);
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
    // Look again later instead of spinning on a hang-up that stays.
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
            if (frame == faults.statusForAckAt && IsRawData(it.code) && !a.empty())
                a = {{BuildFrame(0x0D, {it.code, 1}), loader.Baud()},
                     {BuildFrame(0x0D, {it.code, 2}), loader.Baud()}};
            if (it.code == 0x05 && it.payload.size() == 6 && a.size() == 3 &&
                it.payload[0] == uint8_t(faults.badReadAt) &&
                it.payload[1] == uint8_t(faults.badReadAt >> 8) &&
                it.payload[2] == uint8_t(faults.badReadAt >> 16) &&
                it.payload[3] == uint8_t(faults.badReadAt >> 24) &&
                badReads[faults.badReadAt]++ < faults.badReadTimes) {
                std::vector<uint8_t>& data = a[1].bytes;
                data[(size_t(NextRandom()) % (data.size() / 17)) * 17 + 16] ^= 0x5A;
            }
            if (frame == faults.strayStatusAt && !a.empty()) {
                a.insert(a.begin(),
                         {{BuildFrame(0x0D, {faults.strayStatusCode, 1}), loader.Baud()},
                          {BuildFrame(0x0D, {faults.strayStatusCode, 2}), loader.Baud()}});
            }
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
    if (frame == faults.stallAt) ready += plat::ToReal(faults.stallMs);
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
        if (faults.noiseLen > 0 && (faults.noiseAt == 0 || faults.noiseAt == number)) AddNoise(a);
        if (number == faults.garbleAnswer) {
            // The last byte is a checksum, so the updater cannot take the garbled frame.
            uint8_t& b = a.back().bytes.back();
            b = uint8_t(b ^ 0xFF) == FRAME_START ? uint8_t(b ^ 0x0F) : uint8_t(b ^ 0xFF);
        }
        for (Piece& piece : a) {
            if (faults.singleByteWrites) {
                for (uint8_t b : piece.bytes) {
                    t += opt.lineRate ? WireTime(1, piece.baud) : SingleByteGap();
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

void CDevice::State::AddNoise(Answer& a) {
    std::vector<uint8_t> noise;
    for (int i = 0; i < faults.noiseLen; ++i)
        noise.push_back(faults.noiseByte >= 0 ? uint8_t(faults.noiseByte) : NextRandom());
    // A start byte in the noise may begin a frame that is no frame, but never a valid one.
    std::vector<uint8_t> line = noise;
    for (const Piece& piece : a) line.insert(line.end(), piece.bytes.begin(), piece.bytes.end());
    for (bool changed = true; changed;) {
        changed = false;
        for (size_t i = 0; i < noise.size(); ++i) {
            if (!ValidAt(line, i)) continue;
            noise[i] = line[i] = uint8_t(FRAME_START + 1);
            changed = true;
        }
    }
    if (faults.noiseApart) {
        a.insert(a.begin(), Piece{noise, a.front().baud});
    } else {
        a.front().bytes.insert(a.front().bytes.begin(), noise.begin(), noise.end());
    }
}

void CDevice::State::WriteDue(Clock::time_point now) {
    while (lineOpen && !outbox.empty() && outbox.front().due <= now) {
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
        if (o.off == 0) line->SetBaud(o.baud);
        long n = line->Write(o.bytes.data() + o.off, o.bytes.size() - o.off);
        if (n == 0) return;
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
    return line->Unread();
}

void CDevice::State::HangUp() {
    line->HangUp();
    lineOpen = false;
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

void CDevice::PullCable() {
    std::lock_guard<std::mutex> lk(m_p->mu);
    if (!m_p->lineOpen) return;
    m_p->HangUp();
    // The service thread may still wait on the line: the line is gone once it lets go.
    m_p->line->Wake();
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
