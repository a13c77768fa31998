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
    m_bStop.store(1);
    m_hJobEvent.Set();
    StopThread();
}

std::string CKalvoDlg::PayloadDir() const {
    return m_config.payloadDir;
}

std::shared_ptr<CHEXFile> CKalvoDlg::Holder(int which) const {
    std::lock_guard<std::mutex> lock(m_holderMtx);
    switch (which) {
        case PAYLOAD_FW:
            return m_pHexFile;
        case PAYLOAD_EDOG:
            return m_pEdogFile;
        case PAYLOAD_MUSIC:
            return m_pMusicFile;
        default:
            return m_pRadarFile;
    }
}

std::shared_ptr<CHEXFile> CKalvoDlg::HexFile() const {
    return Holder(PAYLOAD_FW);
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

void CKalvoDlg::ShowStatus(const std::string& text, uint8_t mode) {
    // The view gets the whole text after each change, in the order of the changes.
    static std::mutex showMtx;
    std::lock_guard<std::mutex> lock(showMtx);
    m_status.Show(text, mode);
    if (m_pWnd != nullptr) m_pWnd->ShowStatusText(m_status.GetText());
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
    uint8_t count = 0;
    for (int n = 1; n <= 50; ++n) {
        if (serialports::PortPath(static_cast<uint8_t>(n)).empty()) continue;
        auto port = std::make_unique<CSerial>();
        if (!port->Open(static_cast<uint8_t>(n))) continue;
        // The list has room for ten; further ports are not used.
        if (count < MAX_COM_PORTS) g_pComPortList[count++] = static_cast<uint8_t>(n);
        port->Close();
    }
    g_byComPortCount.store(count);
}

// ---------------------------------------------------------------------------------------------
// Time-outs, a failed link and the end of the window

void CKalvoDlg::StartPortSearch() {
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
        });
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
    if (IsBoxOpen()) return;
    bool awaiting = m_bAwaitReady.exchange(false);
    if (m_byState.load() != STATE_IDLE || awaiting) {
        TaskManager().Stop();
        WriteLog("\r\n[CKolviDlg] timeout");
        ClosePort();
        m_byState.store(STATE_IDLE);
        ShowStatus(TEXT_TIMEOUT, 128);
        g_ISPCtrl.m_nRunState.store(RUN_RUNNING);
        Notify(PageEvent::Timeout);
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
        ClosePort();
        EnableButton(false);
        StartPortSearch();
        return;
    }
    TaskManager().Stop();
    g_ISPCtrl.CancelDownloads();
    ClosePort();
    if (m_pWnd != nullptr) m_pWnd->KillTimer(TIMER_REPLY);
    m_bAwaitReady.store(false);
    m_byEndAwaited.store(0);
    m_bPayloadClosing.store(false);
    m_byState.store(STATE_IDLE);
    // The next press, once the device is found again, writes every payload anew.
    FindPayloadFiles();
    TaskManager().Start();
    ShowStatus(hangUp ? TEXT_LINE_LOST : TEXT_WRITE_FAILED, 128);
    g_ISPCtrl.m_nRunState.store(RUN_RUNNING);
    Notify(PageEvent::LinkLost, reason);
    EnableButton(false);
    StartPortSearch();
}

void CKalvoDlg::OnDestroy() {
    if (m_bDestroyed.exchange(true)) return;
    g_ISPCtrl.WakePauses();
    m_search.Stop();
    {
        std::lock_guard<std::mutex> lock(m_boxMtx);
        if (m_pBox) m_pBox->Close();
    }
    if (g_ISPCtrl.IsPortOpen()) {
        TaskManager().Stop();
        ClosePort();
    } else {
        TaskManager().Stop();
    }
    // No result may reach this page any more.
    if (g_ISPCtrl.m_pResultCtx.load() == this) g_ISPCtrl.m_pResultCtx.store(nullptr);
    if (m_pWnd != nullptr) {
        m_pWnd->KillTimer(TIMER_REPLY);
        m_pWnd->KillTimer(TIMER_STOP);
    }
}
