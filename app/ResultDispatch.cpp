// Result dispatch and the device's messages: every answer and notification of the controller
// reaches the page here, and is routed to the handler of the operation it belongs to.
#include "app/KalvoDlg.h"
#include "app/PageTexts.h"
#include "app/PayloadTable.h"
#include "core/Log.h"
#include "isp/IspCtrl.h"

void CKalvoDlg::OnCmdResult(const uint8_t* data, void* context, uint8_t code, int32_t dataLen) {
    if (context == nullptr) return;
    auto* dlg = static_cast<CKalvoDlg*>(context);
    if (dlg->m_bDestroyed.load()) return;
    dlg->ProcessResult(code, data, dataLen);
}

void CKalvoDlg::OnCmdNotify(const uint8_t* data, void* context, uint8_t code, int32_t dataLen) {
    if (context == nullptr) return;
    auto* dlg = static_cast<CKalvoDlg*>(context);
    if (dlg->m_bDestroyed.load()) return;
    dlg->ProcessNotify(code, data, dataLen);
}

void CKalvoDlg::ProcessNotify(uint8_t code, const uint8_t* data, int32_t dataLen) {
    WriteLog("proce(%x)(%x)", code, m_byState.load());
    if (code == NOTIFY_SENDING) {
        uint8_t sent = dataLen >= 1 ? data[0] : 0;
        m_byInFlight.store(sent);
        // The device answers these with its ready frame only once its memory is prepared.
        bool toReady = sent == CMD_EDOG_BEGIN || sent == CMD_MUSIC_BEGIN ||
                       sent == CMD_RADAR_BEGIN ||
                       (sent == CMD_STATUS && dataLen >= 2 && data[1] == CMD_LOADER_STARTED);
        toReady = toReady && m_bAwaitReady.load();
        if (m_pWnd != nullptr)
            m_pWnd->SetTimer(TIMER_REPLY, toReady ? READY_WAIT_MS : REPLY_WAIT_MS);
        WriteLog("set 1");
        if (toReady) Notify(PageEvent::WaitingForDevice);
        return;
    }
    if (code == NOTIFY_WRITE_FAILED || code == NOTIFY_LINE_LOST) {
        // Comes on the sending or the reader thread, which the clean-up stops: do it on the UI
        // thread.
        std::string reason = g_ISPCtrl.GetWriteError();
        bool hangUp = code == NOTIFY_LINE_LOST;
        if (m_pWnd != nullptr)
            m_pWnd->PostToUi([this, reason, hangUp] { OnLinkFailure(reason, hangUp); });
        return;
    }
    if (code == NOTIFY_REPLY) {
        // Only the answer to the command in flight disarms the timer: a stray or late answer (to
        // the last payload's end) must not, nor anything while the ready frame is awaited.
        bool own = dataLen >= 1 && data[0] == m_byInFlight.load();
        uint8_t state = m_byState.load();
        if (m_pWnd != nullptr && own && !m_bAwaitReady.load()) {
            // An operation under way must send again within the reply time: an answer that
            // advances nothing (a status in place of an acknowledgement) then ends it as silence.
            if (state != STATE_IDLE && state != STATE_STOPPING)
                m_pWnd->SetTimer(TIMER_REPLY, REPLY_WAIT_MS);
            else
                m_pWnd->KillTimer(TIMER_REPLY);
        }
        WriteLog("kill 1");
        if (state != STATE_STOPPING) return;
        int32_t run = g_ISPCtrl.m_nRunState.load();
        WriteLog("proce(%x)", run);
        if (run != RUN_RUNNING) {
            AbortPending(NOTIFY_REPLY);
            TaskManager().Restart();
        }
        WriteLog("proce2\r\n");
        return;
    }
    if (m_byState.load() == STATE_STOPPING) {
        int32_t run = g_ISPCtrl.m_nRunState.load();
        WriteLog("proce(%x)", run);
        if (run == RUN_STOPPED) AbortPending(code);
        return;
    }
    if (code == NOTIFY_DEVICE_ERROR) OnDeviceError(data, dataLen);
    if (code == NOTIFY_READ_PROGRESS) OnReadProgress(data, dataLen);
}

void CKalvoDlg::ProcessResult(uint8_t code, const uint8_t* data, int32_t dataLen) {
    WriteLog("proce(%x)(%x)", code, m_byState.load());
    if (m_byState.load() == STATE_STOPPING) {
        int32_t run = g_ISPCtrl.m_nRunState.load();
        WriteLog("proce(%x)", run);
        if (run == RUN_STOPPED) AbortPending(code);
        return;
    }
    DispatchResult(code, this, data, dataLen);
    if (code == CMD_FW_END || code == CMD_EDOG_END || code == CMD_MUSIC_END) OnEndAnswered(code);
    if (code == CMD_FW_BEGIN) {
        if (dataLen < 2) {
            WriteLog("#####[CKalvoDlg] version answer too short (%d bytes)\r\n", dataLen);
            return;
        }
        m_wFwVer.store(static_cast<uint16_t>(data[0] << 8 | data[1]));
        WriteLog("fwVer== %04x \r\n ", m_wFwVer.load());
        if (m_wFwVer.load() == 0x0104) {
            Notify(PageEvent::VersionWarning, TEXT_OLD_PROGRAM_BOX);
            // Modal, as on the reader thread of old: nothing of the device is taken in, and
            // nothing written, until the user has closed it.
            HoldForBox();
        }
    }
}

