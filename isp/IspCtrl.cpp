// The controller core: the port, sending (sealing and writing a frame), the receive path
// (frames found in the byte stream, answers completed and matched to the command in flight) and
// the one result callback to the page.
#include "isp/IspCtrl.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/Log.h"
#include "isp/Frame.h"
#include "platform/Time.h"

// The controller comes first: the task manager keeps a pointer to it.
CISPCtrl g_ISPCtrl;
CCmdTaskManager g_CmdTaskManager(&g_ISPCtrl);

uint8_t g_pComPortList[MAX_COM_PORTS] = {};
std::atomic<uint8_t> g_byComPortCount{0};

namespace {

void ForwardReceive(void* receiver, const uint8_t* data, uint32_t count) {
    static_cast<CSerialObject*>(receiver)->OnReceive(data, count);
}

void ForwardLineLost(void* receiver) {
    static_cast<CSerialObject*>(receiver)->OnLineLost();
}

// Bytes as "%x " each, built once so a long frame is one log call.
void LogBytes(const char* head, const uint8_t* data, uint32_t count) {
    if (g_bLogEnable.load(std::memory_order_relaxed) == 0) return;
    std::string text(head);
    char buf[8];
    for (uint32_t i = 0; i < count; ++i) {
        std::snprintf(buf, sizeof buf, "%x ", data[i]);
        text += buf;
    }
    WriteLog("%s", text.c_str());
}

const uint8_t kNoData[4] = {0, 0, 0, 0};

// Reply bytes that make a status answer complete: its data lie between two 7-byte status frames.
int32_t AnswerBytes(uint8_t code) {
    int32_t data = ExpectedAnswerData(code);
    return data > 0 ? 14 + data : 12;
}

}  // namespace

CISPCtrl::CISPCtrl() = default;

CISPCtrl::~CISPCtrl() {
    m_serial.Close();
    m_fileRead.Close();
}

std::string CISPCtrl::GetWriteError() const {
    std::lock_guard<std::mutex> lock(m_errMtx);
    return m_strWriteError;
}

std::string CISPCtrl::GetReadError() const {
    std::lock_guard<std::mutex> lock(m_errMtx);
    return m_strReadError;
}

void CISPCtrl::WakePauses() {
    {
        std::lock_guard<std::mutex> lock(m_pauseMtx);
        ++m_nPauseWakes;
    }
    m_pauseCv.notify_all();
}

bool CISPCtrl::PauseReader(uint32_t ms) {
    std::unique_lock<std::mutex> lock(m_pauseMtx);
    const uint32_t wakes = m_nPauseWakes;
    // ClosePort counts the generation before it wakes the pauses.
    if (m_nPortGeneration.load() != m_nRecvGeneration) return false;
    return !m_pauseCv.wait_for(lock, plat::ToReal(ms), [&] { return m_nPauseWakes != wakes; });
}

void CISPCtrl::ClosePort() {
    m_nPortGeneration.fetch_add(1);
    // The reader may sit in a pause of the result handling: the close below waits for it.
    WakePauses();
    bool onReader = m_serial.IsCurrentThread();
    m_serial.Close();
    if (onReader) {
        // Handlers up the stack may still hold pointers into the reply buffer: empty it when the
        // next bytes arrive instead.
        m_byReplyState = REPLY_CONSUMED;
        m_nReplyScan = -1;
    } else {
        m_rxReply.Clear();
        m_nReplyScan = 0;
    }
}

int CISPCtrl::Open(uint8_t port, void* context) {
    ClosePort();
    m_serial.m_pfnReceive.store(&ForwardReceive);
    m_serial.m_pfnLineLost.store(&ForwardLineLost);
    m_serial.m_pReceiver.store(static_cast<CSerialObject*>(this));
    int ok = m_serial.Open(port);
    m_nPortGeneration.fetch_add(1);
    m_pfnResult.store(m_pfnRegister.load());
    m_pfnNotify.store(m_pfnNotifyRegister.load());
    m_pResultCtx.store(context);
    if (!ok) ClosePort();
    WriteLog("[CAutoTestCtrl]Thread:0x%x  %d\r\n", m_serial.m_dwThreadId,
             static_cast<int>(reinterpret_cast<intptr_t>(context)));
    return ok;
}

