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

CCmdTaskManager& TaskManager() {
    return *CCmdTaskManager::GetInstance();
}

void ForwardReceive(void* receiver, const uint8_t* data, uint32_t count) {
    static_cast<CSerialObject*>(receiver)->OnReceive(data, count);
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

struct FlashSizeRow {
    uint8_t code;
    uint32_t kb;
};
const FlashSizeRow kFlashSizeTable[21] = {
    {0x00, 2},   {0x11, 4},   {0x01, 6},   {0x03, 8},   {0x23, 10},  {0x13, 12},  {0x04, 16},
    {0x24, 20},  {0x14, 24},  {0x05, 32},  {0x25, 40},  {0x15, 48},  {0x06, 64},  {0x16, 96},
    {0x07, 128}, {0x17, 192}, {0x08, 256}, {0x18, 384}, {0x09, 512}, {0x19, 768}, {0x0A, 1024},
};

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

void CISPCtrl::ClosePort() {
    bool onReader = m_serial.IsCurrentThread();
    m_serial.Close();
    if (onReader) {
        // Handlers up the stack may still hold pointers into the reply buffer: empty it when the
        // next bytes arrive instead.
        m_byReplyState = 2;
        m_nReplyScan = -1;
    } else {
        m_rxReply.Clear();
        m_nReplyScan = 0;
    }
}

int CISPCtrl::Open(uint8_t port, void* context) {
    ClosePort();
    m_serial.m_pfnReceive.store(&ForwardReceive);
    m_serial.m_pReceiver.store(static_cast<CSerialObject*>(this));
    int ok = m_serial.Open(port);
    m_pfnResult.store(m_pfnRegister.load());
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
    CallbackData(nullptr, 0, NOTIFY_SENDING);

    std::vector<uint8_t> sealed(frame, frame + n);
    sealed.push_back(isp::FrameChecksum(frame, n));
    if (!Lock()) return 0;
    bool ok = false;
    if (m_serial.IsOpen()) {
        m_serial.m_bSent.store(1);
        m_serial.m_dwSendTick.store(plat::GetTickCount());
        WriteLog("1111111\r\n");
        ok = m_serial.Write(sealed.data(), static_cast<uint32_t>(sealed.size()));
    }
    Unlock();
    if (!ok) {
        std::string reason = m_serial.GetLastErrorText();
        if (reason.empty()) reason = "port closed";
        WriteLog("[CISPCtrl] write of %d bytes failed: %s\r\n", n + 1, reason.c_str());
        {
            std::lock_guard<std::mutex> lock(m_errMtx);
            m_strWriteError = reason;
        }
        CallbackData(nullptr, 0, NOTIFY_WRITE_FAILED);
    }
    return ok ? 1 : 0;
}

int CISPCtrl::OnReceive(const uint8_t* data, uint32_t count) {
    if (data == nullptr || count == 0) return 1;
    m_rxStream.Append(data, static_cast<int32_t>(count));
    if (m_byReplyState >= 2) {
        m_byReplyState = 0;
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
    if (m_byReplyState >= 2 && m_nReplyScan > 0 && m_nReplyScan < m_rxReply.m_nLen) {
        CRawString tail;
        tail.Append(m_rxReply.m_pData + m_nReplyScan, m_rxReply.m_nLen - m_nReplyScan);
        int32_t live = isp::FirstLiveCandidate(tail);
        if (live < tail.m_nLen && m_rxReply.Remove(0, m_nReplyScan + live)) {
            m_byReplyState = 0;
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
    // The answer before it was consumed in this chunk: the next one starts with this frame.
    if (m_byReplyState >= 2 && start > 0 && m_rxReply.Remove(0, start)) {
        m_byReplyState = 0;
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
                m_byReplyState = 1;
                // The baud change is acted on at its first status frame, before the device
                // switches: the second one comes at the new rate.
                if (p0 == CMD_SET_BAUD) Callback(0, CMD_SET_BAUD);
            } else if (p1 == 2) {
                if (m_nFrameEnd >= AnswerBytes(p0)) {
                    m_byReplyState = 2;
                    finish_task(frame);
                }
            } else if (m_nFrameEnd >= 12) {
                // Consumed whatever code it names (codes 0 and 1 would read as collecting).
                m_byReplyState = p0 >= 2 ? p0 : 2;
                OnStatusError(frame);
            }
            break;
        case CMD_FW_READY:
        case CMD_LOADER_STARTED:
        case CMD_EDOG_READY:
        case CMD_MUSIC_READY:
        case CMD_RADAR_READY:
            m_byReplyState = 2;
            Callback(7, code);
            break;
        case CMD_FW_BEGIN:
            m_byReplyState = 2;
            Callback(5, CMD_FW_BEGIN);
            break;
        case CMD_EDOG_ACK:
        case CMD_MUSIC_ACK:
        case CMD_RADAR_ACK:
            m_byReplyState = 2;
            finish_task(frame);
            break;
        case CMD_PROBE_ACK:
            m_nSelectNum.store(p1);
            WriteLog("celect num ===%d\r\n ", p1);
            m_bProbeAnswered.store(true);
            m_byReplyState = 2;
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
    Callback(0, NOTIFY_REPLY);
    int32_t runState = m_nRunState.load();
    if (runState == 2) {
        TaskManager().FinishTask(s);
    } else {
        CancelDownloads();
        TaskManager().ClearTask();
        m_nRunState.store(1);
    }
    if (code == CMD_STATUS) {
        // The answer data lie between the two status frames.
        int32_t dataLen = m_nFrameEnd - 14;
        if (dataLen < 0) dataLen = 0;
        CallbackData(m_nFrameEnd > 7 ? m_rxReply.m_pData + 7 : nullptr, dataLen, s);
    } else {
        Callback(7, code);
    }
    if (code == CMD_PROBE_ACK && runState == 2)
        WriteLog("\r\n[CISPCtrl] finish task(%x) :%d\r\n", s,
                 static_cast<int>(plat::GetTickCount()));
    if (code == CMD_STATUS && s == CMD_FLASH_SIZE && m_nFrameEnd > 7)
        LookupFlashSize(m_rxReply.m_pData + 7);
}

void CISPCtrl::OnStatusError(const CRawString& frame) {
    if (m_nFrameEnd < 12) return;
    CancelDownloads();
    TaskManager().ClearTask();
    m_nRunState.store(2);
    uint8_t result = frame.GetAt(4);
    CallbackData(&result, 1, NOTIFY_DEVICE_ERROR);
    Callback(0, NOTIFY_REPLY);
}

void CISPCtrl::QueueFrame(uint8_t code, const uint8_t* payload, int32_t len) {
    auto* rec = new CISPPacket;
    const uint8_t head[4] = {isp::FRAME_START, static_cast<uint8_t>(5 + len), 0x00, code};
    rec->m_frame.Append(head, 4);
    if (len > 0) rec->m_frame.Append(payload, len);
    TaskManager().AddTask(*rec);
    delete rec;
}

void CISPCtrl::GetChipVersion() {
    QueueFrame(CMD_CHIP_VERSION, nullptr, 0);
}
void CISPCtrl::GetChipID() {
    QueueFrame(CMD_CHIP_ID, nullptr, 0);
}
void CISPCtrl::GetFlashSize() {
    QueueFrame(CMD_FLASH_SIZE, nullptr, 0);
}
void CISPCtrl::QueryChipExtra() {
    QueueFrame(CMD_CHIP_EXTRA, nullptr, 0);
}
void CISPCtrl::EndFirmware() {
    QueueFrame(CMD_FW_END, nullptr, 0);
}
void CISPCtrl::EndEdog() {
    QueueFrame(CMD_EDOG_END, nullptr, 0);
}
void CISPCtrl::BeginEdog() {
    QueueFrame(CMD_EDOG_BEGIN, nullptr, 0);
}
void CISPCtrl::EndMusic() {
    QueueFrame(CMD_MUSIC_END, nullptr, 0);
}
void CISPCtrl::BeginMusic() {
    QueueFrame(CMD_MUSIC_BEGIN, nullptr, 0);
}

void CISPCtrl::SetDeviceBaud(uint32_t baud) {
    const uint8_t p[3] = {static_cast<uint8_t>(baud), static_cast<uint8_t>(baud >> 8),
                          static_cast<uint8_t>(baud >> 16)};
    QueueFrame(CMD_SET_BAUD, p, 3);
}

void CISPCtrl::AnswerLoaderStarted() {
    const uint8_t p[2] = {CMD_LOADER_STARTED, 0x02};
    QueueFrame(CMD_STATUS, p, 2);
}

void CISPCtrl::SendEcho() {
    const uint8_t p[1] = {0xAC};
    QueueFrame(CMD_ECHO, p, 1);
}

int CISPCtrl::EraseChip() {
    QueueFrame(CMD_ERASE_CHIP, nullptr, 0);
    return 1;
}

void CISPCtrl::BeginFirmware(uint16_t version) {
    const uint8_t p[2] = {static_cast<uint8_t>(version >> 8), static_cast<uint8_t>(version)};
    QueueFrame(CMD_FW_BEGIN, p, 2);
}

void CISPCtrl::BeginRadar(const uint8_t* length4) {
    static const uint8_t zero[4] = {0, 0, 0, 0};
    QueueFrame(CMD_RADAR_BEGIN, length4 != nullptr ? length4 : zero, 4);
}

void CISPCtrl::AbortReadFlash() {
    if (m_nReadBlocks.exchange(0) != 0) m_fileRead.Close();
}

void CISPCtrl::CancelReadFlash() {
    m_nReadGeneration.fetch_add(1);
    AbortReadFlash();
    TaskManager().ClearTask();
}

int CISPCtrl::ReadFlash() {
    AbortReadFlash();
    uint32_t generation = m_nReadGeneration.load();
    uint32_t blocks = m_dwFlashSizeKB.load() / 2;
    uint32_t address = 0x08000000;
    auto* rec = new CISPPacket;
    for (uint32_t b = 0; b < blocks && m_nReadGeneration.load() == generation; ++b) {
        const uint8_t f[10] = {isp::FRAME_START,
                               0x0B,
                               0x00,
                               CMD_READ_BLOCK,
                               static_cast<uint8_t>(address),
                               static_cast<uint8_t>(address >> 8),
                               static_cast<uint8_t>(address >> 16),
                               static_cast<uint8_t>(address >> 24),
                               0x00,
                               0x08};
        rec->m_frame.Clear();
        rec->m_frame.Append(f, 10);
        TaskManager().AddTask(*rec);
        address += 0x800;
    }
    delete rec;
    return 1;
}

int CISPCtrl::SaveReadBlock(const std::string& name, const uint8_t* data, int32_t dataLen) {
    constexpr int32_t kRecords = 128;
    constexpr int32_t kAnswer = kRecords * 17;
    auto fail = [&](const std::string& why) {
        WriteLog("[CISPCtrl] flash dump %s: %s\r\n", name.c_str(), why.c_str());
        {
            std::lock_guard<std::mutex> lock(m_errMtx);
            m_strReadError = why;
        }
        AbortReadFlash();
        return 0;
    };
    if (data == nullptr || dataLen < kAnswer)
        return fail("short answer (" + std::to_string(dataLen < 0 ? 0 : dataLen) + " of " +
                    std::to_string(kAnswer) + " bytes)");
    if (m_nReadBlocks.load() == 0) {
        if (!m_fileRead.Open(name, plat::CFile::modeCreate | plat::CFile::modeWrite))
            return fail("cannot create the file: " + m_fileRead.LastError());
        m_fileRead.SeekToBegin();
    }
    uint8_t block[kRecords * 16];
    bool bad = false;
    for (int32_t r = 0; r < kRecords; ++r) {
        const uint8_t* rec = data + r * 17;
        uint8_t sum = 0;
        for (int k = 0; k < 16; ++k) sum = static_cast<uint8_t>(sum + rec[k]);
        if (sum != rec[16]) bad = true;
        std::memcpy(block + r * 16, rec, 16);
    }
    if (!m_fileRead.Write(block, sizeof block))
        return fail("cannot write the file: " + m_fileRead.LastError());
    int32_t blocks = m_nReadBlocks.fetch_add(1) + 1;
    uint32_t kb = m_dwFlashSizeKB.load();
    uint32_t percent = kb != 0 ? static_cast<uint32_t>(blocks) * 200u / kb : 100u;
    if (percent == 100) m_nReadBlocks.store(0);
    uint8_t progress = bad ? 0xFF : static_cast<uint8_t>(percent);
    CallbackData(&progress, 1, NOTIFY_READ_PROGRESS);
    if (m_nReadBlocks.load() == 0) m_fileRead.Close();
    return 1;
}

uint32_t CISPCtrl::LookupFlashSize(const uint8_t* code) {
    if (code != nullptr) {
        for (const FlashSizeRow& row : kFlashSizeTable) {
            if (row.code == *code) {
                m_dwFlashSizeKB.store(row.kb);
                break;
            }
        }
    }
    return m_dwFlashSizeKB.load();
}

int CISPCtrl::DownloadHex(CHEXFile* image) {
    size_t n = image != nullptr ? image->GetRecordCount() : 0;
    WriteLog("\r\n my flash size is:%d\r\n", static_cast<int>(m_dwFlashSizeKB.load()));
    WriteLog("\r\n dwPacketNum is:%ld\r\n", static_cast<long>(n));
    if (n == 0) return 0;
    // Refuse what would be written to the wrong place before anything is queued: the upper
    // address must come from a type-04 record before the first data record. Start-address
    // records (03, 05) carry nothing to write; some tools put one first.
    bool haveUpper = false;
    for (size_t i = 0; i < n; ++i) {
        HEX_RECORD r = image->GetRecord(i);
        bool badExt = r.byType == 0x04 && (r.byLen != 2 || r.pData == nullptr);
        bool unplaced = r.byType == 0x00 && !haveUpper;
        if (badExt || unplaced || r.byType == 0x02 || r.byType > 0x05) {
            WriteLog("[CISPCtrl] record %ld of type %d cannot be written\r\n", static_cast<long>(i),
                     r.byType);
            return 0;
        }
        if (r.byType == 0x04) haveUpper = true;
    }
    uint32_t generation = m_nDownloadGeneration.load();
    auto* rec = new CISPPacket;
    for (size_t i = 0; i < n; ++i) {
        HEX_RECORD r = image->GetRecord(i);
        if (r.byType == 0x04) {
            m_dwUpperAddr = static_cast<uint32_t>(r.pData[0]) << 8 | r.pData[1];
            continue;
        }
        if (r.byType != 0x00) continue;
        if (m_nRunState.load() == 0) break;
        uint32_t addr = (m_dwUpperAddr << 16) + r.wAddr;
        uint32_t len = static_cast<uint32_t>(r.byLen) + 10;
        uint8_t head[9] = {isp::FRAME_START,
                           static_cast<uint8_t>(len),
                           static_cast<uint8_t>(len >> 8),
                           CMD_WRITE_HEX,
                           static_cast<uint8_t>(addr),
                           static_cast<uint8_t>(addr >> 8),
                           static_cast<uint8_t>(addr >> 16),
                           static_cast<uint8_t>(addr >> 24),
                           r.byLen};
        rec->m_frame.Clear();
        rec->m_frame.Append(head, 9);
        if (r.byLen > 0 && r.pData != nullptr) rec->m_frame.Append(r.pData, r.byLen);
        if (!QueueDownloadFrame(*rec, generation)) break;
    }
    delete rec;
    return 1;
}

bool CISPCtrl::QueueDownloadFrame(CISPPacket& rec, uint32_t generation) {
    // Checked and queued under one lock with CancelDownloads: once the queue has been dropped
    // for an error, no later frame of the payload may reach the device (it would leave a hole).
    std::lock_guard<std::mutex> lock(m_downloadMtx);
    if (m_nDownloadGeneration.load() != generation || m_nRunState.load() == 0) return false;
    TaskManager().AddTask(rec);
    return true;
}

void CISPCtrl::CancelDownloads() {
    std::lock_guard<std::mutex> lock(m_downloadMtx);
    m_nDownloadGeneration.fetch_add(1);
}

int CISPCtrl::DownloadRaw(CHEXFile* holder, uint8_t code, uint32_t chunk, uint32_t& offset) {
    if (holder == nullptr || !holder->m_file.IsOpen()) {
        WriteLog("[CISPCtrl] payload file for %x is not open\r\n", code);
        return 0;
    }
    uint64_t length = holder->m_file.GetLength();
    uint32_t packets = static_cast<uint32_t>(length / chunk + (length % chunk != 0 ? 1 : 0));
    m_dwRawFrames.store(packets);
    WriteLog("\r\n dwPacketNum is:%ld  len==%d\r\n", static_cast<long>(packets),
             static_cast<int>(length));
    std::vector<uint8_t> buffer(chunk);
    uint32_t generation = m_nDownloadGeneration.load();
    auto* rec = new CISPPacket;
    int result = 1;
    for (uint32_t p = 0; p < packets; ++p) {
        uint32_t at = offset;
        holder->m_file.Seek(at);
        offset += chunk;
        uint32_t got = holder->m_file.Read(buffer.data(), chunk);
        uint64_t expect = length > at ? std::min<uint64_t>(chunk, length - at) : 0;
        if (got < expect) {
            // The file changed under us: sending the rest would leave a hole on the device.
            WriteLog("[CISPCtrl] payload file read short at %u: %u of %u bytes\r\n", at, got,
                     static_cast<uint32_t>(expect));
            TaskManager().ClearTask();
            result = 0;
            break;
        }
        if (got == 0) continue;
        uint32_t len = got + 5;
        const uint8_t head[4] = {isp::FRAME_START, static_cast<uint8_t>(len),
                                 static_cast<uint8_t>(len >> 8), code};
        rec->m_frame.Clear();
        rec->m_frame.Append(head, 4);
        rec->m_frame.Append(buffer.data(), static_cast<int32_t>(got));
        if (!QueueDownloadFrame(*rec, generation)) break;
    }
    delete rec;
    return result;
}

int CISPCtrl::DownloadEdog(CHEXFile* holder) {
    if (holder == nullptr) return 0;
    return DownloadRaw(holder, CMD_EDOG_DATA, 4096, holder->m_dwEdogOffset);
}

int CISPCtrl::DownloadMusic(CHEXFile* holder) {
    if (holder == nullptr) return 0;
    holder->m_dwMusicOffset = 0;
    return DownloadRaw(holder, CMD_MUSIC_DATA, 4096, holder->m_dwMusicOffset);
}

int CISPCtrl::DownloadRadar(CHEXFile* holder) {
    if (holder == nullptr) return 0;
    return DownloadRaw(holder, CMD_RADAR_DATA, 1024, holder->m_dwRadarOffset);
}

void CISPCtrl::ProbeLoop(bool checkJob, void* context) {
    uint8_t count = g_byComPortCount.load();
    if (count > MAX_COM_PORTS) count = MAX_COM_PORTS;
    auto* rec = new CISPPacket;
    for (uint8_t i = 0; i < count; ++i) {
        uint8_t p = g_pComPortList[i];
        WriteLog("\ri  is:%d  com=%d\r\n", i, p);
        int ok = Open(p, context);
        if (checkJob) WriteLog("\r  bRet[%d] is  %d\r\n", i, ok);
        if (IsPortOpen()) {
            WriteLog("\r  COM[%d] is  ok\r\n", p);
            TaskManager().ClearTask();
            const uint8_t f[5] = {isp::FRAME_START, 0x06, 0x00, CMD_PROBE, p};
            rec->m_frame.Clear();
            rec->m_frame.Append(f, 5);
            TaskManager().AddTask(*rec);
        } else {
            WriteLog("\r  COM[%d] is  error\r\n", p);
        }
    }
    delete rec;
}

void CISPCtrl::ProbeAllPorts(void* context) {
    m_bProbeAnswered.store(false);
    ProbeLoop(false, context);
}

int CISPCtrl::ProbePorts() {
    m_bProbeAnswered.store(false);
    ProbeLoop(true, m_pResultCtx.load());
    // Nothing else ends this wait: stop at the answer, or give up after a reply time-out.
    uint32_t start = plat::GetTickCount();
    while (m_nProbeMode.load() != 1 && !m_bProbeAnswered.load() && IsPortOpen() &&
           plat::GetTickCount() - start < PROBE_WAIT_MS)
        plat::Sleep(10);
    WriteLog("\r  CLOSE  COM\r\n");
    ClosePort();
    return 1;
}

int CISPCtrl::CompareReadBack(CHEXFile* image, const uint8_t* data, int32_t dataLen) {
    if (image == nullptr) return 0;
    size_t n = image->GetRecordCount();
    if (n == 0) return 0;
    // Walk the data records only, as the download sent them, and wrap after the last one.
    size_t i = static_cast<size_t>(m_nVerifyIndex.load());
    while (i < n && image->GetRecord(i).byType != 0x00) ++i;
    if (i >= n) {
        i = 0;
        while (i < n && image->GetRecord(i).byType != 0x00) ++i;
        if (i >= n) return 0;
    }
    size_t next = i + 1;
    while (next < n && image->GetRecord(next).byType != 0x00) ++next;
    m_nVerifyIndex.store(next >= n ? 0 : static_cast<int32_t>(next));

    HEX_RECORD r = image->GetRecord(i);
    int32_t count = r.pData != nullptr ? r.byLen : 0;
    bool same = data != nullptr && dataLen >= count &&
                (count == 0 || std::memcmp(data, r.pData, static_cast<size_t>(count)) == 0);
    if (same) return 1;
    if (g_bLogEnable.load(std::memory_order_relaxed) != 0) {
        std::string text = "\r\n data is:";
        char buf[8];
        for (int32_t k = 0; k < count && data != nullptr && k < dataLen; ++k) {
            std::snprintf(buf, sizeof buf, "%d ", data[k]);
            text += buf;
        }
        text += "\r\n hex data is:";
        for (int32_t k = 0; k < count; ++k) {
            std::snprintf(buf, sizeof buf, "%d ", r.pData[k]);
            text += buf;
        }
        WriteLog("%s", text.c_str());
    }
    return 0;
}
