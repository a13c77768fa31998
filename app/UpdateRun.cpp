// The update run: the start step, the burn jobs, the page's worker thread that queues the write
// frames, and the progress and completion of each payload.
#include "app/KalvoDlg.h"
#include "app/PageTexts.h"
#include "app/PayloadTable.h"
#include "core/Log.h"
#include "isp/IspCtrl.h"
#include "platform/Time.h"

void CKalvoDlg::OnBnClickedUpdate() {
    // Every payload is read and checked whole before the device is told anything: a bad file
    // must never follow a begin command (the device erases first). The run sends these bytes,
    // and goes by this look alone.
    std::lock_guard<std::mutex> press(m_pressMtx);
    CPayloadLook look = DiscoverPayloads();
    std::string refused = Refusals(look.problems);
    {
        std::lock_guard<std::mutex> lock(m_holderMtx);
        for (int i = 0; i < PAYLOAD_COUNT; ++i)
            m_runHolders[i] = refused.empty() && look.found[i] ? look.holders[i] : PayloadHolder{};
    }
    if (!refused.empty()) {
        TaskManager().ClearTask();
        {
            std::lock_guard<std::mutex> lock(m_readyMtx);
            m_strWithheld = TEXT_PAYLOAD_REFUSED + refused;
            ShowStatus(m_strWithheld, 128);
        }
        EnableButton(false);
        WriteLog("#####[CKalvoDlg] nothing written: a payload file was refused\r\n");
        std::string detail;
        for (size_t at = 0; at < refused.size();) {
            size_t end = refused.find("\r\n", at);
            detail += (detail.empty() ? "" : "; ") + refused.substr(at, end - at);
            at = end == std::string::npos ? refused.size() : end + 2;
        }
        Notify(PageEvent::FileError, detail);
        return;
    }
    StartNextPayload();
}

void CKalvoDlg::StartNextPayload() {
    TaskManager().ClearTask();
    int next = 0;
    while (next < PAYLOAD_COUNT && Pending(next).load() == 0) ++next;
    // Set before the begin command goes: its ready frame may come at once.
    m_bAwaitReady.store(next < PAYLOAD_COUNT);
    if (next < PAYLOAD_COUNT) {
        const PayloadRow& row = kPayloads[next];
        auto holder = Holder(next);
        // Shown first: the device's answer, an error among them, may be shown before we return.
        if (row.beginText != nullptr) ShowStatus(row.beginText, 128);
        RecordBegin(next, row.chunk, holder);
        row.begin(holder);
        if (row.beginLog != nullptr) WriteLog("%s", row.beginLog);
    } else if (m_wPayloadTotal.load() == 0) {
        Notify(PageEvent::NothingToDo);
    }
    EnableButton(false);
}

void CKalvoDlg::RecordBegin(int which, uint32_t chunk, const PayloadHolder& holder) {
    if (!holder) return;
    uint64_t bytes = 0;
    uint32_t frames = 0;
    if (which == PAYLOAD_FW && holder.image) {
        holder.image->WalkPlacedData([&](const HEX_PLACED& d) {
            bytes += d.byLen;
            return true;
        });
        frames = static_cast<uint32_t>(holder.image->GetDataRecordCount());
    } else if (holder.raw) {
        bytes = holder.raw->Size();
        frames = static_cast<uint32_t>((bytes + chunk - 1) / chunk);
    }
    m_runRecord.Began(which, bytes, frames);
}

void CKalvoDlg::PostJob(uint8_t job) {
    m_byJob.store(job);
    m_hJobEvent.Set();
}

