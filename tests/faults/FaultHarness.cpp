#include "FaultHarness.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <thread>

#include "isp/IspCtrl.h"
#include "platform/Time.h"
#include "serial/Serial.h"
#include "ui/Session.h"
#include "ui/console/ConsoleFace.h"

const PhaseInfo kPhases[PH_COUNT] = {
    {"Firmware", "DE7811_project.hex", 0x06, 4, 16},
    {"Edog", "flagdata.bin", 0x23, 3, 4096},
    {"Music", "audioHead.bin", 0x33, 3, 4096},
    {"Radar", "rdfw.bin", 0x43, 3, 1024},
};

std::string MakeHex(const std::vector<uint8_t>& data, uint32_t base, const std::string& version) {
    auto line = [](uint8_t type, uint16_t addr, const uint8_t* d, size_t n) {
        char buf[16];
        uint8_t sum = static_cast<uint8_t>(n + (addr >> 8) + (addr & 0xFF) + type);
        std::snprintf(buf, sizeof buf, ":%02X%04X%02X", static_cast<unsigned>(n), addr, type);
        std::string s = buf;
        for (size_t i = 0; i < n; ++i) {
            std::snprintf(buf, sizeof buf, "%02X", d[i]);
            s += buf;
            sum = static_cast<uint8_t>(sum + d[i]);
        }
        std::snprintf(buf, sizeof buf, "%02X\r\n", static_cast<uint8_t>(-sum));
        return s + buf;
    };
    const uint8_t upper[2] = {static_cast<uint8_t>(base >> 24), static_cast<uint8_t>(base >> 16)};
    std::string out = line(0x04, 0, upper, 2);
    for (size_t off = 0; off < data.size(); off += 16)
        out += line(0x00, static_cast<uint16_t>(base + off), data.data() + off,
                    std::min<size_t>(16, data.size() - off));
    return out + ":00000001FF\r\n" + version;
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

int ThreadCount() {
    // Some runtimes (the thread sanitizer's) start a helper thread at the first thread created.
    static const bool warm = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)warm;
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
    }
    return n;
}

size_t ResidentKiB() {
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return static_cast<size_t>(resident) * static_cast<size_t>(sysconf(_SC_PAGESIZE)) / 1024;
}

int SettleThreads(int n) {
    // Threads that were joined may still be listed for a moment.
    for (int i = 0; i < 500 && ThreadCount() > n; ++i) usleep(10000);
    return ThreadCount();
}

void CFaultWindow::MessageBox(const std::string& text, const std::string& caption) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_boxes.push_back(caption + ": " + text);
}

void CFaultWindow::OnPageEvent(PageEvent event, const std::string&) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_events.push_back(event);
}

bool CFaultWindow::Saw(PageEvent e) {
    std::lock_guard<std::mutex> lock(m_mtx);
    return std::find(m_events.begin(), m_events.end(), e) != m_events.end();
}

PageEvent CFaultWindow::Outcome() {
    std::lock_guard<std::mutex> lock(m_mtx);
    for (PageEvent e : m_events)
        if (e != PageEvent::ProbeAnswered && e != PageEvent::VersionWarning) return e;
    return PageEvent::ProbeAnswered;
}

std::vector<std::string> CFaultWindow::Boxes() {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_boxes;
}

void CFaultWindow::Forget() {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_events.clear();
    m_boxes.clear();
}

void CRig::WritePayloads(const std::vector<Phase>& phases, size_t rawBytes) {
    for (Phase ph : phases) {
        const PhaseInfo& info = kPhases[ph];
        size_t n = rawBytes != 0 ? rawBytes : 2 * info.chunk + 100;  // three frames
        if (ph == PH_FW) {
            data[ph] = Pattern(5 * 16, 1);
            dir.Write(info.file, MakeHex(data[ph], 0x08000000, "0103"));
        } else {
            data[ph] = Pattern(n, ph + 1);
            dir.Write(info.file, data[ph]);
        }
    }
}

bool CRig::StartDevice(const sim::Options& o) {
    dev = std::make_unique<sim::CDevice>(o);
    if (!dev->CreatePty(&port) || !dev->Start()) return false;
    serialports::SetPortTable({port});
    return true;
}

bool CRig::StartPage() {
    wnd.Forget();
    PageConfig cfg;
    cfg.payloadDir = dir.Path();
    cfg.logPath = dir.File("KalvoLog.txt");
    page = std::make_unique<CKalvoDlg>(&wnd, cfg);
    loop.Post([this] { page->OnInitDialog(); });
    return RunUntil([this] { return wnd.Saw(PageEvent::ProbeAnswered); }, 50000);
}

void CRig::StopPage() {
    if (page) page->OnDestroy();
    page.reset();
    loop.RunPending();
}

void CRig::StopAll() {
    StopPage();
    if (dev) dev->Stop();
    g_ISPCtrl.m_nRunState.store(2);
    g_ISPCtrl.m_nVerifyIndex.store(0);
    serialports::SetPortTable({});
}

PageEvent CRig::WaitOutcome(uint32_t ms) {
    RunUntil([this] { return wnd.Outcome() != PageEvent::ProbeAnswered; }, ms);
    return wnd.Outcome();
}

int CRig::ReceivedPrefix(Phase ph) {
    dev->WaitIdle(50, 2000);
    const std::vector<uint8_t>& want = data[ph];
    if (ph == PH_FW) {
        sim::Report rep = dev->GetReport();
        if (rep.firmware.empty()) return 0;
        std::vector<uint8_t> flash = dev->Flash();
        const sim::Segment& s = rep.firmware.front();
        bool ok = rep.firmware.size() == 1 && s.address == 0x08000000 && s.length <= want.size() &&
                  std::equal(want.begin(), want.begin() + s.length, flash.begin());
        return ok ? rep.fwFrames : -1;
    }
    std::vector<uint8_t> got = dev->RawPayload(kPhases[ph].dataCmd);
    if (got.size() > want.size() || !std::equal(got.begin(), got.end(), want.begin())) return -1;
    return static_cast<int>((got.size() + kPhases[ph].chunk - 1) / kPhases[ph].chunk);
}

std::string ForTerminal(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) out += text[i];
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

int RunConsole(CRig& rig, std::string& out) {
    UpdaterOptions opts;
    opts.ports = {rig.port};
    opts.payloadDir = rig.dir.Path();
    opts.headless = true;
    opts.waitSeconds = 5;
    CSession session(opts);
    std::string error;
    int code = -1;
    testing::internal::CaptureStdout();
    if (session.Prepare(error, code)) code = RunConsoleFace(session);
    out = testing::internal::GetCapturedStdout() + error;
    return code;
}
