// The service operations the window has no control for: chip information, erase, flash
// read-out and the baud-rate change, each started here and ended by its results.
#include "app/KalvoDlg.h"
#include "app/PageTexts.h"
#include "core/Log.h"
#include "isp/IspCtrl.h"

bool CKalvoDlg::StartService(uint8_t state, uint8_t job) {
    uint8_t idle = STATE_IDLE;
    if (!m_byState.compare_exchange_strong(idle, state)) return false;
    PostJob(job);
    return true;
}

void CKalvoDlg::StartChipInfo() {
    StartService(STATE_CHIP_INFO, JOB_CHIP_INFO);
}

void CKalvoDlg::StartErase() {
    StartService(STATE_ERASE, JOB_ERASE);
}

void CKalvoDlg::StartReadFlash(const std::string& dumpPath) {
    {
        std::lock_guard<std::mutex> lock(m_dumpMtx);
        m_strDumpPath = dumpPath;
    }
    m_bReadBack.store(false);
    StartService(STATE_READ_FLASH, JOB_READ_FLASH);
}

bool CKalvoDlg::StartReadBack(std::shared_ptr<const CHEXFile> image) {
    std::vector<uint32_t> blocks;
    {
        std::lock_guard<std::mutex> lock(m_dumpMtx);
        if (!image || !m_readBack.Plan(*image)) return false;
        blocks = m_readBack.Blocks();
    }
    uint8_t idle = STATE_IDLE;
    if (!m_byState.compare_exchange_strong(idle, STATE_READ_FLASH)) return false;
    m_bReadBack.store(true);
    SetProgress(0);
    ShowProgress(PROGRESS_READ_BACK, 0, Format(TEXT_VERIFY_PROGRESS, 0), 128);
    g_ISPCtrl.ReadFlashBlocks(blocks);
    return true;
}

CFlashReadBack::Result CKalvoDlg::ReadBackResult() const {
    std::lock_guard<std::mutex> lock(m_dumpMtx);
    return m_readBack.GetResult();
}

void CKalvoDlg::StartBaudHandshake(uint32_t targetBaud) {
    m_dwTargetBaud.store(targetBaud);
    m_byBaudStep.store(0);
    m_bBaudSwitched.store(0);
    g_ISPCtrl.SendEcho();
}

void CKalvoDlg::StartCheckPort() {
    PostJob(JOB_CHECK_PORT);
}

// ---------------------------------------------------------------------------------------------
// Their results

void CKalvoDlg::OnChipVersion(const uint8_t* data, int32_t dataLen) {
    if (m_byState.load() != STATE_CHIP_INFO || dataLen < 1) return;
    ShowStatus(Format(TEXT_CHIP_VERSION, data[0]), 0);
}

void CKalvoDlg::OnChipId(const uint8_t* data, int32_t dataLen) {
    uint8_t state = m_byState.load();
    if (state == STATE_IDLE || state == STATE_STOPPING) return;
    std::string text = TEXT_CHIP_ID;
    for (int32_t i = 0; i < 16 && i < dataLen; ++i) text += Format(TEXT_CHIP_ID_BYTE, data[i]);
    ShowStatus(text, 0);
    ShowStatus(TEXT_LINE_BREAK, 0);
    m_byState.store(STATE_IDLE);
    Notify(PageEvent::ServiceDone);
}

void CKalvoDlg::OnFlashSize(const uint8_t* data, int32_t dataLen) {
    if (m_byState.load() != STATE_CHIP_INFO) return;
    if (dataLen >= 1) g_ISPCtrl.LookupFlashSize(data);
    ShowStatus(Format(TEXT_FLASH_SIZE, static_cast<int>(g_ISPCtrl.m_dwFlashSizeKB.load())), 0);
}

void CKalvoDlg::OnEraseDone() {
    if (m_byState.load() != STATE_ERASE) return;
    ShowStatus(TEXT_ERASE_DONE, 128);
    m_byState.store(STATE_IDLE);
    Notify(PageEvent::ServiceDone);
}

void CKalvoDlg::OnReadBlock(const uint8_t* data, int32_t dataLen) {
    if (m_byState.load() != STATE_READ_FLASH) {
        m_byState.store(STATE_IDLE);
        return;
    }
    if (m_bReadBack.load()) {
        OnReadBackBlock(data, dataLen);
        return;
    }
    std::string name;
    {
        std::lock_guard<std::mutex> lock(m_dumpMtx);
        name = m_strDumpPath;
    }
    if (!g_ISPCtrl.SaveReadBlock(name, data, dataLen)) {
        // Without its file the rest of the read-out is useless: end it here.
        g_ISPCtrl.CancelReadFlash();
        m_byState.store(STATE_IDLE);
        ShowStatus(TEXT_READ_ERROR, 0);
        Notify(PageEvent::ServiceFailed, g_ISPCtrl.GetReadError());
    } else if (!ReadBlockIntact(data, dataLen)) {
        // Asked for again and still bad: the error line is shown, and the dump cannot be trusted.
        g_ISPCtrl.CancelReadFlash();
        m_byState.store(STATE_IDLE);
        Notify(PageEvent::ServiceFailed,
               Format("the block at 0x%08X failed its check %d times; %s is incomplete",
                      g_ISPCtrl.ReadBlockAddress(), CISPCtrl::READ_RETRIES + 1, name.c_str()));
    }
}

