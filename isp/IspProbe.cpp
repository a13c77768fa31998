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
    // On a worker asked to stop (the window going) the loop ends at once.
    auto stopped = [] { return CAutoThread::StopRequested(); };
    for (uint8_t i = 0; i < count && !stopped(); ++i) {
        int answered = ProbePort(i, g_pComPortList[i], context, checkJob, stopped);
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

CPortSearch::CPortSearch() : m_pState(std::make_shared<CState>()) {
    m_dwStopTimeout = 2000;
}

CPortSearch::~CPortSearch() {
    Stop();
}

void CPortSearch::Start(void* context, PortFailed onFailed, PassDone onPass, bool listPorts) {
    Stop();
    auto run = std::make_shared<CRun>();
    run->context = context;
    run->onFailed = std::move(onFailed);
    run->onPass = std::move(onPass);
    run->listPorts = listPorts;
    {
        std::lock_guard<std::mutex> lock(m_pState->mtx);
        m_pState->silent.clear();
        m_pState->nPass = 0;
    }
    m_pState->evWake.Reset();
    m_pState->bSearching.store(true);
    m_pRun = run;
    StartThread(
        std::make_shared<std::pair<std::shared_ptr<CState>, std::shared_ptr<CRun>>>(m_pState, run));
}

void CPortSearch::Stop() {
    m_bStop.store(1);
    m_pState->evWake.Set();
    if (m_pRun) {
        std::lock_guard<std::mutex> lock(m_pRun->mtx);
        m_pRun->live = false;
    }
    StopThread();
    m_pRun.reset();
    m_pState->bSearching.store(false);
}

std::string CPortSearch::Summary(const CState& st, const std::vector<std::string>& table) {
    if (table.empty()) return "none (no serial port found)";
    std::lock_guard<std::mutex> lock(st.mtx);
    std::string text;
    for (size_t i = 0; i < table.size() && i < 50; ++i) {
        std::string line;
        if (auto f = st.failed.find(table[i]); f != st.failed.end())
            line = f->second;  // names the path itself
        else if (st.silent.count(table[i]))
            line = table[i] + ": did not answer";
        else
            continue;
        text += (text.empty() ? "" : "\n") + serialports::LabelLine(table[i], line);
    }
    return text;
}

std::string CPortSearch::FailedPorts() const {
    std::lock_guard<std::mutex> lock(m_pState->mtx);
    std::string text;
    for (const auto& [path, reason] : m_pState->failed) text += (text.empty() ? "" : "\n") + reason;
    return text;
}

uint32_t CPortSearch::Run() {
    auto arg = std::static_pointer_cast<std::pair<std::shared_ptr<CState>, std::shared_ptr<CRun>>>(
        ThreadArg());
    if (!arg) return 0;
    const std::shared_ptr<CState> state = arg->first;
    const std::shared_ptr<CRun> run = arg->second;
    CState& st = *state;
    bool found = false;
    while (!StopRequested() && !found) {
        found = Pass(st, *run);
        if (!found && !StopRequested()) {
            // What the system knows of adapters that did not become a port (no driver, brltty).
            std::string advice = serialports::NoDeviceAdvice();
            std::string summary = Summary(st, serialports::GetPortTable());
            std::lock_guard<std::mutex> lock(run->mtx);
            if (run->live && run->onPass)
                run->onPass(advice.empty() ? summary : summary + "\n" + advice);
        }
        // The last silent port stays open until the next pass: its answer may just be late.
        uint32_t start = plat::GetTickCount();
        while (!found && !StopRequested() && plat::GetTickCount() - start < SEARCH_PERIOD_MS) {
            found = g_ISPCtrl.m_bProbeAnswered.load() && g_ISPCtrl.IsPortOpen();
            if (!found) st.evWake.Wait(10);
        }
        if (!found) g_ISPCtrl.ClosePort();
    }
    st.bSearching.store(false);
    return 0;
}

namespace {
// Records COM n in the start-up list of ports that open (the first pass only).
void ListPort(uint8_t n) {
    uint8_t count = g_byComPortCount.load();
    for (uint8_t i = 0; i < count; ++i)
        if (g_pComPortList[i] == n) return;
    // The list has room for ten; further ports are not listed. The entry is written before the
    // count that makes it visible.
    if (count >= MAX_COM_PORTS) return;
    g_pComPortList[count] = n;
    g_byComPortCount.store(static_cast<uint8_t>(count + 1));
}
}  // namespace

bool CPortSearch::Pass(CState& st, CRun& run) {
    serialports::RefreshPortTable();
    std::vector<std::string> table = serialports::GetPortTable();
    auto stopped = [] { return StopRequested(); };
    bool first = false;
    {
        // A port that went away is new when it comes back.
        std::lock_guard<std::mutex> lock(st.mtx);
        std::set<std::string> present(table.begin(), table.end());
        std::erase_if(st.silent, [&](const std::string& p) { return !present.count(p); });
        first = st.nPass == 0;
        if (++st.nPass % SILENT_RETRY_PASSES == 0) st.silent.clear();
    }
    if (first && run.listPorts) g_byComPortCount.store(0);
    for (size_t i = 0; i < table.size() && i < 50 && !stopped(); ++i) {
        const std::string& path = table[i];
        {
            std::lock_guard<std::mutex> lock(st.mtx);
            if (st.silent.count(path)) continue;
        }
        // The previous port answered late: it is the device's.
        if (g_ISPCtrl.m_bProbeAnswered.load() && g_ISPCtrl.IsPortOpen()) return true;
        uint8_t n = serialports::PortNumberOf(path);
        if (n == 0) continue;
        // Opening the next port closes a silent one. A slow open does not hold up the others.
        g_ISPCtrl.m_serial.m_dwOpenBound.store(OPEN_BOUND_MS);
        int answered = g_ISPCtrl.ProbePort(static_cast<uint8_t>(i), n, run.context, false, stopped);
        g_ISPCtrl.m_serial.m_dwOpenBound.store(plat::INFINITE_WAIT);
        if (answered >= 0 && first && run.listPorts) ListPort(n);
        if (answered == 1) return true;
        if (answered == 0) {
            std::lock_guard<std::mutex> lock(st.mtx);
            st.silent.insert(path);
            st.failed.erase(path);
            continue;
        }
        std::string reason = g_ISPCtrl.m_serial.GetLastErrorText();
        bool fresh = false;
        {
            std::lock_guard<std::mutex> lock(st.mtx);
            std::string& last = st.failed[path];
            fresh = last != reason;
            last = reason;
        }
        if (fresh) {
            std::lock_guard<std::mutex> lock(run.mtx);
            if (run.live && run.onFailed) run.onFailed(reason);
        }
    }
    return false;
}
