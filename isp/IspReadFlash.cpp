// Flash read-out: the block requests of ReadFlash, the dump file written by SaveReadBlock with its
// progress, and the flash-size table of the chip's size code.
#include <cstring>
#include <vector>

#include "core/Log.h"
#include "image/HexCheck.h"
#include "isp/Frame.h"
#include "isp/IspCtrl.h"

namespace {

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

bool ReadBlockIntact(const uint8_t* data, int32_t len) {
    constexpr int32_t kRecords = 128;
    if (data == nullptr || len < kRecords * 17) return false;
    for (int32_t r = 0; r < kRecords; ++r) {
        const uint8_t* rec = data + r * 17;
        uint8_t sum = 0;
        for (int k = 0; k < 16; ++k) sum = static_cast<uint8_t>(sum + rec[k]);
        if (sum != rec[16]) return false;
    }
    return true;
}

namespace {

void QueueReadBlock(CCmdTaskManager& tasks, uint32_t address) {
    // The address, then the byte count: one 2048-byte block.
    uint8_t f[10];
    isp::PutFrameHead(f, CMD_READ_BLOCK, 6);
    isp::PutLe32(f + 4, address);
    f[8] = 0x00;
    f[9] = 0x08;
    CISPPacket rec;
    rec.m_frame.Append(f, 10);
    tasks.AddTask(rec);
}

}  // namespace

void CISPCtrl::AbortReadFlash() {
    if (m_nReadBlocks.exchange(0) != 0) m_fileRead.Close();
}

void CISPCtrl::CancelReadFlash() {
    {
        std::lock_guard<std::mutex> lock(m_readMtx);
        m_nReadGeneration.fetch_add(1);
        m_readPlan.clear();
    }
    AbortReadFlash();
    TaskManager().ClearTask();
}

int CISPCtrl::ReadFlash() {
    AbortReadFlash();
    uint32_t blocks = m_dwFlashSizeKB.load() / 2;
    std::vector<uint32_t> addresses;
    for (uint32_t b = 0; b < blocks; ++b) addresses.push_back(HEX_FLASH_BASE + b * 0x800);
    return ReadFlashBlocks(addresses);
}

int CISPCtrl::ReadFlashBlocks(const std::vector<uint32_t>& addresses) {
    uint32_t generation = 0;
    {
        std::lock_guard<std::mutex> lock(m_readMtx);
        generation = m_nReadGeneration.fetch_add(1) + 1;
        m_readPlan = addresses;
        m_nReadNext = 0;
    }
    QueueNextReadBlock(generation);
    return 1;
}

// One block at a time: a block that fails its check can then be asked for again before the next.
void CISPCtrl::QueueNextReadBlock(uint32_t generation) {
    std::lock_guard<std::mutex> lock(m_readMtx);
    if (m_nReadGeneration.load() != generation || m_nReadNext >= m_readPlan.size()) return;
    uint32_t address = m_readPlan[m_nReadNext++];
    m_nReadTries = 0;
    m_dwReadAddr.store(address);
    QueueReadBlock(TaskManager(), address);
}

bool CISPCtrl::RetryReadBlock(const uint8_t* data, int32_t len) {
    m_dwReadAnswered.store(m_dwReadAddr.load());
    if (ReadBlockIntact(data, len)) return false;
    std::lock_guard<std::mutex> lock(m_readMtx);
    if (m_nReadNext == 0 || m_nReadTries >= READ_RETRIES) return false;
    ++m_nReadTries;
    uint32_t address = m_dwReadAddr.load();
    WriteLog("[CISPCtrl] block at 0x%08X failed its check, asked again (%d of %d)\r\n", address,
             m_nReadTries, READ_RETRIES);
    QueueReadBlock(TaskManager(), address);
    return true;
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
    Notify(&progress, 1, NOTIFY_READ_PROGRESS);
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
