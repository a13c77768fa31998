// The update run of the benchmark: the page on a UI loop of its own against the simulated device,
// followed through the page's own signals (reply timer armed and disarmed, the success texts),
// and checked against what the device received.
#include "bench/update/Run.h"

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "app/KalvoDlg.h"
#include "app/UiLoop.h"
#include "isp/IspCtrl.h"
#include "serial/PortTable.h"
#include "serial/Serial.h"
#include "sim/Sha256.h"

namespace bench {

namespace {

struct Snap {
    Clock::time_point t{};
    uint64_t in = 0, out = 0;
    size_t samples = 0;
    double cpuMs = 0, simCpuMs = 0, readerCpuMs = 0;
};

class CRecorder {
public:
    CRecorder(sim::CDevice& dev, long simTid, const std::vector<PayloadDef>& defs)
        : m_dev(dev),
          m_simTid(simTid),
          m_defs(defs),
          m_begin(defs.size()),
          m_end(defs.size()),
          m_pauseEnd(defs.size()),
          m_handoff(defs.size()) {}

    Snap Take(bool stampFirst) {
        Snap s;
        if (stampFirst) s.t = Clock::now();
        s.cpuMs = ProcessCpuMs();
        s.simCpuMs = ThreadCpuMs(m_simTid);
        s.readerCpuMs = ReaderCpuMs();
        sim::Report r = m_dev.GetReport();
        s.in = r.bytesIn;
        s.out = r.bytesOut;
        s.samples = r.turnaroundMicros.size();
        if (!stampFirst) s.t = Clock::now();
        return s;
    }

    void Arm() {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_k = 0;
        m_stage = Stage::WaitBegin;
        m_earliest = Clock::now();
    }

    // An answer completed (the page disarms its reply timer): the reader is about to hand the
    // next frame to the sender.
    void OnReply() {
        Clock::time_point now = Clock::now();
        std::lock_guard<std::mutex> lock(m_mtx);
        m_lastReply = now;
    }

    // A frame is about to be written (the page arms its reply timer).
    void OnSend() {
        Clock::time_point now = Clock::now();
        std::lock_guard<std::mutex> lock(m_mtx);
        if (m_stage == Stage::Running && m_lastReply != Clock::time_point{}) {
            m_handoff[m_k].push_back(
                std::chrono::duration<double, std::micro>(now - m_lastReply).count());
        }
        m_lastReply = Clock::time_point{};
        if (m_stage != Stage::WaitBegin || now < m_earliest) return;
        m_pauseEnd[m_k] = now;
        // Stamped after the look at the device, so its cost stays out of the transfer.
        m_begin[m_k] = Take(false);
        m_stage = Stage::Running;
    }

    void OnStatus(const std::string& text) {
        std::lock_guard<std::mutex> lock(m_mtx);
        if (m_stage != Stage::Running || text != m_defs[m_k].success) return;
        m_end[m_k] = Take(true);
        if (m_k + 1 < m_defs.size()) {
            ++m_k;
            m_stage = Stage::WaitBegin;
            // The end command goes out at once; the next begin only after the pause.
            m_earliest = Clock::now() + std::chrono::milliseconds(1000);
        } else {
            m_stage = Stage::Done;
        }
    }

    bool Done() {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_stage == Stage::Done;
    }
    const Snap& Begin(size_t k) const { return m_begin[k]; }
    const Snap& End(size_t k) const { return m_end[k]; }
    Clock::time_point PauseEnd(size_t k) const { return m_pauseEnd[k]; }
    const std::vector<double>& Handoff(size_t k) const { return m_handoff[k]; }

private:
    enum class Stage { Idle, WaitBegin, Running, Done };

    sim::CDevice& m_dev;
    long m_simTid;
    const std::vector<PayloadDef>& m_defs;
    std::mutex m_mtx;
    Stage m_stage = Stage::Idle;
    size_t m_k = 0;
    Clock::time_point m_earliest{};
    std::vector<Snap> m_begin, m_end;
    std::vector<Clock::time_point> m_pauseEnd;
    std::vector<std::vector<double>> m_handoff;
    Clock::time_point m_lastReply{};
};

class CBenchWindow : public CLoopWindow {
public:
    CBenchWindow(CUiLoop& loop, CRecorder& rec) : CLoopWindow(loop), m_rec(rec) {}

