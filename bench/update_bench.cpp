// Whole updates of a reference payload set through the real program pieces (page, controller,
// task manager, serial port) against the simulated device on a pseudo-terminal that emulates the
// wire time of 256000 baud. Reports, per payload and overall, the measured transfer time against
// the bound the line itself sets, the updater's turnaround as the device saw it, CPU and memory.
//
//   kalvo-bench-update [--quick] [--blind-sleep | --compare] [--no-floor]
//                      [--sim-timer-slack NS] [--json FILE] [--svg FILE]

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/KalvoDlg.h"
#include "app/UiLoop.h"
#include "core/Log.h"
#include "image/HexWriter.h"
#include "isp/Frame.h"
#include "isp/IspCtrl.h"
#include "platform/SerialDevice.h"
#include "platform/Time.h"
#include "serial/PortTable.h"
#include "serial/Serial.h"
#include "sim/Device.h"
#include "sim/Sha256.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kBaud = 256000;

double WireMs(uint64_t bytes) {
    return static_cast<double>(bytes) * 10.0 * 1000.0 / kBaud;
}

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// ---------------------------------------------------------------------------------------------
// The reference payload set

struct PayloadDef {
    std::string name;
    std::string file;
    size_t bytes;
    std::string unit;     // how the payload is cut into frames
    std::string success;  // the status text shown right after its last acknowledgement
    double goal;          // wanted ratio of the wire bound to the measured time, 0: none
};

std::vector<PayloadDef> ReferenceSet(bool quick) {
    size_t k = quick ? 16 : 1;
    return {
        {"firmware", "DE7811_project.hex", 512 * 1024 / k, "16-byte HEX records",
         "Обновление ПО прошло успешно.", 0.85},
        {"edog", "flagdata.bin", 1024 * 1024 / k, "4 KiB chunks",
         "Обновление базы камер прошло успешно.", 0.98},
        {"music", "audioHead.bin", 1024 * 1024 / k, "4 KiB chunks",
         "Обновление звуковых файлов прошло успешно.", 0.98},
        {"radar", "rdfw.bin", 256 * 1024 / k, "1 KiB chunks",
         "Обновление ПО радар\r\n прошло успешно.\r\n", 0.0},
    };
}

std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : v) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    return v;
}

// Intel HEX at 0x08000000 in 16-byte records, followed by the version tag.
std::string MakeHex(const std::vector<uint8_t>& data) {
    return WriteIntelHex(data, 0x08000000, "0103");
}

struct PayloadSet {
    std::string dir;
    std::vector<std::vector<uint8_t>> data;  // firmware image bytes, then the raw files

    ~PayloadSet() {
        std::error_code ec;
        if (!dir.empty()) std::filesystem::remove_all(dir, ec);
    }
};

bool WriteFile(const std::string& path, const void* p, size_t n) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(p), static_cast<std::streamsize>(n));
    return static_cast<bool>(out);
}

bool MakePayloads(const std::vector<PayloadDef>& defs, PayloadSet& set) {
    std::string tmpl = (std::filesystem::temp_directory_path() / "kalvo-bench-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) return false;
    set.dir = tmpl;
    for (size_t i = 0; i < defs.size(); ++i) {
        set.data.push_back(Pattern(defs[i].bytes, static_cast<uint32_t>(i + 1)));
        std::string path = set.dir + "/" + defs[i].file;
        bool ok = i == 0 ? [&] {
            std::string hex = MakeHex(set.data[0]);
            return WriteFile(path, hex.data(), hex.size());
        }()
                         : WriteFile(path, set.data[i].data(), set.data[i].size());
        if (!ok) return false;
    }
    return true;
}

// The simulated device times its answers with ppoll time-outs; at the kernel's default timer
// slack (50 us) every answer would leave late by up to that much, and the device would count the
// delay as the updater's turnaround. Its thread takes the slack of the thread that starts it.
bool StartDevice(sim::CDevice& dev, unsigned long slackNs) {
    int old = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    if (slackNs > 0) prctl(PR_SET_TIMERSLACK, slackNs, 0, 0, 0);
    bool ok = dev.Start();
    if (old > 0) prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(old), 0, 0, 0);
    return ok;
}

std::string LoadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " " + b + " " + c;
}

// ---------------------------------------------------------------------------------------------
// CPU and memory of the process and of the simulator's own thread