void CISPCtrl::CallbackData(const uint8_t* data, int32_t len, uint8_t code) {
    PFN_CMD_RESULT pfn = m_pfnResult.load();
    if (pfn == nullptr) return;
    if (data == nullptr || len <= 0) {
        data = kNoData;
        len = 0;
    }
    pfn(data, m_pResultCtx.load(), code, len);
}

void CISPCtrl::Notify(const uint8_t* data, int32_t len, uint8_t code) {
    PFN_CMD_RESULT pfn = m_pfnNotify.load();
    if (pfn == nullptr) return;
    if (data == nullptr || len <= 0) {
        data = kNoData;
        len = 0;
    }
    pfn(data, m_pResultCtx.load(), code, len);
}

void CISPCtrl::Callback(int32_t offset, uint8_t code) {
    if (m_rxReply.m_pData == nullptr || offset >= m_nFrameEnd) {
        CallbackData(nullptr, 0, code);
        return;
    }
    CallbackData(m_rxReply.m_pData + offset, m_nFrameEnd - offset, code);
}

int CISPCtrl::send_data(const uint8_t* frame, int32_t n) {
    if (frame == nullptr || n < 4) return 0;
    if (g_bLogEnable.load(std::memory_order_relaxed) != 0) {
        WriteLog("[CISPCtrl] send_data(%x) :%d\r\n", frame[3], n);
        LogBytes("", frame, static_cast<uint32_t>(n));
    }
    if (!m_serial.IsOpen()) return 0;
    // The port this frame is meant for: a failure after it was closed or replaced is not ours.
    uint32_t generation = m_nPortGeneration.load();
    if (m_nGivenUpOn.load() == generation + 1) {
        WriteLog("[CISPCtrl] a send was given up on this port: %x not sent\r\n", frame[3]);
        return 0;
    }
    // The page learns what is in flight: the command code and what follows it.
    Notify(frame + 3, n - 3, NOTIFY_SENDING);

    std::vector<uint8_t> sealed(frame, frame + n);
    sealed.push_back(isp::FrameChecksum(frame, n));
    bool ok = false;
    if (auto lock = Lock(); m_serial.IsOpen()) {
        m_serial.m_bSent.store(1);
        m_serial.m_dwSendTick.store(plat::GetTickCount());
        WriteLog("1111111\r\n");
        ok = m_serial.Write(sealed.data(), static_cast<uint32_t>(sealed.size()));
    }
    if (!ok) {
        std::string reason = m_serial.GetLastErrorText();
        if (reason.empty()) reason = "port closed";
        WriteLog("[CISPCtrl] write of %d bytes failed: %s\r\n", n + 1, reason.c_str());
        if (generation != m_nPortGeneration.load()) {
            WriteLog("[CISPCtrl] the port was closed under that write: not a link failure\r\n");
            return 0;
        }
        {
            std::lock_guard<std::mutex> lock(m_errMtx);
            m_strWriteError = reason;
        }
        Notify(nullptr, 0, NOTIFY_WRITE_FAILED);
    }
    return ok ? 1 : 0;
}

void CISPCtrl::OnSendGivenUp(uint32_t elapsedMs) {
    if (!m_serial.IsOpen()) return;
    m_nGivenUpOn.store(m_nPortGeneration.load() + 1);
    // Without the lock: the download that queues may hold it in the AddTask that gave up. What it
    // queues still is refused by send_data.
    m_nDownloadGeneration.fetch_add(1);
    {
        std::lock_guard<std::mutex> lock(m_errMtx);
        m_strWriteError = m_serial.GetPath() + ": a write did not finish within 2000 ms (" +
                          std::to_string(elapsedMs) + " ms), the frames queued were dropped";
    }
    WriteLog("[CISPCtrl] send given up after %u ms\r\n", elapsedMs);
    Notify(nullptr, 0, NOTIFY_WRITE_FAILED);
}

void CISPCtrl::OnLineLost() {
    {
        std::lock_guard<std::mutex> lock(m_errMtx);
        m_strWriteError = m_serial.GetPath() + ": line hung up";
    }
    Notify(nullptr, 0, NOTIFY_LINE_LOST);
}

