// The station's watch: a pass over the ports every scan period (probing only the ports no child
// holds), a child per device that answered, and each child's texts and report read from the
// files its output goes to.
#include "ui/station/Station.h"

#include <algorithm>
#include <ctime>

#include "app/PayloadTable.h"
#include "platform/File.h"
#include "platform/Paths.h"
#include "platform/Spawn.h"
#include "platform/Time.h"
#include "serial/PortTable.h"
#include "ui/station/ChildOutput.h"
#include "ui/station/StationPorts.h"
#include "ui/station/StationRecord.h"

struct CStation::Run {
    StationRow row;
    plat::CChildProcess proc;
    std::string outPath;
    uint64_t errRead = 0;
    std::string partial;  // a line not yet ended
    station::ChildStatus status;
    std::string startTime;
};

namespace {

// A silent port is probed again every this many passes: a device may get its power later.
constexpr int SILENT_RETRY_PASSES = 5;
constexpr uint32_t POLL_MS = 100;
// --once looks twice, a scan period apart: a device whose answer came late on a busy machine, or
// that got its power a moment after the start, is still taken up.
constexpr int ONCE_PASSES = 2;

std::string FileName(const std::string& path) {
    size_t slash = path.find_last_of("/\\");
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    for (char& c : base)
        if (c == ':' || c == '*' || c == '?' || c == '<' || c == '>' || c == '|') c = '_';
    return base;
}

std::string UtcStamp(const char* format) {
    std::time_t now = std::time(nullptr);
    char text[40] = "";
    if (std::tm* tm = std::gmtime(&now)) std::strftime(text, sizeof text, format, tm);
    return text;
}

}  // namespace

CStation::CStation(StationConfig cfg) : m_cfg(std::move(cfg)) {}

CStation::~CStation() {
    Stop(0);
}

bool CStation::Start(std::string& error) {
    if (m_cfg.childCommand.empty() || m_cfg.childCommand[0].empty()) {
        error = "cannot find the updater program to start for each device";
        return false;
    }
    if (!plat::MakeDirectories(m_cfg.logDir)) {
        error = "cannot create the directory for the runs' logs: " + m_cfg.logDir;
        return false;
    }
    if (!station::CheckRecordFile(m_cfg.recordPath, error)) return false;
    if (m_cfg.jsonRecord && !station::CheckRecordFile(m_cfg.recordPath + ".jsonl", error))
        return false;
    serialports::SetPortTable(m_cfg.ports);
    m_thread = std::thread([this] { Loop(); });
    return true;
}

void CStation::Stop(int signal) {
    if (m_thread.joinable()) {
        if (!m_bStop.exchange(true)) m_nSignal = signal;
        m_evWake.Set();
        m_thread.join();
    }
}

bool CStation::Finished() const {
    return m_bFinished.load();
}

std::vector<StationRow> CStation::Rows() const {
    std::lock_guard<std::mutex> lock(m_mtx);
    std::vector<StationRow> rows;
    for (const auto& run : m_runs) rows.push_back(run->row);
    return rows;
}

int CStation::ExitCode() const {
    std::lock_guard<std::mutex> lock(m_mtx);
    if (m_nSignal != 0) return 128 + m_nSignal;
    if (m_runs.empty()) return m_cfg.once ? 3 : 0;
    for (const auto& run : m_runs)
        if (run->row.exitCode != 0) return run->row.exitCode < 0 ? 1 : run->row.exitCode;
    return 0;
}

bool CStation::Held(const std::string& port) const {
    for (const auto& run : m_runs)
        if (run->row.running && run->row.port == port) return true;
    return false;
}

void CStation::Loop() {
    while (!m_bStop.load()) {
        PollChildren();
        if (!m_cfg.once || m_nPasses < ONCE_PASSES) {
            uint32_t now = plat::GetTickCount();
            if (m_nPasses == 0 || now - m_dwLastScan >= m_cfg.scanPeriodMs) {
                Scan();
                ++m_nPasses;
                m_dwLastScan = plat::GetTickCount();
            }
        } else {
            bool anyRunning = false;
            {
                std::lock_guard<std::mutex> lock(m_mtx);
                for (const auto& run : m_runs) anyRunning = anyRunning || run->row.running;
            }
            if (!anyRunning) {
                m_bFinished.store(true);
                return;
            }
        }
        m_evWake.Wait(POLL_MS);
    }
    // Ended from outside: every child is asked to end, and killed when it does not in time.
    std::vector<Run*> running;
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        for (auto& run : m_runs) {
            if (!run->row.running) continue;
            run->row.interrupted = true;
            run->proc.RequestStop();
            running.push_back(run.get());
        }
    }
    uint32_t start = plat::GetTickCount();
    bool killed = false;
    while (!running.empty()) {
        for (auto it = running.begin(); it != running.end();) {
            int code = 0;
            if ((*it)->proc.Poll(code)) {
                Finish(**it, code);
                it = running.erase(it);
            } else {
                ++it;
            }
        }
        if (!killed && plat::GetTickCount() - start >= m_cfg.stopWaitMs) {
            for (Run* run : running) run->proc.Kill();
            killed = true;
        }
        if (!running.empty()) plat::Sleep(20);
    }
    m_bFinished.store(true);
}