double ProcessCpuMs() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    auto ms = [](const timeval& tv) { return tv.tv_sec * 1000.0 + tv.tv_usec / 1000.0; };
    return ms(ru.ru_utime) + ms(ru.ru_stime);
}

long PeakRssKiB() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

std::set<long> ListTasks() {
    std::set<long> tids;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') tids.insert(std::strtol(e->d_name, nullptr, 10));
        }
        closedir(d);
    }
    return tids;
}

// CPU time of one thread of this process, from the scheduler's own account.
double ThreadCpuMs(long tid) {
    if (tid <= 0) return 0.0;
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/schedstat");
    double ns = 0;
    if (in >> ns) return ns / 1e6;
    return 0.0;
}

// CPU of the serial reader thread(s) (named "serial-read" by the port) of this process.
double ReaderCpuMs() {
    double ms = 0;
    for (long tid : ListTasks()) {
        std::ifstream comm("/proc/self/task/" + std::to_string(tid) + "/comm");
        std::string name;
        if (std::getline(comm, name) && name == "serial-read") ms += ThreadCpuMs(tid);
    }
    return ms;
}

// ---------------------------------------------------------------------------------------------
// Following the run through the page's own signals

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

// ---------------------------------------------------------------------------------------------
// Results

struct Stats {
    size_t samples = 0;
    double median = 0, p99 = 0, mean = 0, max = 0;
};

Stats Summarise(std::vector<double> v) {
    Stats s;
    s.samples = v.size();
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    auto at = [&](double q) {
        size_t i = static_cast<size_t>(std::ceil(q * static_cast<double>(v.size()))) - 1;
        return v[std::min(i, v.size() - 1)];
    };
    s.median = at(0.5);
    s.p99 = at(0.99);
    double sum = 0;
    for (double x : v) sum += x;
    s.mean = sum / static_cast<double>(v.size());
    s.max = v.back();
    return s;
}

struct Row {
    std::string name, unit;
    double goal = 0;
    int frames = 0;
    uint64_t bytesIn = 0, bytesOut = 0;
    double measuredMs = 0, wireMs = 0;
    Stats turnaround;
    Stats handoff;  // answer complete on the reader -> next frame handed to the port
    double cpuPct = 0, updaterCpuPct = 0, readerCpuPct = 0;
    double pauseAfterMs = -1;  // -1: no pause follows
    double Ratio() const { return measuredMs > 0 ? wireMs / measuredMs : 0; }
    double OverheadUs() const { return frames > 0 ? (measuredMs - wireMs) * 1000.0 / frames : 0; }
};

struct RunResult {
    std::string mode;
    std::string loadBefore, loadAfter;
    bool ok = false;
    std::string error;
    std::vector<Row> rows;
    Row overall;
    double idleCpuPct = 0, idleReaderCpuPct = 0;
    double idleSeconds = 0;
    double totalMs = 0;
    long peakRssKiB = 0;
    std::vector<std::string> checks;
};

int FramesOf(const PayloadDef& s) {
    if (s.name == "firmware") return static_cast<int>((s.bytes + 15) / 16);
    size_t chunk = s.name == "radar" ? 1024 : 4096;
    return static_cast<int>((s.bytes + chunk - 1) / chunk);
}

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
    std::string port, why;
    if (!dev.CreatePty(&port, &why) || !StartDevice(dev, simSlackNs)) {
        res.error = "cannot start the simulated device: " + why;
        return res;
    }
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

// ---------------------------------------------------------------------------------------------
// The simulator's own floor: the same 16-byte firmware exchange driven by a minimal client that
// blocks on the line and answers at once, with nothing of the program in between.

struct FloorResult {
    bool ok = false;
    std::string error;
    Row row;
};