void CKalvoDlg::AbortPending(uint8_t code) {
    g_ISPCtrl.m_nRunState.store(RUN_RUNNING);
    if (code == CMD_SET_BAUD) m_bBaudSwitched.store(0);
    if (code == CMD_READ_BLOCK) g_ISPCtrl.AbortReadFlash();
    if (code == CMD_VERIFY) g_ISPCtrl.m_nVerifyIndex.store(0);
    m_byState.store(STATE_IDLE);
}

void CKalvoDlg::DispatchResult(uint8_t code, CKalvoDlg* dlg, const uint8_t* data, int32_t dataLen) {
    switch (code) {
        case CMD_CHIP_VERSION:
            dlg->OnChipVersion(data, dataLen);
            break;
        case CMD_CHIP_ID:
            dlg->OnChipId(data, dataLen);
            break;
        case CMD_FLASH_SIZE:
            dlg->OnFlashSize(data, dataLen);
            break;
        case CMD_SET_BAUD:
            dlg->OnBaudResult();
            break;
        case CMD_READ_BLOCK:
            dlg->OnReadBlock(data, dataLen);
            break;
        case CMD_WRITE_HEX:
            dlg->OnFwProgress();
            break;
        case CMD_VERIFY:
            dlg->OnVerifyResult(data, dataLen);
            break;
        case CMD_ECHO:
            dlg->OnEchoResult(data, dataLen);
            break;
        case CMD_ERASE_CHIP:
            dlg->OnEraseDone();
            break;
        case CMD_FW_READY:
            if (dlg->m_bBurnArmed.load() != 0) dlg->BurnHex();
            dlg->m_bBurnArmed.store(0);
            break;
        case CMD_LOADER_STARTED:
            dlg->m_bBurnArmed.store(1);
            TaskManager().ClearTask();
            g_ISPCtrl.AnswerLoaderStarted();
            break;
        case CMD_EDOG_READY:
            dlg->m_bBurnArmed.store(1);
            dlg->BurnEdog();
            break;
        case CMD_EDOG_ACK:
            dlg->OnEdogProgress();
            break;
        case CMD_MUSIC_READY:
            dlg->BurnMusic();
            break;
        case CMD_MUSIC_ACK:
            dlg->OnMusicProgress();
            break;
        case CMD_RADAR_READY:
            dlg->BurnRadar();
            break;
        case CMD_RADAR_ACK:
            dlg->OnRadarProgress();
            break;
        case CMD_PROBE_ACK:
            dlg->OnProbeAnswer();
            break;
        default:
            break;
    }
}

// ---------------------------------------------------------------------------------------------
// Device status and error messages

void CKalvoDlg::OnProbeAnswer() {
    if (g_ISPCtrl.IsPortOpen()) {
        WriteLog("22222222222222\r\n ");
        if (m_pWnd != nullptr) m_pWnd->SetUpdateButtonTip("");
        EndSearchNotice();
        // The button only when the payload files are right; else the pane says what is wrong.
        EnableButton(RunUnderWay() || OfferUpdate());
        Notify(PageEvent::ProbeAnswered, g_ISPCtrl.m_serial.GetPath());
    } else {
        WriteLog("33333333333\r\n ");
    }
}

void CKalvoDlg::OnVerifyResult(const uint8_t* data, int32_t dataLen) {
    if (m_byState.load() != STATE_BURN_FW) {
        g_ISPCtrl.m_nVerifyIndex.store(0);
        return;
    }
    auto hex = HexFile();
    uint32_t total = hex ? static_cast<uint32_t>(hex->GetDataRecordCount()) : 0;
    if (total == 0) return;
    uint32_t acks = m_dwAckCount.fetch_add(1) + 1;
    auto percent = static_cast<uint8_t>(acks * 100 / total);
    bool ok = g_ISPCtrl.CompareReadBack(hex.get(), data, dataLen) != 0;
    if (!ok) {
        ShowStatus(TEXT_VERIFY_FAILED, 0);
        TaskManager().ClearTask();
        m_byState.store(STATE_IDLE);
        g_ISPCtrl.m_nVerifyIndex.store(0);
        Notify(PageEvent::VerifyFailed);
    } else {
        ShowProgress(PROGRESS_READ_BACK, percent, Format(TEXT_VERIFY_PROGRESS, percent), 1);
    }
    if (percent == 100) {
        ShowStatus(TEXT_LINE_BREAK, 0);
        if (ok) {
            ShowStatus(TEXT_BURN_DONE, 0);
            m_byState.store(STATE_IDLE);
        }
    }
}

void CKalvoDlg::OnDeviceError(const uint8_t* data, int32_t dataLen) {
    uint8_t code = dataLen >= 1 ? data[0] : 0;
    const char* text = DeviceErrorText(code);
    ShowStatus(text, 128);
    uint8_t state = m_byState.load();
    if (state == STATE_BURN_FW || state == STATE_BURN_EDOG) {
        g_ISPCtrl.m_nVerifyIndex.store(0);
    } else if (state == STATE_READ_FLASH) {
        g_ISPCtrl.AbortReadFlash();
    }
    m_bAwaitReady.store(false);
    m_byEndAwaited.store(0);
    m_bPayloadClosing.store(false);
    m_byState.store(STATE_IDLE);
    Notify(PageEvent::DeviceError, Format("device error %d", code));
}
