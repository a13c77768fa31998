// The updater page: its set-up (ports, payload discovery), its life cycle and the time-out of
// its two window timers, and the helpers its other files share.
#include "app/KalvoDlg.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "app/PageTexts.h"
#include "app/PayloadTable.h"
#include "core/Log.h"
#include "isp/IspCtrl.h"
#include "platform/Paths.h"
#include "platform/Time.h"
#include "serial/PortTable.h"

CKalvoDlg::CKalvoDlg(IWindowSystem* wnd, PageConfig config)
    : m_pWnd(wnd), m_config(std::move(config)) {
    m_dwStopTimeout = 2000;
    if (m_config.payloadDir.empty()) {
        m_config.payloadDir = plat::ExecutableDir() + "/";
    } else if (m_config.payloadDir.back() != '/') {
        m_config.payloadDir += '/';
    }
}

CKalvoDlg::~CKalvoDlg() {
    ClearLogProblemHandler(this);
    OnDestroy();
    m_chores.Drain();
    m_bStop.store(1);
    m_hJobEvent.Set();
    // The worker uses the page throughout, and OnDestroy has ended all it may wait on (a
    // download, a probe, an open): it is waited for, never given up.
    m_dwStopTimeout = plat::INFINITE_WAIT;
    StopThread();
}

std::string CKalvoDlg::PayloadDir() const {
    return m_config.payloadDir;
}

PayloadHolder CKalvoDlg::Holder(int which) const {
    std::lock_guard<std::mutex> lock(m_holderMtx);
    return which >= 0 && which < PAYLOAD_COUNT ? m_holders[which] : m_holders[PAYLOAD_RADAR];
}

std::shared_ptr<CHEXFile> CKalvoDlg::HexFile() const {
    return Holder(PAYLOAD_FW).image;
}

std::atomic<uint8_t>& CKalvoDlg::Pending(int which) {
    std::atomic<uint8_t>* pending[PAYLOAD_COUNT] = {&m_bFwPending, &m_bEdogPending,
                                                    &m_bMusicPending, &m_bRadarPending};
    return *pending[which];
}

CCmdTaskManager& CKalvoDlg::TaskManager() {
    return *CCmdTaskManager::GetInstance();
}