void CStation::Scan() {
    serialports::RefreshPortTable();
    std::vector<std::string> table = serialports::GetPortTable();
    // A port gone from the table is vacated: the next device there is a new one.
    for (auto it = m_ports.begin(); it != m_ports.end();)
        it = std::find(table.begin(), table.end(), it->first) == table.end() ? m_ports.erase(it)
                                                                             : std::next(it);
    for (size_t i = 0; i < table.size() && i < 50 && !m_bStop.load(); ++i) {
        const std::string& path = table[i];
        bool held = false;
        {
            std::lock_guard<std::mutex> lock(m_mtx);
            held = Held(path);
        }
        if (held || station::IsBluetoothPort(path)) continue;
        PortState& st = m_ports[path];
        if (!st.served && !m_cfg.once && st.silentPasses > 0 &&
            st.silentPasses++ % SILENT_RETRY_PASSES != 0)
            continue;
        station::ProbeResult r =
            station::ProbeDevice(path, static_cast<uint8_t>(i + 1), m_cfg.probeWaitMs);
        if (st.served) {
            // Served: the device updated there must go before another one is taken up.
            if (r != station::ProbeResult::Answered) st = PortState{};
        } else if (r == station::ProbeResult::Answered) {
            st.silentPasses = 0;
            StartChild(path);
        } else {
            st.silentPasses = r == station::ProbeResult::Silent ? 1 : 0;
        }
        PollChildren();
    }
}

void CStation::StartChild(const std::string& port) {
    auto run = std::make_unique<Run>();
    StationRow& row = run->row;
    row.id = m_nNextId++;
    row.port = port;
    row.serial = station::AdapterSerial(port);
    row.startTick = plat::GetTickCount();
    run->startTime = UtcStamp("%Y-%m-%dT%H:%M:%SZ");
    std::string base = m_cfg.logDir + "/" + UtcStamp("%Y%m%d-%H%M%S") + "-" + FileName(port) + "-" +
                       std::to_string(row.id);
    row.logPath = base + ".log";
    run->outPath = base + ".json";
    std::vector<std::string> argv = m_cfg.childCommand;
    for (const char* a : {"--port", port.c_str(), "--headless", "--json", "--payload-dir",
                          m_cfg.payloadDir.c_str()})
        argv.emplace_back(a);
    argv.insert(argv.end(), m_cfg.childExtra.begin(), m_cfg.childExtra.end());
    std::string error;
    bool started = run->proc.Start(argv, run->outPath, row.logPath, error);
    Run& ref = *run;
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_runs.push_back(std::move(run));
    }
    m_ports[port].served = true;
    if (!started) {
        std::lock_guard<std::mutex> lock(m_mtx);
        ref.row.outcome = error;
    }
    if (!started) Finish(ref, 127);
}

void CStation::PollChildren() {
    std::vector<Run*> running;
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        for (auto& run : m_runs)
            if (run->row.running) running.push_back(run.get());
    }
    for (Run* run : running) {
        int code = 0;
        bool ended = run->proc.Poll(code);
        // What it wrote up to its end is in the file now.
        std::string fresh = station::ReadFrom(run->row.logPath, run->errRead);
        run->partial += fresh;
        size_t nl;
        std::unique_lock<std::mutex> lock(m_mtx);
        while ((nl = run->partial.find('\n')) != std::string::npos) {
            run->status.TakeLine(run->partial.substr(0, nl));
            run->partial.erase(0, nl + 1);
        }
        // A child that writes without end cannot make the station grow.
        if (run->partial.size() > 64 * 1024) run->partial.clear();
        run->row.payload = run->status.payload;
        run->row.percent = run->status.percent;
        run->row.outcome = run->status.outcome;
        if (ended) {
            lock.unlock();
            Finish(*run, code);
        }
    }
}

void CStation::Finish(Run& run, int code) {
    uint64_t at = 0;
    station::ChildReport report = station::ParseChildReport(station::ReadFrom(run.outPath, at));
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        StationRow& row = run.row;
        row.running = false;
        row.endTick = plat::GetTickCount();
        row.exitCode = code;
        if (row.interrupted)
            row.outcome = "interrupted";
        else if (row.outcome.empty())
            // It ended before the page said anything (no device, no payload): its own reason.
            row.outcome = !report.reason.empty() ? report.reason
                                                 : "ended with exit code " + std::to_string(code);
    }
    m_ports[run.row.port].served = true;
    station::RecordLine line;
    line.time = run.startTime;
    line.port = run.row.port;
    line.serial = run.row.serial;
    line.version = report.version;
    line.payloads = report.payloads;
    line.bytes = report.bytes;
    line.seconds = (run.row.endTick - run.row.startTick) / 1000.0;
    line.outcome = run.row.outcome;
    line.exitCode = code;
    line.log = run.row.logPath;
    station::AppendRecord(m_cfg.recordPath, line, false);
    if (m_cfg.jsonRecord) station::AppendRecord(m_cfg.recordPath + ".jsonl", line, true);
    if (onRecord) onRecord(station::JsonRecord(line));
}
