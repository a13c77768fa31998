#include "app/KalvoDlg.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "core/Log.h"
#include "isp/IspCtrl.h"
#include "platform/Paths.h"
#include "platform/Time.h"

namespace {

CCmdTaskManager& TaskManager() {
    return *CCmdTaskManager::GetInstance();
}

std::string Format(const char* fmt, ...) __attribute__((format(KALVO_PRINTF, 1, 2)));
std::string Format(const char* fmt, ...) {
    char buf[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    return buf;
}

enum { PAYLOAD_FW = 0, PAYLOAD_EDOG = 1, PAYLOAD_MUSIC = 2, PAYLOAD_RADAR = 3 };

const char* const kFileNames[4] = {"DE7811_project.hex", "flagdata.bin", "audioHead.bin",
                                   "rdfw.bin"};
const char* const kFoundLines[4] = {"\r\n  FW IS  EXIST \r\n", "\r\n  edog IS  EXIST \r\n",
                                    "\r\n  music IS  EXIST \r\n", "\r\n  radar IS  EXIST \r\n"};
const char* const kMissingLines[4] = {
    "\r\n  FW IS NOT  EXIST \r\n", "\r\n  edog IS NOT  EXIST \r\n",
    "\r\n  music IS NOT  EXIST \r\n", "\r\n  radar IS NOT  EXIST \r\n"};

const char* const kTimeoutText = "Тайм-аут, пожалуйста,\r\nзаново откройте программу.\r\n";
const char* const kFileErrorText = "Ошибка чтения файла.\r\n";
// Our own link message for a port write that failed.
const char* const kWriteFailedText = "串口写入失败，请检查连接!\r\n";

const char* DeviceErrorText(uint8_t code) {
    switch (code) {
        case 3:
            return "命令无效，请重试!\n";
        case 4:
            return "Flash硬件忙!\n";
        case 5:
            return "Flash读保护!\n";
        case 6:
            return "Flash写保护!\n";
        case 7:
            return "参数不足或错误!\n";
        case 8:
            return "目标地址边界错误!\n";
        case 9:
            return "源地址边界错误!\n";
        default:
            return "MCU参数错误! \n";
    }
}

}  // namespace

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

void CKalvoDlg::Pause(uint32_t ms) {
    m_evShutdown.Wait(ms);
}

void CKalvoDlg::ClosePort() {
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
    OpenLogFile(m_config.logPath);
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
    g_ISPCtrl.SetResultCallback(&CKalvoDlg::OnCmdResult);
    g_ISPCtrl.ProbeAllPorts(this);
    FindPayloadFiles();
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

void CKalvoDlg::FindPayloadFiles() {
    m_wPayloadTotal.store(0);
    m_wPayloadDone.store(0);
    std::string dir = m_config.payloadDir;
    std::string* paths[4] = {&m_strHexPath, &m_strEdogPath, &m_strMusicPath, &m_strRadarPath};
    std::atomic<uint8_t>* pending[4] = {&m_bFwPending, &m_bEdogPending, &m_bMusicPending,
                                        &m_bRadarPending};
    std::shared_ptr<CHEXFile> holders[4];
    for (int i = 0; i < 4; ++i) {
        *paths[i] = dir + kFileNames[i];
        holders[i] = std::make_shared<CHEXFile>();
        WriteLog("\r\n hexPath==%s\r\n", paths[i]->c_str());
        bool opened = holders[i]->m_file.Open(*paths[i], plat::CFile::modeRead);
        bool found = opened;
        if (i == PAYLOAD_FW && opened) found = holders[i]->Load() == 1;
        if (found) {
            pending[i]->store(1);
            m_wPayloadTotal.fetch_add(1);
            WriteLog("%s", kFoundLines[i]);
        } else {
            pending[i]->store(0);
            holders[i]->m_file.Close();
            WriteLog("%s", kMissingLines[i]);
        }
    }
    std::lock_guard<std::mutex> lock(m_holderMtx);
    m_pHexFile = holders[0];
    m_pEdogFile = holders[1];
    m_pMusicFile = holders[2];
    m_pRadarFile = holders[3];
}

// ---------------------------------------------------------------------------------------------
// Result dispatch

void CKalvoDlg::OnCmdResult(const uint8_t* data, void* context, uint8_t code, int32_t dataLen) {
    if (context == nullptr) return;
    auto* dlg = static_cast<CKalvoDlg*>(context);
    if (dlg->m_bDestroyed.load()) return;
    dlg->ProcessResult(code, data, dataLen);
}

void CKalvoDlg::ProcessResult(uint8_t code, const uint8_t* data, int32_t dataLen) {
    WriteLog("proce(%x)(%x)", code, m_byState.load());
    if (code == NOTIFY_SENDING) {
        if (m_pWnd != nullptr) m_pWnd->SetTimer(TIMER_REPLY, 2500);
        WriteLog("set 1");
        return;
    }
    if (code == NOTIFY_WRITE_FAILED) {
        // Comes on the sending thread, which the clean-up stops: do it on the UI thread.
        std::string reason = g_ISPCtrl.GetWriteError();
        if (m_pWnd != nullptr) m_pWnd->PostToUi([this, reason] { OnLinkFailure(reason); });
        return;
    }
    if (code == NOTIFY_REPLY) {
        // A late reply (to the last payload's end) must not disarm the wait for the ready frame,
        // which is no reply.
        if (m_pWnd != nullptr && !m_bAwaitReady.load()) m_pWnd->KillTimer(TIMER_REPLY);
        WriteLog("kill 1");
        if (m_byState.load() != STATE_STOPPING) return;
        int32_t run = g_ISPCtrl.m_nRunState.load();
        WriteLog("proce(%x)", run);
        if (run != 2) {
            AbortPending(NOTIFY_REPLY);
            TaskManager().Restart();
        }
        WriteLog("proce2\r\n");
        return;
    }
    if (m_byState.load() == STATE_STOPPING) {
        int32_t run = g_ISPCtrl.m_nRunState.load();
        WriteLog("proce(%x)", run);
        if (run == 1) AbortPending(code);
        return;
    }
    DispatchResult(code, this, data, dataLen);
    if (code == CMD_FW_BEGIN) {
        if (dataLen < 2) {
            WriteLog("#####[CKalvoDlg] version answer too short (%d bytes)\r\n", dataLen);
            return;
        }
        m_wFwVer.store(static_cast<uint16_t>(data[0] << 8 | data[1]));
        WriteLog("fwVer== %04x \r\n ", m_wFwVer.load());
        if (m_wFwVer.load() == 0x0104) {
            if (m_pWnd != nullptr) m_pWnd->MessageBox("This is not Q9-Dornvex program", "ERROR");
            Notify(PageEvent::VersionWarning, "This is not Q9-Dornvex program");
        }
    }
}

void CKalvoDlg::AbortPending(uint8_t code) {
    g_ISPCtrl.m_nRunState.store(2);
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
            if (dlg->m_byState.load() == STATE_READ_FLASH) {
                std::string name;
                {
                    std::lock_guard<std::mutex> lock(dlg->m_dumpMtx);
                    name = dlg->m_strDumpPath;
                }
                if (!g_ISPCtrl.SaveReadBlock(name, data, dataLen)) {
                    // Without its file the rest of the read-out is useless: end it here.
                    g_ISPCtrl.CancelReadFlash();
                    dlg->m_byState.store(STATE_IDLE);
                    dlg->ShowStatus("当前数据读取错误\r\n", 0);
                    dlg->Notify(PageEvent::ServiceFailed, g_ISPCtrl.GetReadError());
                }
            } else {
                dlg->m_byState.store(STATE_IDLE);
            }
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
        case NOTIFY_DEVICE_ERROR:
            dlg->OnDeviceError(data, dataLen);
            break;
        case CMD_ERASE_CHIP:
            dlg->OnEraseDone();
            break;
        case NOTIFY_READ_PROGRESS:
            dlg->OnReadProgress(data, dataLen);
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
// Progress and completion

int CKalvoDlg::CountAck(uint8_t state, uint32_t total, const char* format) {
    // Checked and shown under one lock with the download's failure path, so that a late
    // percentage can never cover "Ошибка чтения файла.".
    std::lock_guard<std::mutex> lock(m_runMtx);
    if (m_byState.load() != state || total == 0) return -1;
    uint32_t acks = m_dwAckCount.fetch_add(1) + 1;
    auto percent = static_cast<uint8_t>(acks * 100 / total);
    SetProgress(percent);
    ShowStatus(Format(format, percent), 128);
    return percent;
}

void CKalvoDlg::OnFwProgress() {
    if (m_byState.load() != STATE_BURN_FW) return;
    WriteLog("00 burn2");
    auto hex = Holder(PAYLOAD_FW);
    uint32_t total = hex ? static_cast<uint32_t>(hex->GetDataRecordCount()) : 0;
    if (CountAck(STATE_BURN_FW, total, "Обновление ПО...: %d %% ") != 100) return;
    ShowStatus("Обновление ПО прошло успешно.", 128);
    m_byState.store(STATE_IDLE);
    g_ISPCtrl.EndFirmware();
    m_dwAckCount.store(0);
    hex->m_file.Close();
    m_bFwPending.store(0);
    Pause(7000);
    CompletePayload(PAYLOAD_FW);
}

// The raw payloads count against what the download queued, not the file's length now: the file
// may change meanwhile.
void CKalvoDlg::OnEdogProgress() {
    auto holder = Holder(PAYLOAD_EDOG);
    if (!holder || CountAck(STATE_BURN_EDOG, g_ISPCtrl.m_dwRawFrames.load(),
                            "Обновление базу камер… : %d %% ") != 100)
        return;
    ShowStatus("Обновление базы камер прошло успешно.", 128);
    m_byState.store(STATE_IDLE);
    m_dwAckCount.store(0);
    holder->m_file.Close();
    g_ISPCtrl.EndEdog();
    m_bEdogPending.store(0);
    Pause(3000);
    CompletePayload(PAYLOAD_EDOG);
}

void CKalvoDlg::OnMusicProgress() {
    auto holder = Holder(PAYLOAD_MUSIC);
    if (!holder || CountAck(STATE_BURN_MUSIC, g_ISPCtrl.m_dwRawFrames.load(),
                            "Обновление звуковых файлов.: %d %% ") != 100)
        return;
    m_dwAckCount.store(0);
    holder->m_file.Close();
    m_byState.store(STATE_IDLE);
    ShowStatus("Обновление звуковых файлов прошло успешно.", 128);
    g_ISPCtrl.EndMusic();
    m_bMusicPending.store(0);
    Pause(3000);
    CompletePayload(PAYLOAD_MUSIC);
}

void CKalvoDlg::OnRadarProgress() {
    if (m_byState.load() != STATE_BURN_RADAR) return;
    WriteLog("radar burn2");
    auto holder = Holder(PAYLOAD_RADAR);
    if (!holder || CountAck(STATE_BURN_RADAR, g_ISPCtrl.m_dwRawFrames.load(),
                            "Обновление ПО радар…: %d %% ") != 100)
        return;
    ShowStatus("Обновление ПО радар\r\n прошло успешно.\r\n", 128);
    m_byState.store(STATE_IDLE);
    m_dwAckCount.store(0);
    m_bRadarPending.store(0);
    holder->m_file.Close();
    CompletePayload(PAYLOAD_RADAR);
}

void CKalvoDlg::CompletePayload(int which) {
    if (m_bDestroyed.load()) return;
    if (which != PAYLOAD_RADAR) OnBnClickedUpdate();
    uint16_t done = static_cast<uint16_t>(m_wPayloadDone.fetch_add(1) + 1);
    if (done != m_wPayloadTotal.load()) return;
    FindPayloadFiles();
    ShowStatus(which == PAYLOAD_RADAR ? "升级完成" : "Готово", 128);
    EnableButton(true);
    Notify(PageEvent::RunComplete);
}

void CKalvoDlg::OnProbeAnswer() {
    if (g_ISPCtrl.IsPortOpen()) {
        WriteLog("22222222222222\r\n ");
        EnableButton(true);
        Notify(PageEvent::ProbeAnswered, g_ISPCtrl.m_serial.GetPath());
    } else {
        WriteLog("33333333333\r\n ");
    }
}

void CKalvoDlg::OnReadProgress(const uint8_t* data, int32_t dataLen) {
    if (dataLen < 1) return;
    uint8_t p = data[0];
    ShowStatus(Format("已读出:%d %% ", p), 2);
    if (p == 100) {
        m_byState.store(STATE_IDLE);
        ShowStatus("\r\n当前数据读取完成\r\n", 0);
        Notify(PageEvent::ServiceDone);
    }
    if (p == 0xFF) ShowStatus("当前数据读取错误\r\n", 0);
}

// ---------------------------------------------------------------------------------------------
// Device status and error messages

void CKalvoDlg::OnVerifyResult(const uint8_t* data, int32_t dataLen) {
    if (m_byState.load() != STATE_BURN_FW) {
        g_ISPCtrl.m_nVerifyIndex.store(0);
        return;
    }
    auto hex = Holder(PAYLOAD_FW);
    uint32_t total = hex ? static_cast<uint32_t>(hex->GetDataRecordCount()) : 0;
    if (total == 0) return;
    uint32_t acks = m_dwAckCount.fetch_add(1) + 1;
    auto percent = static_cast<uint8_t>(acks * 100 / total);
    bool ok = g_ISPCtrl.CompareReadBack(hex.get(), data, dataLen) != 0;
    if (!ok) {
        ShowStatus("校验失败\r\n", 0);
        TaskManager().ClearTask();
        m_byState.store(STATE_IDLE);
        g_ISPCtrl.m_nVerifyIndex.store(0);
        Notify(PageEvent::VerifyFailed);
    } else {
        ShowStatus(Format("已校验:%d %% ", percent), 1);
    }
    if (percent == 100) {
        ShowStatus("\r\n", 0);
        if (ok) {
            ShowStatus("烧写完成,请重新上电\r\n", 0);
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
    m_byState.store(STATE_IDLE);
    Notify(PageEvent::DeviceError, Format("device error %d", code));
}

void CKalvoDlg::OnEchoResult(const uint8_t* data, int32_t dataLen) {
    if (dataLen >= 1 && data[0] == 0xAC) {
        uint8_t step = static_cast<uint8_t>(m_byBaudStep.fetch_add(1) + 1);
        if (m_dwTargetBaud.load() == 256000) {
            ShowStatus("初始波特率通信成功，开始传输数据!\r\n", 128);
            g_ISPCtrl.GetFlashSize();
            Notify(PageEvent::BaudReady);
        } else if (step == 1) {
            g_ISPCtrl.SetDeviceBaud(m_dwTargetBaud.load());
        } else {
            ShowStatus("初始波特率通信成功，开始传输数据!\r\n", 128);
            m_byBaudStep.store(0);
            Notify(PageEvent::BaudReady);
        }
        return;
    }
    ShowStatus(m_byBaudStep.load() == 0 ? "初始波特率通信失败!\r\n" : "修改波特率失败!\r\n", 0);
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

void CKalvoDlg::OnEraseDone() {
    if (m_byState.load() != STATE_ERASE) return;
    ShowStatus("擦除完成,请重新上电\r\n", 128);
    m_byState.store(STATE_IDLE);
    Notify(PageEvent::ServiceDone);
}

void CKalvoDlg::OnChipVersion(const uint8_t* data, int32_t dataLen) {
    if (m_byState.load() != STATE_CHIP_INFO || dataLen < 1) return;
    ShowStatus(Format("芯片版本号：%x\r\n", data[0]), 0);
}

void CKalvoDlg::OnChipId(const uint8_t* data, int32_t dataLen) {
    uint8_t state = m_byState.load();
    if (state == STATE_IDLE || state == STATE_STOPPING) return;
    std::string text = "芯片ID:\r\n";
    for (int32_t i = 0; i < 16 && i < dataLen; ++i) text += Format("%x", data[i]);
    ShowStatus(text, 0);
    ShowStatus("\r\n", 0);
    m_byState.store(STATE_IDLE);
    Notify(PageEvent::ServiceDone);
}

void CKalvoDlg::OnFlashSize(const uint8_t* data, int32_t dataLen) {
    if (m_byState.load() != STATE_CHIP_INFO) return;
    if (dataLen >= 1) g_ISPCtrl.LookupFlashSize(data);
    ShowStatus(
        Format("芯片Flash大小:%d KB\r\n", static_cast<int>(g_ISPCtrl.m_dwFlashSizeKB.load())), 0);
}

// ---------------------------------------------------------------------------------------------
// The update run

void CKalvoDlg::OnBnClickedUpdate() {
    TaskManager().ClearTask();
    // Set before the begin command goes: its ready frame may come at once.
    m_bAwaitReady.store(m_bFwPending.load() != 0 || m_bEdogPending.load() != 0 ||
                        m_bMusicPending.load() != 0 || m_bRadarPending.load() != 0);
    if (m_bFwPending.load() != 0) {
        auto hex = Holder(PAYLOAD_FW);
        // Shown first: the device's answer, an error among them, may be shown before we return.
        ShowStatus("Очистить кэш данных...\r\n", 128);
        g_ISPCtrl.BeginFirmware(hex ? hex->m_wVersion : 0);
    } else if (m_bEdogPending.load() != 0) {
        g_ISPCtrl.BeginEdog();
        WriteLog("#####[CKalvoDlg] On Burn edogdata\r\n");
    } else if (m_bMusicPending.load() != 0) {
        g_ISPCtrl.BeginMusic();
        WriteLog("#####[CKalvoDlg] On Burn music\r\n");
    } else if (m_bRadarPending.load() != 0) {
        auto radar = Holder(PAYLOAD_RADAR);
        auto length = static_cast<uint32_t>(radar->m_file.GetLength());
        radar->m_dwRadarOffset = 0;
        const uint8_t bytes[4] = {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                                  static_cast<uint8_t>(length >> 16),
                                  static_cast<uint8_t>(length >> 24)};
        g_ISPCtrl.BeginRadar(bytes);
        WriteLog("#####[CKalvoDlg] On Burn radar\r\n");
    } else if (m_wPayloadTotal.load() == 0) {
        Notify(PageEvent::NothingToDo);
    }
    EnableButton(false);
}

void CKalvoDlg::PostJob(uint8_t job) {
    m_byJob.store(job);
    m_hJobEvent.Set();
}

void CKalvoDlg::Burn(uint8_t job, uint8_t state, const char* tag) {
    m_bAwaitReady.store(false);
    ShowStatus("", 128);
    WriteLog(tag, m_byState.load());
    if (!g_ISPCtrl.IsPortOpen()) ShowStatus("请打开串口!\r\n", 128);
    if (job == JOB_BURN_HEX && m_bFwPending.load() == 0) {
        ShowStatus("请选择文件!\r\n", 128);
        return;
    }
    uint8_t current = m_byState.load();
    if (current == STATE_IDLE) {
        WriteLog("burn1");
        m_dwAckCount.store(0);
        ShowStatus("Разбор ...\r\n", 128);
        if (job == JOB_BURN_EDOG)
            WriteLog("#####[CKalvoDlg] On Burn Hex File :%d\r\n",
                     static_cast<int>(plat::GetTickCount()));
        TaskManager().ClearTask();
        if (job == JOB_BURN_EDOG) {
            if (auto edog = Holder(PAYLOAD_EDOG)) edog->m_dwEdogOffset = 0;
            WriteLog("#####[CKalvoDlg] bRet :%d\r\n", 1);
        }
        m_byState.store(state);
        PostJob(job);
    } else if (current == STATE_STOPPING) {
        return;
    } else {
        WriteLog("stop:%x", m_byJob.load());
        if (m_byJob.load() == job) {
            m_byState.store(STATE_IDLE);
        } else {
            g_ISPCtrl.m_nRunState.store(0);
            m_byState.store(STATE_STOPPING);
            m_dwAckCount.store(0);
        }
        ShowStatus("停止当前操作\r\n", 128);
    }
}

void CKalvoDlg::BurnHex() {
    Burn(JOB_BURN_HEX, STATE_BURN_FW, "burn(%x)");
}
void CKalvoDlg::BurnEdog() {
    Burn(JOB_BURN_EDOG, STATE_BURN_EDOG, "burn (%x)");
}
void CKalvoDlg::BurnMusic() {
    Burn(JOB_BURN_MUSIC, STATE_BURN_MUSIC, "burn (%x)");
}
void CKalvoDlg::BurnRadar() {
    Burn(JOB_BURN_RADAR, STATE_BURN_RADAR, "burn (%x)");
}

void CKalvoDlg::RunDownload(uint8_t job) {
    int which = job == JOB_BURN_HEX     ? PAYLOAD_FW
                : job == JOB_BURN_EDOG  ? PAYLOAD_EDOG
                : job == JOB_BURN_MUSIC ? PAYLOAD_MUSIC
                                        : PAYLOAD_RADAR;
    auto holder = Holder(which);
    bool ok = holder != nullptr;
    // An empty payload would send nothing and end in a time-out: say what is wrong instead.
    if (ok && which == PAYLOAD_FW) ok = holder->GetDataRecordCount() != 0;
    if (ok && which != PAYLOAD_FW) ok = holder->m_file.IsOpen() && holder->m_file.GetLength() != 0;
    if (ok) {
        switch (job) {
            case JOB_BURN_HEX:
                ok = g_ISPCtrl.DownloadHex(holder.get()) != 0;
                break;
            case JOB_BURN_EDOG:
                ok = g_ISPCtrl.DownloadEdog(holder.get()) != 0;
                break;
            case JOB_BURN_MUSIC:
                ok = g_ISPCtrl.DownloadMusic(holder.get()) != 0;
                break;
            default:
                ok = g_ISPCtrl.DownloadRadar(holder.get()) != 0;
                break;
        }
    }
    if (!ok) {
        {
            std::lock_guard<std::mutex> lock(m_runMtx);
            m_byState.store(STATE_IDLE);
            ShowStatus(kFileErrorText, 128);
        }
        Notify(PageEvent::FileError, holder ? holder->m_file.GetPath() : std::string());
    }
}

uint32_t CKalvoDlg::Run() {
    while (m_bStop.load() == 0) {
        bool signalled = m_hJobEvent.Wait(1000);
        if (m_bStop.load() != 0) break;
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

void CKalvoDlg::OnTimer(uint32_t /*id*/) {
    bool awaiting = m_bAwaitReady.exchange(false);
    if (m_byState.load() != STATE_IDLE || awaiting) {
        TaskManager().Stop();
        WriteLog("\r\n[CKolviDlg] timeout");
        ClosePort();
        m_byState.store(STATE_IDLE);
        ShowStatus(kTimeoutText, 128);
        g_ISPCtrl.m_nRunState.store(2);
        Notify(PageEvent::Timeout);
    } else if (m_pWnd != nullptr) {
        m_pWnd->KillTimer(m_bTimer2Set.load() == 1 ? TIMER_STOP : TIMER_REPLY);
    }
}

void CKalvoDlg::OnLinkFailure(const std::string& reason) {
    WriteLog("#####[CKalvoDlg] port write failed: %s\r\n", reason.c_str());
    if (m_bDestroyed.load()) return;
    TaskManager().Stop();
    ClosePort();
    if (m_pWnd != nullptr) m_pWnd->KillTimer(TIMER_REPLY);
    m_bAwaitReady.store(false);
    m_byState.store(STATE_IDLE);
    ShowStatus(kWriteFailedText, 128);
    g_ISPCtrl.m_nRunState.store(2);
    Notify(PageEvent::LinkLost, reason);
}

void CKalvoDlg::OnDestroy() {
    if (m_bDestroyed.exchange(true)) return;
    m_evShutdown.Set();
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

// ---------------------------------------------------------------------------------------------
// Service operations

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
    StartService(STATE_READ_FLASH, JOB_READ_FLASH);
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