    void ShowStatusText(const std::string& text) override {
        m_rec.OnStatus(text);
        CLoopWindow::ShowStatusText(text);
    }
    void SetTimer(uint32_t id, uint32_t ms) override {
        if (id == TIMER_REPLY) m_rec.OnSend();
        CLoopWindow::SetTimer(id, ms);
    }
    void KillTimer(uint32_t id) override {
        if (id == TIMER_REPLY) m_rec.OnReply();
        CLoopWindow::KillTimer(id);
    }
    void OnPageEvent(PageEvent event, const std::string& detail) override {
        {
            std::lock_guard<std::mutex> lock(m_mtx);
            m_events.push_back(event);
            if (m_strFailure.empty() && IsFailure(event)) m_strFailure = Name(event) + " " + detail;
        }
        if (event == PageEvent::RunComplete || IsFailure(event)) m_loop.Quit(0);
    }

    bool Saw(PageEvent e) {
        std::lock_guard<std::mutex> lock(m_mtx);
        return std::find(m_events.begin(), m_events.end(), e) != m_events.end();
    }
    std::string Failure() {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_strFailure;
    }

private:
    static bool IsFailure(PageEvent e) {
        return e == PageEvent::Timeout || e == PageEvent::LinkLost || e == PageEvent::DeviceError ||
               e == PageEvent::FileError || e == PageEvent::VerifyFailed ||
               e == PageEvent::NothingToDo;
    }
    static std::string Name(PageEvent e) {
        switch (e) {
            case PageEvent::Timeout:
                return "time-out";
            case PageEvent::LinkLost:
                return "link lost";
            case PageEvent::DeviceError:
                return "device error";
            case PageEvent::FileError:
                return "file error";
            case PageEvent::VerifyFailed:
                return "verify failed";
            case PageEvent::NothingToDo:
                return "nothing to do";
            default:
                return "event";
        }
    }

    CRecorder& m_rec;
    std::mutex m_mtx;
    std::vector<PageEvent> m_events;
    std::string m_strFailure;
};

void Verify(const sim::Report& r, const std::vector<PayloadDef>& defs, const PayloadSet& set,
            RunResult& res) {
    auto fail = [&](const std::string& why) {
        res.ok = false;
        res.checks.push_back(why);
    };
    for (const auto& v : r.violations) fail("device: " + v);
    std::string fwSha = sim::Sha256Hex(set.data[0]);
    if (r.firmware.size() != 1 || r.firmware[0].address != 0x08000000 ||
        r.firmware[0].length != defs[0].bytes || r.firmware[0].sha256 != fwSha)
        fail("firmware in the device's flash differs from the image");
    if (r.fwFrames != FramesOf(defs[0]) || !r.fwEnded) fail("firmware frames or end missing");
    const sim::PayloadReport* raw[3] = {&r.edog, &r.music, &r.radar};
    for (int i = 0; i < 3; ++i) {
        const PayloadDef& s = defs[static_cast<size_t>(i) + 1];
        if (raw[i]->bytes != s.bytes || raw[i]->sha256 != sim::Sha256Hex(set.data[i + 1]) ||
            !raw[i]->ended || raw[i]->frames != FramesOf(s))
            fail(s.name + " received by the device differs from the file");
    }
}

}  // namespace

RunResult RunUpdate(const std::vector<PayloadDef>& defs, const PayloadSet& set, bool blind,
                    double idleSeconds, uint32_t maxSeconds, unsigned long simSlackNs) {
    RunResult res;
    res.mode = blind ? "blind-sleep" : "poll-wait";
    res.loadBefore = LoadAverage();
    res.idleSeconds = idleSeconds;
    g_ISPCtrl.m_serial.m_bBlindSleep.store(blind);

    sim::Options opts;
    opts.lineRate = true;
    opts.procMicros = 0;
    opts.baud = kBaud;
    std::set<long> before = ListTasks();
    sim::CDevice dev(opts);
    std::string port;
    if (!StartDevice(dev, simSlackNs, port, res.error)) return res;
    long simTid = 0;
    for (long t : ListTasks())
        if (!before.count(t)) simTid = t;
    serialports::SetPortTable({port});

    CUiLoop loop;
    CRecorder rec(dev, simTid, defs);
    CBenchWindow wnd(loop, rec);
    PageConfig cfg;
    cfg.payloadDir = set.dir;
    cfg.logPath = set.dir + "/KalvoLog.txt";
    auto page = std::make_unique<CKalvoDlg>(&wnd, cfg);
    loop.Post([&] { page->OnInitDialog(); });

    auto finish = [&] {
        page->OnDestroy();
        page.reset();
        loop.RunPending();
        dev.Stop();
        serialports::SetPortTable({});
        g_ISPCtrl.m_nRunState.store(2);
        g_ISPCtrl.m_serial.m_bBlindSleep.store(false);
    };

    if (!loop.RunUntil([&] { return wnd.Saw(PageEvent::ProbeAnswered); }, 20000)) {
        res.error = "the device did not answer the probe";
        finish();
        return res;
    }
    loop.RunPending();

    // The port is open and nothing moves: what does waiting cost?
    {
        double cpu0 = ProcessCpuMs(), sim0 = ThreadCpuMs(simTid), rd0 = ReaderCpuMs();
        Clock::time_point t0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(idleSeconds));
        double wall = Ms(Clock::now() - t0);
        double cpu = (ProcessCpuMs() - cpu0) - (ThreadCpuMs(simTid) - sim0);
        res.idleCpuPct = 100.0 * cpu / wall;
        res.idleReaderCpuPct = 100.0 * (ReaderCpuMs() - rd0) / wall;
    }
    loop.RunPending();