int CISPCtrl::OnReceive(const uint8_t* data, uint32_t count) {
    if (data == nullptr || count == 0) return 1;
    m_nRecvGeneration = m_nPortGeneration.load();
    m_rxStream.Append(data, static_cast<int32_t>(count));
    if (m_byReplyState >= REPLY_CONSUMED) {
        m_byReplyState = REPLY_COLLECTING;
        m_rxReply.Clear();
        m_nReplyScan = 0;
    }
    if (m_rxReply.m_nLen + static_cast<int64_t>(count) > MAX_REPLY_BYTES) {
        WriteLog("[CISPCtrl] reply buffer over %d bytes, dropped\r\n", MAX_REPLY_BYTES);
        m_rxReply.Clear();
        m_nReplyScan = 0;
    }
    m_rxReply.Append(data, static_cast<int32_t>(count));
    LogBytes("Data is : ", data, count);
    isp::ExtractFrames(m_rxStream, [this](const CRawString& frame) {
        LocateFrame(frame);
        OnFrame(frame);
    });
    // An answer consumed in mid-chunk: what may begin a frame after it starts the next answer.
    if (m_byReplyState >= REPLY_CONSUMED && m_nReplyScan > 0 && m_nReplyScan < m_rxReply.m_nLen) {
        CRawString tail;
        tail.Append(m_rxReply.m_pData + m_nReplyScan, m_rxReply.m_nLen - m_nReplyScan);
        int32_t live = isp::FirstLiveCandidate(tail);
        if (live < tail.m_nLen && m_rxReply.Remove(0, m_nReplyScan + live)) {
            m_byReplyState = REPLY_COLLECTING;
            m_nReplyScan = 0;
        }
    }
    return 1;
}

void CISPCtrl::LocateFrame(const CRawString& frame) {
    m_nFrameEnd = m_rxReply.m_nLen;
    if (m_nReplyScan < 0 || frame.m_pData == nullptr || m_rxReply.m_pData == nullptr) return;
    // Frames are found in stream order, so this one is the first copy after the previous one.
    const uint8_t* p = m_rxReply.m_pData;
    const uint8_t* end = p + m_rxReply.m_nLen;
    const uint8_t* at = p + m_nReplyScan;
    for (;; ++at) {
        at = std::find(at, end, isp::FRAME_START);
        if (end - at <= frame.m_nLen) return;
        if (std::memcmp(at + 1, frame.m_pData, static_cast<size_t>(frame.m_nLen)) == 0) break;
    }
    int32_t start = static_cast<int32_t>(at - p);
    // An answer starts with this frame unless one with data is under way: what lies before it
    // (line noise, the answer consumed before) goes, so that the answer's data are read from
    // where its own first frame begins.
    if (m_byReplyState != REPLY_MULTIPART && start > 0 && m_rxReply.Remove(0, start)) {
        if (m_byReplyState >= REPLY_CONSUMED) m_byReplyState = REPLY_COLLECTING;
        start = 0;
    }
    m_nFrameEnd = start + 1 + frame.m_nLen;
    m_nReplyScan = m_nFrameEnd;
}

void CISPCtrl::OnFrame(const CRawString& frame) {
    uint8_t code = frame.GetAt(2);
    uint8_t p0 = frame.GetAt(3);
    uint8_t p1 = frame.GetAt(4);
    WriteLog("cmd===%x \n ", code);
    switch (code) {
        case CMD_STATUS:
            if (p1 == 1) {
                m_byReplyState = REPLY_MULTIPART;
                // The baud change is acted on at its first status frame, before the device
                // switches: the second one comes at the new rate.
                if (p0 == CMD_SET_BAUD && TaskManager().IsInFlight(CMD_SET_BAUD))
                    Callback(0, CMD_SET_BAUD);
            } else if (p1 == 2) {
                if (m_nFrameEnd >= AnswerBytes(p0)) {
                    m_byReplyState = REPLY_CONSUMED;
                    finish_task(frame);
                }
            } else if (m_nFrameEnd >= 12) {
                // Consumed whatever code it names (codes 0 and 1 would read as collecting).
                m_byReplyState = p0 >= REPLY_CONSUMED ? p0 : static_cast<uint8_t>(REPLY_CONSUMED);
                OnStatusError(frame);
            }
            break;
        case CMD_FW_READY:
        case CMD_LOADER_STARTED:
        case CMD_EDOG_READY:
        case CMD_MUSIC_READY:
        case CMD_RADAR_READY:
            m_byReplyState = REPLY_CONSUMED;
            Callback(7, code);
            break;
        case CMD_FW_BEGIN:
            m_byReplyState = REPLY_CONSUMED;
            // The version word lies at offsets 5 and 6: a shorter frame tells nothing.
            if (m_nFrameEnd >= 8)
                Callback(5, CMD_FW_BEGIN);
            else
                WriteLog("[CISPCtrl] version answer of %d bytes dropped\r\n", m_nFrameEnd);
            break;
        case CMD_EDOG_ACK:
        case CMD_MUSIC_ACK:
        case CMD_RADAR_ACK:
            m_byReplyState = REPLY_CONSUMED;
            finish_task(frame);
            break;
        case CMD_PROBE_ACK:
            m_nSelectNum.store(p1);
            WriteLog("celect num ===%d\r\n ", p1);
            m_bProbeAnswered.store(true);
            m_byReplyState = REPLY_CONSUMED;
            finish_task(frame);
            break;
        default:
            break;
    }
}

