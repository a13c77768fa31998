// Downloads and verify: the write frames of the HEX image (DownloadHex) and of the raw payload
// files (DownloadRaw behind DownloadEdog, DownloadMusic, DownloadRadar), the cancelling of a
// download that is still queueing, and the read-back comparison of one written record.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/Log.h"
#include "isp/Frame.h"
#include "isp/IspCtrl.h"

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
        if (m_nRunState.load() == RUN_STOP_REQUESTED) break;
        uint32_t addr = (m_dwUpperAddr << 16) + r.wAddr;
        // The target address and the byte count, then the record's bytes.
        uint8_t head[9];
        isp::PutFrameHead(head, CMD_WRITE_HEX, 5u + r.byLen);
        isp::PutLe32(head + 4, addr);
        head[8] = r.byLen;
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
    if (m_nDownloadGeneration.load() != generation || m_nRunState.load() == RUN_STOP_REQUESTED)
        return false;
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
        uint8_t head[4];
        isp::PutFrameHead(head, code, got);
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