    // Bounded: a hung run ends the benchmark instead of the machine's patience.
    std::mutex wdMtx;
    std::condition_variable wdCv;
    bool over = false, timedOut = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> lock(wdMtx);
        if (!wdCv.wait_for(lock, std::chrono::seconds(maxSeconds), [&] { return over; })) {
            timedOut = true;
            loop.Quit(2);
        }
    });

    rec.Arm();
    Clock::time_point start = Clock::now();
    loop.Post([&] { page->OnBnClickedUpdate(); });
    loop.Run();
    res.totalMs = Ms(Clock::now() - start);
    {
        std::lock_guard<std::mutex> lock(wdMtx);
        over = true;
    }
    wdCv.notify_all();
    watchdog.join();

    std::string failure = wnd.Failure();
    bool complete = rec.Done() && wnd.Saw(PageEvent::RunComplete);
    finish();
    res.peakRssKiB = PeakRssKiB();
    res.loadAfter = LoadAverage();
    if (timedOut) {
        res.error = "no end within " + std::to_string(maxSeconds) + " s";
        return res;
    }
    if (!failure.empty() || !complete) {
        res.error = failure.empty() ? "the run did not complete" : failure;
        return res;
    }

    sim::Report r = dev.GetReport();
    res.ok = true;
    Verify(r, defs, set, res);

    std::vector<double> all, allHandoff;
    Row& o = res.overall;
    o.name = "overall";
    o.unit = "all payloads";
    o.goal = 0.95;
    double cpu = 0, simCpu = 0, reader = 0;
    for (size_t k = 0; k < defs.size(); ++k) {
        const Snap& b = rec.Begin(k);
        const Snap& e = rec.End(k);
        Row row;
        row.name = defs[k].name;
        row.unit = defs[k].unit;
        row.goal = defs[k].goal;
        row.frames = FramesOf(defs[k]);
        row.bytesIn = e.in - b.in;
        row.bytesOut = e.out - b.out;
        row.measuredMs = Ms(e.t - b.t);
        // Stop-and-wait: each frame and its answer cross one after the other.
        row.wireMs = WireMs(row.bytesIn + row.bytesOut);
        // The first sample is the gap before the begin command (a pause or the button press).
        size_t from = std::min(b.samples + 1, r.turnaroundMicros.size());
        size_t to = std::min(e.samples, r.turnaroundMicros.size());
        std::vector<double> slice;
        if (to > from) {
            slice.assign(r.turnaroundMicros.begin() + static_cast<long>(from),
                         r.turnaroundMicros.begin() + static_cast<long>(to));
        }
        all.insert(all.end(), slice.begin(), slice.end());
        row.turnaround = Summarise(slice);
        row.handoff = Summarise(rec.Handoff(k));
        allHandoff.insert(allHandoff.end(), rec.Handoff(k).begin(), rec.Handoff(k).end());
        double dc = e.cpuMs - b.cpuMs, ds = e.simCpuMs - b.simCpuMs;
        double dr = e.readerCpuMs - b.readerCpuMs;
        row.cpuPct = 100.0 * dc / row.measuredMs;
        row.updaterCpuPct = 100.0 * (dc - ds) / row.measuredMs;
        row.readerCpuPct = 100.0 * dr / row.measuredMs;
        reader += dr;
        if (k + 1 < defs.size()) row.pauseAfterMs = Ms(rec.PauseEnd(k + 1) - e.t);
        cpu += dc;
        simCpu += ds;
        o.frames += row.frames;
        o.bytesIn += row.bytesIn;
        o.bytesOut += row.bytesOut;
        o.measuredMs += row.measuredMs;
        o.wireMs += row.wireMs;
        res.rows.push_back(row);
    }
    o.turnaround = Summarise(all);
    o.handoff = Summarise(allHandoff);
    o.readerCpuPct = 100.0 * reader / o.measuredMs;
    o.cpuPct = 100.0 * cpu / o.measuredMs;
    o.updaterCpuPct = 100.0 * (cpu - simCpu) / o.measuredMs;
    return res;
}

}  // namespace bench