void CISPCtrl::finish_task(const CRawString& frame) {
    uint8_t code = frame.GetAt(2);
    uint8_t s = frame.GetAt(3);
    int32_t need = (code == CMD_STATUS) ? AnswerBytes(s) : 6;
    if (m_nFrameEnd < need || frame.m_nLen < 4) return;
    // Verify results are the device's own reports: no command of ours is answered by them.
    if (m_nRunState.load() == RUN_RUNNING && s != CMD_VERIFY && !TaskManager().IsInFlight(s)) {
        WriteLog("[CISPCtrl] answer %x for %x, which is not in flight: dropped\r\n", code, s);
        return;
    }
    // The command answered, so that the page disarms its reply timer only for its own command.
    Notify(&s, 1, NOTIFY_REPLY);
    // Read after the notice: the page may have ended a stop there.
    int32_t runState = m_nRunState.load();
    if (runState == RUN_RUNNING) {
        TaskManager().FinishTask(s);
    } else {
        CancelDownloads();
        TaskManager().ClearTask();
        m_nRunState.store(RUN_STOPPED);
    }
    if (code == CMD_STATUS) {
        // The answer data lie between the two status frames: as many as the command gives.
        int32_t expected = ExpectedAnswerData(s);
        int32_t dataLen = expected > 0 ? expected : m_nFrameEnd - 14;
        if (dataLen < 0) dataLen = 0;
        const uint8_t* data = m_nFrameEnd > 7 ? m_rxReply.m_pData + 7 : nullptr;
        if (s == CMD_READ_BLOCK && runState == RUN_RUNNING) {
            if (RetryReadBlock(data, dataLen)) return;
            uint32_t generation = m_nReadGeneration.load();
            CallbackData(data, dataLen, s);
            QueueNextReadBlock(generation);
        } else {
            CallbackData(data, dataLen, s);
        }
    } else {
        Callback(7, code);
    }
    if (code == CMD_PROBE_ACK && runState == RUN_RUNNING)
        WriteLog("\r\n[CISPCtrl] finish task(%x) :%d\r\n", s,
                 static_cast<int>(plat::GetTickCount()));
    if (code == CMD_STATUS && s == CMD_FLASH_SIZE && m_nFrameEnd > 7)
        LookupFlashSize(m_rxReply.m_pData + 7);
}

void CISPCtrl::OnStatusError(const CRawString& frame) {
    if (m_nFrameEnd < 12) return;
    uint8_t answered = frame.GetAt(3);
    if (m_nRunState.load() == RUN_RUNNING && !TaskManager().IsInFlight(answered)) {
        WriteLog("[CISPCtrl] error status for %x, which is not in flight: dropped\r\n", answered);
        return;
    }
    CancelDownloads();
    TaskManager().ClearTask();
    m_nRunState.store(RUN_RUNNING);
    uint8_t result = frame.GetAt(4);
    Notify(&result, 1, NOTIFY_DEVICE_ERROR);
    uint8_t refused = frame.GetAt(3);
    Notify(&refused, 1, NOTIFY_REPLY);
}
