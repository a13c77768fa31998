// Port probing: each listed port in turn is opened and sent the probe, and its answer is awaited
// for a short while; the first port that answers stays open. The search thread repeats this over
// the port table until a device answers; the check-port job closes the port afterwards.
#include "core/Log.h"
#include "isp/Frame.h"
#include "isp/IspCtrl.h"
#include "isp/PortSearch.h"
#include "platform/Time.h"
#include "serial/PortTable.h"

int CISPCtrl::ProbePort(uint8_t index, uint8_t p, void* context, bool checkJob,
                        const std::function<bool()>& stop) {
    WriteLog("\ri  is:%d  com=%d\r\n", index, p);
    int ok = Open(p, context);
    // After the open: a late answer of the port it closed no longer counts.
    m_bProbeAnswered.store(false);
    if (checkJob) WriteLog("\r  bRet[%d] is  %d\r\n", index, ok);
    if (!IsPortOpen()) {
        WriteLog("\r  COM[%d] is  error\r\n", p);
        return -1;
    }
    WriteLog("\r  COM[%d] is  ok\r\n", p);
    TaskManager().ClearTask();
    // The payload is the number of the port it goes out on.
    uint8_t f[5];
    isp::PutFrameHead(f, CMD_PROBE, 1);
    f[4] = p;
    CISPPacket rec;
    rec.m_frame.Append(f, 5);
    TaskManager().AddTask(rec);
    uint32_t start = plat::GetTickCount();
    while (!m_bProbeAnswered.load() && IsPortOpen() && !(stop && stop()) &&
           plat::GetTickCount() - start < PROBE_ANSWER_MS)
        plat::Sleep(10);
    return m_bProbeAnswered.load() ? 1 : 0;
}

void CISPCtrl::ProbeLoop(bool checkJob, void* context) {
    uint8_t count = g_byComPortCount.load();
    if (count > MAX_COM_PORTS) count = MAX_COM_PORTS;
    for (uint8_t i = 0; i < count; ++i) {
        int answered = ProbePort(i, g_pComPortList[i], context, checkJob, nullptr);
        if (answered == 1) return;
        // A port that did not answer is not the device's: leave it to other programs.
        if (answered == 0) ClosePort();
    }
}

void CISPCtrl::ProbeAllPorts(void* context) {
    ProbeLoop(false, context);
}

int CISPCtrl::ProbePorts() {
    ProbeLoop(true, m_pResultCtx.load());
    WriteLog("\r  CLOSE  COM\r\n");
    ClosePort();
    return 1;
}

// ---------------------------------------------------------------------------------------------
// The search thread

CPortSearch::CPortSearch() {
    m_dwStopTimeout = 2000;
}

CPortSearch::~CPortSearch() {
    Stop();
}

void CPortSearch::Start(void* context, PortFailed onFailed, PassDone onPass) {
    Stop();
    m_pContext = context;
    m_onFailed = std::move(onFailed);
    m_onPass = std::move(onPass);
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_silent.clear();
        m_nPass = 0;
    }
    m_evWake.Reset();
    m_bSearching.store(true);
    StartThread();
}

void CPortSearch::Stop() {
    m_bStop.store(1);
    m_evWake.Set();
    StopThread();
    m_bSearching.store(false);
}

std::string CPortSearch::Summary(const std::vector<std::string>& table) const {
    if (table.empty()) return "none (no serial port found)";
    std::lock_guard<std::mutex> lock(m_mtx);
    std::string text;
    for (size_t i = 0; i < table.size() && i < 50; ++i) {
        std::string line;
        if (auto f = m_failed.find(table[i]); f != m_failed.end())
            line = f->second;  // names the path itself
        else if (m_silent.count(table[i]))
            line = table[i] + ": did not answer";
        else
            continue;
        text += (text.empty() ? "" : "\n") + serialports::LabelLine(table[i], line);
    }
    return text;
}

std::string CPortSearch::FailedPorts() const {
    std::lock_guard<std::mutex> lock(m_mtx);
    std::string text;
    for (const auto& [path, reason] : m_failed) text += (text.empty() ? "" : "\n") + reason;
    return text;
}

uint32_t CPortSearch::Run() {
    bool found = false;
    while (m_bStop.load() == 0 && !found) {
        found = Pass();
        if (!found && m_bStop.load() == 0 && m_onPass) {
            // What the system knows of adapters that did not become a port (no driver, brltty).
            std::string advice = serialports::NoDeviceAdvice();
            std::string summary = Summary(serialports::GetPortTable());
            m_onPass(advice.empty() ? summary : summary + "\n" + advice);
        }
        // The last silent port stays open until the next pass: its answer may just be late.
        uint32_t start = plat::GetTickCount();
        while (!found && m_bStop.load() == 0 && plat::GetTickCount() - start < SEARCH_PERIOD_MS) {
            found = g_ISPCtrl.m_bProbeAnswered.load() && g_ISPCtrl.IsPortOpen();
            if (!found) m_evWake.Wait(10);
        }
        if (!found) g_ISPCtrl.ClosePort();
    }
    m_bSearching.store(false);
    return 0;
}

bool CPortSearch::Pass() {
    serialports::RefreshPortTable();
    std::vector<std::string> table = serialports::GetPortTable();
    auto stopped = [this] { return m_bStop.load() != 0; };
    {
        // A port that went away is new when it comes back.
        std::lock_guard<std::mutex> lock(m_mtx);
        std::set<std::string> present(table.begin(), table.end());
        std::erase_if(m_silent, [&](const std::string& p) { return !present.count(p); });
        if (++m_nPass % SILENT_RETRY_PASSES == 0) m_silent.clear();
    }
    for (size_t i = 0; i < table.size() && i < 50 && !stopped(); ++i) {
        const std::string& path = table[i];
        {
            std::lock_guard<std::mutex> lock(m_mtx);
            if (m_silent.count(path)) continue;
        }
        // The previous port answered late: it is the device's.
        if (g_ISPCtrl.m_bProbeAnswered.load() && g_ISPCtrl.IsPortOpen()) return true;
        uint8_t n = serialports::PortNumberOf(path);
        if (n == 0) continue;
        // Opening the next port closes a silent one.
        int answered = g_ISPCtrl.ProbePort(static_cast<uint8_t>(i), n, m_pContext, false, stopped);
        if (answered == 1) return true;
        if (answered == 0) {
            std::lock_guard<std::mutex> lock(m_mtx);
            m_silent.insert(path);
            m_failed.erase(path);
            continue;
        }
        std::string reason = g_ISPCtrl.m_serial.GetLastErrorText();
        bool fresh = false;
        {
            std::lock_guard<std::mutex> lock(m_mtx);
            std::string& last = m_failed[path];
            fresh = last != reason;
            last = reason;
        }
        if (fresh && m_onFailed) m_onFailed(reason);
    }
    return false;
}