FloorResult RunFloor(size_t records, unsigned long simSlackNs) {
    FloorResult res;
    sim::Options opts;
    opts.lineRate = true;
    opts.baud = kBaud;
    sim::CDevice dev(opts);
    std::string path, why;
    if (!dev.CreatePty(&path, &why) || !StartDevice(dev, simSlackNs)) {
        res.error = "cannot start the simulated device: " + why;
        return res;
    }
    int err = 0;
    int fd = plat::SerialOpen(path, &err);
    if (fd < 0 || !plat::SerialConfigure(fd, kBaud, &err)) {
        if (fd >= 0) plat::SerialClose(fd);
        res.error = "cannot open " + path;
        return res;
    }
    auto exchange = [&](std::vector<uint8_t> frame, size_t answer) {
        frame.push_back(isp::FrameChecksum(frame.data(), static_cast<int32_t>(frame.size())));
        size_t done = 0;
        while (done < frame.size()) {
            long n = plat::SerialWrite(fd, frame.data() + done, frame.size() - done, &err);
            if (n < 0) return false;
            done += static_cast<size_t>(n);
            if (done < frame.size()) plat::SerialWaitWrite(fd, std::chrono::milliseconds(100));
        }
        uint8_t buf[256];
        size_t got = 0;
        while (got < answer) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 2000) <= 0) return false;
            long n = plat::SerialRead(fd, buf, sizeof buf, &err);
            if (n < 0) return false;
            got += static_cast<size_t>(n);
        }
        return true;
    };
    bool ok = exchange({0xAC, 0x07, 0x00, 0x1C, 0x01, 0x03}, 15) &&
              exchange({0xAC, 0x07, 0x00, 0x0D, 0x1B, 0x02}, 7);
    sim::Report r0 = dev.GetReport();
    Clock::time_point t0 = Clock::now();
    std::vector<uint8_t> data = Pattern(records * 16, 99);
    for (size_t i = 0; ok && i < records; ++i) {
        uint32_t addr = 0x08000000 + static_cast<uint32_t>(i * 16);
        std::vector<uint8_t> f = {0xAC,
                                  26,
                                  0x00,
                                  0x06,
                                  static_cast<uint8_t>(addr),
                                  static_cast<uint8_t>(addr >> 8),
                                  static_cast<uint8_t>(addr >> 16),
                                  static_cast<uint8_t>(addr >> 24),
                                  16};
        f.insert(f.end(), data.begin() + static_cast<long>(i * 16),
                 data.begin() + static_cast<long>(i * 16 + 16));
        ok = exchange(f, 14);
    }
    Clock::time_point t1 = Clock::now();
    sim::Report r1 = dev.GetReport();
    if (ok) ok = exchange({0xAC, 0x05, 0x00, 0x1A}, 14);
    plat::SerialClose(fd);
    dev.Stop();
    if (!ok) {
        res.error = "the floor exchange failed";
        return res;
    }
    Row& row = res.row;
    row.name = "sim floor";
    row.unit = "16-byte records, minimal client";
    row.frames = static_cast<int>(records);
    row.bytesIn = r1.bytesIn - r0.bytesIn;
    row.bytesOut = r1.bytesOut - r0.bytesOut;
    row.measuredMs = Ms(t1 - t0);
    row.wireMs = WireMs(row.bytesIn + row.bytesOut);
    size_t from = std::min(r0.turnaroundMicros.size() + 1, r1.turnaroundMicros.size());
    row.turnaround = Summarise(std::vector<double>(
        r1.turnaroundMicros.begin() + static_cast<long>(from), r1.turnaroundMicros.end()));
    res.ok = true;
    return res;
}

// ---------------------------------------------------------------------------------------------
// Output

std::string ModeText(const std::string& mode) {
    return mode == "blind-sleep" ? "before: the read loop sleeps 1 ms blindly after every read"
                                 : "after: the read loop waits in poll for data";
}

void PrintRow(const Row& r, bool measuredInProcess = true) {
    char goal[16] = "   -";
    if (r.goal > 0) std::snprintf(goal, sizeof goal, "%.2f", r.goal);
    std::printf("%-10s %6d %9llu %9.1f %9.1f  %5.3f %s %7.1f  %6.1f %7.1f", r.name.c_str(),
                r.frames, static_cast<unsigned long long>(r.bytesIn + r.bytesOut), r.measuredMs,
                r.wireMs, r.Ratio(), goal, r.OverheadUs(), r.turnaround.median, r.turnaround.p99);
    if (measuredInProcess) {
        std::printf("  %6.1f %7.1f  %5.1f %5.1f %5.1f", r.handoff.median, r.handoff.p99, r.cpuPct,
                    r.updaterCpuPct, r.readerCpuPct);
    }
    std::printf("\n");
}

void PrintHeader() {
    std::printf("%-10s %6s %9s %9s %9s  %5s %4s %7s  %14s  %14s  %5s %5s %5s\n", "payload",
                "frames", "bytes", "measured", "wire", "ratio", "goal", "over/f", "turnaround us",
                "hand-off us", "cpu%", "upd%", "rdr%");
    std::printf("%-10s %6s %9s %9s %9s  %5s %4s %7s  %6s %7s  %6s %7s\n", "", "", "on line", "ms",
                "ms", "", "", "us", "median", "p99", "median", "p99");
}