void CKalvoDlg::Burn(int which) {
    const PayloadRow& row = kPayloads[which];
    m_bAwaitReady.store(false);
    ShowStatus("", 128);
    WriteLog(row.burnTag, m_byState.load());
    if (!g_ISPCtrl.IsPortOpen()) ShowStatus(TEXT_OPEN_PORT, 128);
    if (which == PAYLOAD_FW && m_bFwPending.load() == 0) {
        ShowStatus(TEXT_CHOOSE_FILE, 128);
        return;
    }
    uint8_t current = m_byState.load();
    if (current == STATE_IDLE) {
        WriteLog("burn1");
        m_dwAckCount.store(0);
        ShowStatus(TEXT_PARSING, 128);
        if (which == PAYLOAD_EDOG)
            WriteLog("#####[CKalvoDlg] On Burn Hex File :%d\r\n",
                     static_cast<int>(plat::GetTickCount()));
        TaskManager().ClearTask();
        if (which == PAYLOAD_EDOG) WriteLog("#####[CKalvoDlg] bRet :%d\r\n", 1);
        m_byState.store(row.state);
        PostJob(row.job);
    } else if (current == STATE_STOPPING) {
        return;
    } else {
        WriteLog("stop:%x", m_byJob.load());
        if (m_byJob.load() == row.job) {
            m_byState.store(STATE_IDLE);
        } else {
            g_ISPCtrl.m_nRunState.store(RUN_STOP_REQUESTED);
            m_byState.store(STATE_STOPPING);
            m_dwAckCount.store(0);
        }
        ShowStatus(TEXT_STOPPING, 128);
    }
}

void CKalvoDlg::RunDownload(uint8_t job) {
    int which = 0;
    while (which + 1 < PAYLOAD_COUNT && kPayloads[which].job != job) ++which;
    PayloadHolder holder = Holder(which);
    // An empty payload would send nothing and end in a time-out: say what is wrong instead.
    bool ok = which == PAYLOAD_FW ? holder.image && holder.image->GetDataRecordCount() != 0
                                  : holder.raw && !holder.raw->Empty();
    if (ok) ok = kPayloads[which].download(holder) != 0;
    if (!ok) {
        {
            std::lock_guard<std::mutex> lock(m_runMtx);
            m_byState.store(STATE_IDLE);
            ShowStatus(TEXT_FILE_ERROR, 128);
        }
        Notify(PageEvent::FileError, kPayloads[which].file);
    }
}