std::string CKalvoDlg::Format(const char* fmt, ...) {
    char buf[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    return buf;
}

void CKalvoDlg::Notify(PageEvent event, const std::string& detail) {
    if (m_pWnd != nullptr) m_pWnd->OnPageEvent(event, detail);
}

void CKalvoDlg::NotifyOutcome(int which, PayloadOutcome outcome) {
    if (m_pWnd != nullptr) m_pWnd->OnPayloadOutcome(which, outcome);
}

void CKalvoDlg::EnableButton(bool enable) {
    m_bButtonEnabled.store(enable);
    if (m_pWnd != nullptr) m_pWnd->EnableUpdateButton(enable);
}

void CKalvoDlg::SetProgress(int pos) {
    if (m_pWnd != nullptr) m_pWnd->SetProgressPos(pos);
}

bool CKalvoDlg::Pause(uint32_t ms) {
    return !m_bDestroyed.load() && g_ISPCtrl.PauseReader(ms) && !m_bDestroyed.load();
}

void CKalvoDlg::ClosePort() {
    // The reader may be held by the version box: the close waits for that thread.
    {
        std::lock_guard<std::mutex> lock(m_boxMtx);
        if (m_pBox) m_pBox->Close();
    }
    g_ISPCtrl.ClosePort();
}

namespace {
// The view gets the whole text after each change, in the order of the changes.
std::mutex g_showMtx;
}  // namespace

void CKalvoDlg::ShowStatus(const std::string& text, uint8_t mode) {
    std::lock_guard<std::mutex> lock(g_showMtx);
    m_status.Show(text, mode);
    if (m_pWnd != nullptr) m_pWnd->ShowStatusText(m_status.GetText());
}

void CKalvoDlg::ShowProgress(int payload, int percent, const std::string& text, uint8_t mode) {
    std::lock_guard<std::mutex> lock(g_showMtx);
    m_status.Show(text, mode);
    if (m_pWnd == nullptr) return;
    m_pWnd->OnPayloadProgress(payload, percent);
    m_pWnd->ShowStatusText(m_status.GetText());
}

// ---------------------------------------------------------------------------------------------
// Set-up

int CKalvoDlg::OnInitDialog() {
    m_dwTargetBaud.store(m_config.targetBaud);
    if (m_config.scanPorts) ScanComPorts();
    m_byBaudStep.store(0);
    m_bBaudSwitched.store(0);
    m_bBurnArmed.store(0);
    m_byState.store(STATE_IDLE);
    m_bTimer2Set.store(0);
    OpenLog();
    EnableButton(false);
    if (m_pWnd != nullptr) {
        m_pWnd->EnableProgress(true);
        m_pWnd->SetProgressRange(0, 100);
        m_pWnd->SetProgressPos(0);
        m_pWnd->SetTimerHandler([this](uint32_t id) { OnTimer(id); });
    }
    g_ISPCtrl.m_nProbeMode.store(0);
    m_byState.store(STATE_IDLE);
    m_byJob.store(JOB_NONE);
    TaskManager().Start();
    if (m_bStop.load() != 0) StartThread();
    m_hJobEvent.Set();
    g_ISPCtrl.SetResultCallback(&CKalvoDlg::OnCmdResult, &CKalvoDlg::OnCmdNotify);
    // The files first: the device may answer at once, and its answer offers the button only
    // when they are right.
    FindPayloadFiles();
    StartPortSearch();
    return 1;
}

void CKalvoDlg::ScanComPorts() {
    // Opening every port here would hold the window back for seconds on a PC with Bluetooth
    // ports, and then the search would open them all again: its first pass, on its own thread,
    // lists the ports that open instead.
    g_byComPortCount.store(0);
    m_bListPorts.store(true);
}

// ---------------------------------------------------------------------------------------------
// Time-outs, a failed link and the end of the window

void CKalvoDlg::StartPortSearch() {
    if (m_bDestroyed.load()) return;
    ShowSearching("");
    m_search.Start(
        this,
        [this](const std::string& reason) {
            WriteLog("#####[CKalvoDlg] %s\r\n", reason.c_str());
            Notify(PageEvent::PortUnusable, reason);
        },
        [this](const std::string& summary) {
            // A user without a terminal learns from the button and the line what to fix.
            if (m_pWnd != nullptr && !m_bDestroyed.load() && !g_ISPCtrl.m_bProbeAnswered.load()) {
                m_pWnd->SetUpdateButtonTip(TEXT_SEARCH_TIP + summary);
                ShowSearching(summary);
            }
        },
        m_bListPorts.exchange(false));
}

void CKalvoDlg::CBoxWait::Close() {
    {
        std::lock_guard<std::mutex> lock(mtx);
        open = false;
    }
    cv.notify_all();
}

bool CKalvoDlg::IsBoxOpen() const {
    std::lock_guard<std::mutex> lock(m_boxMtx);
    return m_pBox != nullptr;
}

void CKalvoDlg::HoldForBox() {
    const uint32_t generation = g_ISPCtrl.m_nPortGeneration.load();
    auto box = std::make_shared<CBoxWait>();
    {
        std::lock_guard<std::mutex> lock(m_boxMtx);
        m_pBox = box;
    }
    // The user reads the box as long as he likes; no timer may end the run meanwhile.
    if (m_pWnd != nullptr) m_pWnd->KillTimer(TIMER_REPLY);
    if (m_pWnd != nullptr && !m_bDestroyed.load()) {
        m_pWnd->MessageBoxModal(TEXT_OLD_PROGRAM_BOX, TEXT_OLD_PROGRAM_CAPTION,
                                [box] { box->Close(); });
    } else {
        box->Close();
    }
    {
        std::unique_lock<std::mutex> lock(box->mtx);
        box->cv.wait(lock, [&] { return !box->open; });
    }
    {
        std::lock_guard<std::mutex> lock(m_boxMtx);
        m_pBox.reset();
    }
    // What the device said meanwhile waits in the port; silence from here on is a time-out. A port
    // closed meanwhile has ended the run already.
    if (m_pWnd != nullptr && !m_bDestroyed.load() &&
        g_ISPCtrl.m_nPortGeneration.load() == generation)
        m_pWnd->SetTimer(TIMER_REPLY, REPLY_WAIT_MS);
}

void CKalvoDlg::OnTimer(uint32_t /*id*/) {
    if (m_bDestroyed.load() || IsBoxOpen()) return;
    bool awaiting = m_bAwaitReady.exchange(false);
    if (m_byState.load() != STATE_IDLE || awaiting) {
        WriteLog("\r\n[CKolviDlg] timeout");
        m_byState.store(STATE_IDLE);
        ShowStatus(TEXT_TIMEOUT, 128);
        Notify(PageEvent::Timeout);
        // Each step may wait on a thread or the port: the UI thread only shows the end. The
        // port is closed first, so that a write in progress ends at once.
        m_chores.Post([this] {
            ClosePort();
            TaskManager().Stop();
            g_ISPCtrl.m_nRunState.store(RUN_RUNNING);
        });
    } else if (m_pWnd != nullptr) {
        m_pWnd->KillTimer(m_bTimer2Set.load() == 1 ? TIMER_STOP : TIMER_REPLY);
    }
}

void CKalvoDlg::OnLinkFailure(const std::string& reason, bool hangUp) {
    WriteLog("#####[CKalvoDlg] %s: %s\r\n", hangUp ? "line lost" : "port write failed",
             reason.c_str());
    if (m_bDestroyed.load()) return;
    // A port the search is probing, or closing: the search goes on with the next one.
    if (m_search.IsSearching() && !g_ISPCtrl.m_bProbeAnswered.load()) return;
    bool running = m_byState.load() != STATE_IDLE || m_bAwaitReady.load() ||
                   m_bPayloadClosing.load() ||
                   (m_wPayloadDone.load() != 0 && m_wPayloadDone.load() < m_wPayloadTotal.load());
    if (!running) {
        // Idle: the device went away before the press. Release its port and look for it again.
        TaskManager().ClearTask();
        EnableButton(false);
        m_chores.Post([this] {
            // The search may still be closing a port of its own: one closer at a time.
            m_search.Stop();
            ClosePort();
            StartPortSearch();
        });
        return;
    }
    g_ISPCtrl.CancelDownloads();
    if (m_pWnd != nullptr) m_pWnd->KillTimer(TIMER_REPLY);
    m_bAwaitReady.store(false);
    m_byEndAwaited.store(0);
    m_bPayloadClosing.store(false);
    m_byState.store(STATE_IDLE);
    // The next press, once the device is found again, writes every payload anew.
    FindPayloadFiles();
    ShowStatus(hangUp ? TEXT_LINE_LOST : TEXT_WRITE_FAILED, 128);
    Notify(PageEvent::LinkLost, reason);
    EnableButton(false);
    // Waits on the sender and the reader: not on the UI thread. Then the search again.
    m_chores.Post([this] {
        ClosePort();
        TaskManager().Stop();
        g_ISPCtrl.m_nRunState.store(RUN_RUNNING);
        TaskManager().Start();
        StartPortSearch();
    });
}

void CKalvoDlg::OnDestroy() {
    if (m_bDestroyed.exchange(true)) return;
    // Everything a thread of the run may wait on is ended first, so that each stop below is
    // quick: a pause, a worker queueing frames, an open in progress, the version box.
    g_ISPCtrl.WakePauses();
    g_ISPCtrl.CancelDownloads();
    g_ISPCtrl.m_serial.CancelOpen();
    RequestStop();
    m_hJobEvent.Set();
    {
        std::lock_guard<std::mutex> lock(m_boxMtx);
        if (m_pBox) m_pBox->Close();
    }
    // What was handed on before is over first (quick now that nothing it may wait on waits):
    // the search and the port have one controller at a time.
    m_chores.Drain();
    m_search.Stop();
    // The port first: closing it ends a write in progress, which the sender's stop waits for.
    if (g_ISPCtrl.IsPortOpen()) ClosePort();
    TaskManager().Stop();
    // No result may reach this page any more.
    if (g_ISPCtrl.m_pResultCtx.load() == this) g_ISPCtrl.m_pResultCtx.store(nullptr);
    if (m_pWnd != nullptr) {
        m_pWnd->KillTimer(TIMER_REPLY);
        m_pWnd->KillTimer(TIMER_STOP);
    }
}