void PrintRun(const RunResult& r) {
    std::printf("\n== %s\n", ModeText(r.mode).c_str());
    if (!r.error.empty()) {
        std::printf("FAILED: %s\n", r.error.c_str());
        return;
    }
    PrintHeader();
    for (const Row& row : r.rows) PrintRow(row);
    PrintRow(r.overall);
    std::printf("load average before/after: %s / %s\n", r.loadBefore.c_str(), r.loadAfter.c_str());
    std::printf("pauses (excluded above):");
    for (const Row& row : r.rows)
        if (row.pauseAfterMs >= 0)
            std::printf(" after %s %.1f ms;", row.name.c_str(), row.pauseAfterMs);
    std::printf("\nwhole run, pauses included: %.1f s\n", r.totalMs / 1000.0);
    std::printf("CPU, port open and idle: %.2f %% of a core, the reader %.2f %% (over %.0f s)\n",
                r.idleCpuPct, r.idleReaderCpuPct, r.idleSeconds);
    std::printf("peak RSS of the process: %.1f MiB\n", r.peakRssKiB / 1024.0);
    for (const auto& c : r.checks) std::printf("CHECK FAILED: %s\n", c.c_str());
    if (r.checks.empty()) std::printf("device received every payload byte for byte\n");
}

std::string Num(double v, int digits = 3) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", digits, v);
    return buf;
}