uint32_t CKalvoDlg::Run() {
    // Its own stop request: a successor started meanwhile must not revive it.
    while (!StopRequested()) {
        bool signalled = m_hJobEvent.Wait(1000);
        if (StopRequested()) break;
        if (!signalled) {
            uint8_t state = m_byState.load();
            if (state == STATE_STOPPING && m_bTimer2Set.load() == 0) {
                if (m_pWnd != nullptr) m_pWnd->SetTimer(TIMER_STOP, 2500);
                m_bTimer2Set.store(1);
                WriteLog("set timer2");
            } else if (m_bTimer2Set.load() == 1 && state != STATE_STOPPING) {
                if (m_pWnd != nullptr) m_pWnd->KillTimer(TIMER_STOP);
                m_bTimer2Set.store(0);
                WriteLog("kill timer2");
            }
            WatchPayloadFiles();
            continue;
        }
        uint8_t job = m_byJob.load();
        switch (job) {
            case JOB_ERASE:
                g_ISPCtrl.EraseChip();
                break;
            case JOB_BURN_HEX:
            case JOB_BURN_EDOG:
            case JOB_BURN_MUSIC:
            case JOB_BURN_RADAR:
                if (job == JOB_BURN_RADAR)
                    WriteLog("##########[CKalvoDlg] start add [edog file] task :%d\r\n",
                             static_cast<int>(plat::GetTickCount()));
                m_byJob.compare_exchange_strong(job, JOB_NONE);
                RunDownload(job);
                break;
            case JOB_CHECK_PORT:
                WriteLog("##########[CKalvoDlg] check port :%d  num= %d\r\n",
                         static_cast<int>(plat::GetTickCount()), g_byComPortCount.load());
                g_ISPCtrl.ProbePorts();
                break;
            case JOB_READ_FLASH:
                WriteLog("##########[CKalvoDlg] start add [Read Flash] task :%d\r\n",
                         static_cast<int>(plat::GetTickCount()));
                g_ISPCtrl.ReadFlash();
                break;
            case JOB_CHIP_INFO:
                g_ISPCtrl.GetChipVersion();
                g_ISPCtrl.GetFlashSize();
                g_ISPCtrl.QueryChipExtra();
                g_ISPCtrl.GetChipID();
                break;
            default:
                break;
        }
        // A job posted while this one ran stays posted (the event is auto-reset and not
        // cleared here).
        uint8_t taken = job;
        m_byJob.compare_exchange_strong(taken, JOB_NONE);
        WriteLog("thread end\r\n");
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Progress and completion

int CKalvoDlg::CountAck(int which, uint32_t total) {
    // Checked and shown under one lock with the download's failure path, so that a late
    // percentage can never cover TEXT_FILE_ERROR.
    std::lock_guard<std::mutex> lock(m_runMtx);
    if (m_byState.load() != kPayloads[which].state || total == 0) return -1;
    uint32_t acks = m_dwAckCount.fetch_add(1) + 1;
    auto percent = static_cast<uint8_t>(acks * 100 / total);
    SetProgress(percent);
    ShowProgress(which, percent, Format(kPayloads[which].progressText, percent), 128);
    return percent;
}

void CKalvoDlg::OnPayloadAck(int which) {
    const PayloadRow& row = kPayloads[which];
    if (m_byState.load() != row.state) return;
    if (row.ackLog != nullptr) WriteLog("%s", row.ackLog);
    PayloadHolder holder = Holder(which);
    if (!holder) return;
    // The firmware counts its data records. The raw payloads count against what the download
    // queued, not the file's length now: the file may change meanwhile.
    uint32_t total = holder.image ? static_cast<uint32_t>(holder.image->GetDataRecordCount())
                                  : g_ISPCtrl.m_dwRawFrames.load();
    if (CountAck(which, total) != 100) return;
    // Until the next payload has begun, a failed write or hang-up still ends a run.
    m_bPayloadClosing.store(true);
    m_runRecord.Written(which);
    NotifyOutcome(which, PayloadOutcome::Written);
    ShowStatus(row.doneText, 128);
    m_byState.store(STATE_IDLE);
    m_dwAckCount.store(0);
    if (holder.image) holder.image->m_file.Close();
    if (row.end != nullptr) (g_ISPCtrl.*row.end)();
    Pending(which).store(0);
    // A port closed during the pause (a pulled cable, the window going) ends the run here: its
    // closer has taken over.
    if (row.pauseMs != 0 && !Pause(row.pauseMs)) {
        m_bPayloadClosing.store(false);
        return;
    }
    if (row.end != nullptr) {
        // The end command's answer (come during the pause) closes the payload: a device that
        // refuses it ends the run with its message, one that stays silent with the time-out.
        static constexpr uint8_t kEndCode[PAYLOAD_COUNT] = {CMD_FW_END, CMD_EDOG_END, CMD_MUSIC_END,
                                                            0};
        m_nEndAwaited.store(which);
        m_byEndAwaited.store(kEndCode[which]);
        m_bAwaitReady.store(true);
        if (m_pWnd != nullptr) m_pWnd->SetTimer(TIMER_REPLY, REPLY_WAIT_MS);
        return;
    }
    CompletePayload(which);
    m_bPayloadClosing.store(false);
}

void CKalvoDlg::OnEndAnswered(uint8_t code) {
    uint8_t expected = code;
    if (code == 0 || !m_byEndAwaited.compare_exchange_strong(expected, 0)) return;
    // A time-out or a lost link has ended the run already.
    bool awaited = m_bAwaitReady.exchange(false);
    if (awaited) {
        if (m_pWnd != nullptr) m_pWnd->KillTimer(TIMER_REPLY);
        CompletePayload(m_nEndAwaited.load());
    }
    m_bPayloadClosing.store(false);
}

void CKalvoDlg::CompletePayload(int which) {
    const PayloadRow& row = kPayloads[which];
    if (m_bDestroyed.load()) return;
    if (row.startsNext) StartNextPayload();
    uint16_t done = static_cast<uint16_t>(m_wPayloadDone.fetch_add(1) + 1);
    if (done != m_wPayloadTotal.load()) return;
    FindPayloadFiles();
    ShowStatus(row.finalText, 128);
    // The next device starts from the files as they are now; if they are not right, the pane
    // says so under the completion text.
    std::string problem = PayloadProblemText();
    if (!problem.empty()) {
        std::lock_guard<std::mutex> lock(m_readyMtx);
        m_strWithheld = problem;
        ShowStatus(TEXT_LINE_BREAK + problem, 0);
    }
    EnableButton(problem.empty());
    Notify(PageEvent::RunComplete);
}