void CKalvoDlg::OnReadBackBlock(const uint8_t* data, int32_t dataLen) {
    bool stored = false;
    size_t done = 0, total = 0;
    CFlashReadBack::Result r;
    {
        std::lock_guard<std::mutex> lock(m_dumpMtx);
        stored = m_readBack.Store(data, dataLen);
        done = m_readBack.BlocksDone();
        total = m_readBack.Blocks().size();
        r = m_readBack.GetResult();
    }
    if (!stored) {
        g_ISPCtrl.CancelReadFlash();
        m_byState.store(STATE_IDLE);
        ShowStatus(TEXT_READ_ERROR, 0);
        Notify(PageEvent::ServiceFailed,
               Format("short read-back answer (%d bytes)", dataLen < 0 ? 0 : dataLen));
        return;
    }
    auto percent = static_cast<int>(done * 100 / total);
    SetProgress(percent);
    ShowProgress(PROGRESS_READ_BACK, percent, Format(TEXT_VERIFY_PROGRESS, percent), 128);
    if (done != total) return;
    m_byState.store(STATE_IDLE);
    auto compared = static_cast<unsigned long long>(r.compared);
    if (r.differing != 0) {
        ShowStatus(TEXT_VERIFY_FAILED, 128);
        Notify(PageEvent::VerifyFailed,
               Format("first difference at 0x%08X, %llu of %llu bytes differ", r.firstDiff,
                      static_cast<unsigned long long>(r.differing), compared));
    } else if (r.badRecord) {
        // The bytes may be right, but what came back cannot be trusted to say so.
        ShowStatus(TEXT_READ_ERROR, 128);
        Notify(PageEvent::VerifyFailed, "a read-back record failed its check byte");
    } else {
        ShowStatus(TEXT_BURN_DONE, 128);
        Notify(PageEvent::ServiceDone, Format("%llu bytes read back, all match", compared));
    }
}

void CKalvoDlg::OnReadProgress(const uint8_t* data, int32_t dataLen) {
    if (dataLen < 1) return;
    uint8_t p = data[0];
    ShowProgress(PROGRESS_READ_OUT, p, Format(TEXT_READ_PROGRESS, p), 2);
    if (p == 100) {
        m_byState.store(STATE_IDLE);
        ShowStatus(TEXT_READ_DONE, 0);
        Notify(PageEvent::ServiceDone);
    }
    if (p == 0xFF) ShowStatus(TEXT_READ_ERROR, 0);
}

void CKalvoDlg::OnEchoResult(const uint8_t* data, int32_t dataLen) {
    if (dataLen >= 1 && data[0] == 0xAC) {
        uint8_t step = static_cast<uint8_t>(m_byBaudStep.fetch_add(1) + 1);
        if (m_dwTargetBaud.load() == 256000) {
            ShowStatus(TEXT_BAUD_OK, 128);
            g_ISPCtrl.GetFlashSize();
            Notify(PageEvent::BaudReady);
        } else if (step == 1) {
            g_ISPCtrl.SetDeviceBaud(m_dwTargetBaud.load());
        } else {
            ShowStatus(TEXT_BAUD_OK, 128);
            m_byBaudStep.store(0);
            Notify(PageEvent::BaudReady);
        }
        return;
    }
    ShowStatus(m_byBaudStep.load() == 0 ? TEXT_BAUD_INITIAL_FAILED : TEXT_BAUD_CHANGE_FAILED, 0);
    TaskManager().Stop();
    ClosePort();
    Notify(PageEvent::LinkLost, "no echo from the device");
}

void CKalvoDlg::OnBaudResult() {
    if (m_bBaudSwitched.load() == 0) {
        if (!g_ISPCtrl.m_serial.SetBaudRate(m_dwTargetBaud.load()))
            WriteLog("#####[CKalvoDlg] local port refused %u baud\r\n", m_dwTargetBaud.load());
        m_bBaudSwitched.store(1);
    } else {
        g_ISPCtrl.SendEcho();
        m_bBaudSwitched.store(0);
    }
}