std::string Quote(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// measuredInProcess: the row has the hand-off and CPU figures (not the minimal client's).
std::string RowJson(const Row& r, const std::string& indent, bool measuredInProcess = true) {
    std::string s =
        indent + "{\"name\": " + Quote(r.name) + ", \"unit\": " + Quote(r.unit) +
        ", \"frames\": " + std::to_string(r.frames) +
        ", \"bytes_in\": " + std::to_string(r.bytesIn) +
        ", \"bytes_out\": " + std::to_string(r.bytesOut) + ",\n" + indent +
        " \"measured_ms\": " + Num(r.measuredMs, 1) + ", \"wire_bound_ms\": " + Num(r.wireMs, 1) +
        ", \"ratio\": " + Num(r.Ratio()) +
        ", \"goal\": " + (r.goal > 0 ? Num(r.goal, 2) : std::string("null")) +
        ", \"overhead_per_frame_us\": " + Num(r.OverheadUs(), 1) + ",\n" + indent +
        " \"turnaround_us\": {\"samples\": " + std::to_string(r.turnaround.samples) +
        ", \"median\": " + Num(r.turnaround.median, 1) + ", \"p99\": " + Num(r.turnaround.p99, 1) +
        ", \"mean\": " + Num(r.turnaround.mean, 1) + ", \"max\": " + Num(r.turnaround.max, 1) + "}";
    if (!measuredInProcess) return s + "}";
    s += ",\n" + indent + " \"handoff_us\": {\"samples\": " + std::to_string(r.handoff.samples) +
         ", \"median\": " + Num(r.handoff.median, 1) + ", \"p99\": " + Num(r.handoff.p99, 1) +
         ", \"max\": " + Num(r.handoff.max, 1) + "},\n" + indent +
         " \"cpu_percent\": " + Num(r.cpuPct, 2) +
         ", \"updater_cpu_percent\": " + Num(r.updaterCpuPct, 2) +
         ", \"reader_cpu_percent\": " + Num(r.readerCpuPct, 2);
    if (r.pauseAfterMs >= 0) s += ", \"pause_after_ms\": " + Num(r.pauseAfterMs, 1);
    return s + "}";
}

std::string RunJson(const RunResult& r) {
    std::string s = "    {\"mode\": " + Quote(r.mode) +
                    ", \"description\": " + Quote(ModeText(r.mode)) +
                    ", \"ok\": " + (r.ok ? "true" : "false");
    if (!r.error.empty()) return s + ", \"error\": " + Quote(r.error) + "}";
    s += ",\n     \"payloads\": [\n";
    for (size_t i = 0; i < r.rows.size(); ++i)
        s += RowJson(r.rows[i], "       ") + (i + 1 < r.rows.size() ? ",\n" : "\n");
    s += "     ],\n     \"overall\":\n" + RowJson(r.overall, "       ") + ",\n";
    s += "     \"run_seconds_with_pauses\": " + Num(r.totalMs / 1000.0, 1) +
         ", \"idle_cpu_percent\": " + Num(r.idleCpuPct, 2) +
         ", \"idle_reader_cpu_percent\": " + Num(r.idleReaderCpuPct, 2) +
         ", \"peak_rss_mib\": " + Num(r.peakRssKiB / 1024.0, 1) +
         ",\n     \"load_average_before\": " + Quote(r.loadBefore) +
         ", \"load_average_after\": " + Quote(r.loadAfter) + ",\n     \"checks\": [";
    for (size_t i = 0; i < r.checks.size(); ++i) s += (i ? ", " : "") + Quote(r.checks[i]);
    return s + "]}";
}

bool WriteJson(const std::string& path, bool quick, unsigned long simSlackNs,
               const std::vector<RunResult>& runs, const FloorResult* floor) {
    std::string s = "{\n  \"benchmark\": \"kalvo-bench-update\",\n  \"quick\": " +
                    std::string(quick ? "true" : "false") +
                    ",\n  \"baud\": 256000, \"bits_per_byte\": 10, \"device_processing_us\": 0, "
                    "\"sim_timer_slack_ns\": " +
                    std::to_string(simSlackNs) +
                    ",\n  \"cores\": " + std::to_string(std::thread::hardware_concurrency()) +
                    ",\n  \"runs\": [\n";
    for (size_t i = 0; i < runs.size(); ++i)
        s += RunJson(runs[i]) + (i + 1 < runs.size() ? ",\n" : "\n");
    s += "  ]";
    if (floor != nullptr && floor->ok)
        s += ",\n  \"sim_floor\":\n" + RowJson(floor->row, "    ", false);
    s += "\n}\n";
    return WriteFile(path, s.data(), s.size());
}

// Grouped bars: the wire-bound ratio per payload, one bar per run, goals as ticks.
bool WriteSvg(const std::string& path, const std::vector<RunResult>& runs,
              const FloorResult* floor) {
    const int W = 760, H = 390, left = 60, right = 20, top = 62, bottom = 70;
    const int plotW = W - left - right, plotH = H - top - bottom;
    std::vector<std::string> groups;
    for (const RunResult& r : runs) {
        if (r.error.empty() && groups.empty()) {
            for (const Row& row : r.rows) groups.push_back(row.name);
            groups.push_back("overall");
        }
    }
    bool withFloor = floor != nullptr && floor->ok;
    if (groups.empty()) return false;
    const char* colours[] = {"#b0b0b0", "#2f6db5", "#7fb05a"};
    std::string s = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(W) +
                    "\" height=\"" + std::to_string(H) + "\" viewBox=\"0 0 " + std::to_string(W) +
                    " " + std::to_string(H) + "\" font-family=\"sans-serif\" font-size=\"12\">\n";
    s += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    s += "<text x=\"" + std::to_string(W / 2) +
         "\" y=\"22\" text-anchor=\"middle\" font-size=\"15\">Wire-limited bound / measured "
         "time at 256000 baud (1.0 = the line is the only limit)</text>\n";
    std::vector<std::string> parts;
    for (const RunResult& r : runs) {
        if (!r.error.empty()) continue;
        parts.push_back(std::string(r.mode == "blind-sleep" ? "before " : "after ") +
                        Num(r.overall.turnaround.median, 0) + " / " +
                        Num(r.overall.turnaround.p99, 0) + " us");
    }
    if (withFloor)
        parts.push_back("minimal client " + Num(floor->row.turnaround.median, 0) + " / " +
                        Num(floor->row.turnaround.p99, 0) + " us");
    std::string sub = "turnaround as the device saw it, median / p99:";
    for (size_t i = 0; i < parts.size(); ++i) sub += (i ? "; " : " ") + parts[i];
    s += "<text x=\"" + std::to_string(W / 2) +
         "\" y=\"40\" text-anchor=\"middle\" fill=\"#444444\">" + sub + "</text>\n";
    auto y = [&](double v) { return top + plotH - static_cast<int>(std::lround(v * plotH)); };
    for (int g = 0; g <= 4; ++g) {
        double v = g / 4.0;
        s += "<line x1=\"" + std::to_string(left) + "\" x2=\"" + std::to_string(W - right) +
             "\" y1=\"" + std::to_string(y(v)) + "\" y2=\"" + std::to_string(y(v)) +
             "\" stroke=\"#dddddd\"/>\n";
        s += "<text x=\"" + std::to_string(left - 6) + "\" y=\"" + std::to_string(y(v) + 4) +
             "\" text-anchor=\"end\">" + Num(v, 2) + "</text>\n";
    }
    int nGroups = static_cast<int>(groups.size()) + (withFloor ? 1 : 0);
    int groupW = plotW / nGroups;
    int nBars = static_cast<int>(runs.size());
    int barW = std::max(8, (groupW - 30) / std::max(1, nBars));
    for (int g = 0; g < static_cast<int>(groups.size()); ++g) {
        int gx = left + g * groupW + 15;
        double goal = 0;
        for (int b = 0; b < nBars; ++b) {
            const RunResult& r = runs[static_cast<size_t>(b)];
            if (!r.error.empty()) continue;
            const Row& row =
                g < static_cast<int>(r.rows.size()) ? r.rows[static_cast<size_t>(g)] : r.overall;
            goal = row.goal;
            double v = std::min(1.0, row.Ratio());
            int x = gx + b * barW;
            s += "<rect x=\"" + std::to_string(x) + "\" y=\"" + std::to_string(y(v)) +
                 "\" width=\"" + std::to_string(barW - 4) + "\" height=\"" +
                 std::to_string(top + plotH - y(v)) + "\" fill=\"" +
                 colours[r.mode == "blind-sleep" ? 0 : 1] + "\"/>\n";
            s += "<text x=\"" + std::to_string(x + (barW - 4) / 2) + "\" y=\"" +
                 std::to_string(y(v) - 4) + "\" text-anchor=\"middle\" font-size=\"11\">" +
                 Num(row.Ratio(), 2) + "</text>\n";
        }
        if (goal > 0) {
            s += "<line x1=\"" + std::to_string(gx - 4) + "\" x2=\"" +
                 std::to_string(gx + nBars * barW) + "\" y1=\"" + std::to_string(y(goal)) +
                 "\" y2=\"" + std::to_string(y(goal)) +
                 "\" stroke=\"#d03030\" stroke-dasharray=\"4 3\"/>\n";
        }
        s += "<text x=\"" + std::to_string(gx + (nBars * barW) / 2) + "\" y=\"" +
             std::to_string(top + plotH + 18) + "\" text-anchor=\"middle\">" +
             groups[static_cast<size_t>(g)] + "</text>\n";
    }
    if (withFloor) {
        int gx = left + static_cast<int>(groups.size()) * groupW + 15;
        double v = std::min(1.0, floor->row.Ratio());
        s += "<rect x=\"" + std::to_string(gx) + "\" y=\"" + std::to_string(y(v)) + "\" width=\"" +
             std::to_string(barW - 4) + "\" height=\"" + std::to_string(top + plotH - y(v)) +
             "\" fill=\"" + colours[2] + "\"/>\n";
        s += "<text x=\"" + std::to_string(gx + (barW - 4) / 2) + "\" y=\"" +
             std::to_string(y(v) - 4) + "\" text-anchor=\"middle\" font-size=\"11\">" +
             Num(floor->row.Ratio(), 2) + "</text>\n";
        s += "<text x=\"" + std::to_string(gx + barW / 2) + "\" y=\"" +
             std::to_string(top + plotH + 18) + "\" text-anchor=\"middle\">sim floor</text>\n";
    }
    int ly = H - 22;
    int lx = left;
    auto legend = [&](const char* colour, const std::string& text) {
        s += "<rect x=\"" + std::to_string(lx) + "\" y=\"" + std::to_string(ly - 10) +
             "\" width=\"12\" height=\"12\" fill=\"" + colour + "\"/>\n";
        s += "<text x=\"" + std::to_string(lx + 16) + "\" y=\"" + std::to_string(ly) + "\">" +
             text + "</text>\n";
        lx += 16 + static_cast<int>(text.size()) * 6 + 20;
    };
    for (const RunResult& r : runs) {
        legend(colours[r.mode == "blind-sleep" ? 0 : 1],
               r.mode == "blind-sleep" ? "before (1 ms blind sleep)" : "after (poll wait)");
    }
    if (withFloor) legend(colours[2], "minimal client, 16-byte records");
    s += "<line x1=\"" + std::to_string(lx) + "\" x2=\"" + std::to_string(lx + 18) + "\" y1=\"" +
         std::to_string(ly - 4) + "\" y2=\"" + std::to_string(ly - 4) +
         "\" stroke=\"#d03030\" stroke-dasharray=\"4 3\"/>\n";
    s += "<text x=\"" + std::to_string(lx + 22) + "\" y=\"" + std::to_string(ly) +
         "\">goal</text>\n";
    s += "</svg>\n";
    return WriteFile(path, s.data(), s.size());
}

void Usage() {
    std::fprintf(stderr,
                 "usage: kalvo-bench-update [--quick] [--blind-sleep | --compare] [--no-floor]\n"
                 "                          [--sim-timer-slack NS] [--json FILE] [--svg FILE]\n"
                 "  --quick        a small payload set (a smoke run, about 20 s per run)\n"
                 "  --blind-sleep  the read loop sleeps 1 ms after every read (the first design)\n"
                 "  --compare      run the blind-sleep design, then the current one\n"
                 "  --no-floor     skip the minimal-client run that shows the simulator's floor\n"
                 "  --sim-timer-slack NS  timer slack of the simulated device's thread\n"
                 "                 (default 1; 0 keeps the kernel's, usually 50000)\n");
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = false, blind = false, compare = false, withFloor = true;
    unsigned long simSlackNs = 1;
    std::string jsonPath, svgPath;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--quick") {
            quick = true;
        } else if (a == "--blind-sleep") {
            blind = true;
        } else if (a == "--compare") {
            compare = true;
        } else if (a == "--no-floor") {
            withFloor = false;
        } else if (a == "--sim-timer-slack" && i + 1 < argc) {
            simSlackNs = std::strtoul(argv[++i], nullptr, 10);
        } else if (a == "--json" && i + 1 < argc) {
            jsonPath = argv[++i];
        } else if (a == "--svg" && i + 1 < argc) {
            svgPath = argv[++i];
        } else {
            Usage();
            return 2;
        }
    }
    plat::SetTimeScale(1.0);
    g_bLogEnable.store(0);

    std::vector<PayloadDef> defs = ReferenceSet(quick);
    PayloadSet set;
    if (!MakePayloads(defs, set)) {
        std::fprintf(stderr, "cannot write the payload files\n");
        return 1;
    }
    std::printf(
        "kalvo-bench-update: %s set: firmware %zu KiB (16-byte records), edog %zu KiB, "
        "music %zu KiB, radar %zu KiB; 256000 baud 8N1, device processing 0, device timer "
        "slack %lu ns\n",
        quick ? "quick" : "reference", defs[0].bytes / 1024, defs[1].bytes / 1024,
        defs[2].bytes / 1024, defs[3].bytes / 1024, simSlackNs);
    std::fflush(stdout);

    double idle = quick ? 1.0 : 3.0;
    uint32_t maxSeconds = quick ? 180 : 900;
    std::vector<RunResult> runs;
    if (compare || blind) {
        runs.push_back(RunUpdate(defs, set, true, idle, maxSeconds, simSlackNs));
        PrintRun(runs.back());
        std::fflush(stdout);
    }
    if (compare || !blind) {
        runs.push_back(RunUpdate(defs, set, false, idle, maxSeconds, simSlackNs));
        PrintRun(runs.back());
        std::fflush(stdout);
    }
    FloorResult floor;
    if (withFloor) {
        floor = RunFloor(quick ? 1024 : 4096, simSlackNs);
        std::printf("\n== the simulator's floor: a minimal client, no program in between\n");
        if (floor.ok) {
            PrintHeader();
            PrintRow(floor.row, false);
        } else {
            std::printf("FAILED: %s\n", floor.error.c_str());
        }
    }
    const FloorResult* fp = withFloor ? &floor : nullptr;
    if (!jsonPath.empty() && !WriteJson(jsonPath, quick, simSlackNs, runs, fp)) {
        std::fprintf(stderr, "cannot write %s\n", jsonPath.c_str());
        return 1;
    }
    if (!svgPath.empty() && !WriteSvg(svgPath, runs, fp)) {
        std::fprintf(stderr, "cannot write %s\n", svgPath.c_str());
        return 1;
    }
    bool ok = true;
    for (const RunResult& r : runs) ok = ok && r.ok;
    return ok ? 0 : 1;
}
