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
    // Refuse what would be written to the wrong place before anything is queued.
    size_t bad = image->GetUnplacedRecord();
    if (bad < n) {
        WriteLog("[CISPCtrl] record %ld of type %d cannot be written\r\n", static_cast<long>(bad),
                 image->GetRecord(bad).byType);
        return 0;
    }
    uint32_t generation = m_nDownloadGeneration.load();
    CISPPacket rec;
    image->WalkPlacedData([&](const HEX_PLACED& d) {
        if (m_nRunState.load() == RUN_STOP_REQUESTED) return false;
        m_dwUpperAddr = d.dwAddr >> 16;
        // The target address and the byte count, then the record's bytes.
        uint8_t head[9];
        isp::PutFrameHead(head, CMD_WRITE_HEX, 5u + d.byLen);
        isp::PutLe32(head + 4, d.dwAddr);
        head[8] = d.byLen;
        rec.m_frame.Clear();
        rec.m_frame.Append(head, 9);
        if (d.byLen > 0 && d.pData != nullptr) rec.m_frame.Append(d.pData, d.byLen);
        return QueueDownloadFrame(rec, generation);
    });
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

int CISPCtrl::DownloadRaw(CRawPayload* holder, uint8_t code, uint32_t chunk) {
    // The bytes read and checked before the begin command: the file itself may have changed
    // since, and the length the device was told must be the length it gets.
    if (holder == nullptr) return 0;
    const std::vector<uint8_t>& bytes = holder->Bytes();
    uint32_t& offset = holder->m_dwOffset;
    offset = 0;
    uint64_t length = bytes.size();
    uint32_t packets = static_cast<uint32_t>(length / chunk + (length % chunk != 0 ? 1 : 0));
    m_dwRawFrames.store(packets);
    WriteLog("\r\n dwPacketNum is:%ld  len==%d\r\n", static_cast<long>(packets),
             static_cast<int>(length));
    uint32_t generation = m_nDownloadGeneration.load();
    CISPPacket rec;
    for (uint32_t p = 0; p < packets; ++p) {
        uint64_t at = offset;
        offset += chunk;
        if (at >= length) continue;
        auto got = static_cast<uint32_t>(std::min<uint64_t>(chunk, length - at));
        uint8_t head[4];
        isp::PutFrameHead(head, code, got);
        rec.m_frame.Clear();
        rec.m_frame.Append(head, 4);
        rec.m_frame.Append(bytes.data() + at, static_cast<int32_t>(got));
        if (!QueueDownloadFrame(rec, generation)) break;
    }
    return 1;
}

int CISPCtrl::DownloadEdog(CRawPayload* holder) {
    return DownloadRaw(holder, CMD_EDOG_DATA, EDOG_CHUNK);
}

int CISPCtrl::DownloadMusic(CRawPayload* holder) {
    return DownloadRaw(holder, CMD_MUSIC_DATA, MUSIC_CHUNK);
}

int CISPCtrl::DownloadRadar(CRawPayload* holder) {
    return DownloadRaw(holder, CMD_RADAR_DATA, RADAR_CHUNK);
}

int CISPCtrl::CompareReadBack(CHEXFile* image, const uint8_t* data, int32_t dataLen) {
    if (image == nullptr) return 0;
    if (image->GetRecordCount() == 0) return 0;
    // The data records in the order the download sent them, from the one the index names on;
    // after the last one the index wraps to the first.
    HEX_PLACED r{};
    size_t next = 0;  // record index of the data record after r, 0 when r is the last
    auto pick = [&](size_t from) {
        int seen = 0;
        image->WalkPlacedData(
            [&](const HEX_PLACED& d) {
                if (seen++ == 0) {
                    r = d;
                    return true;
                }
                next = d.nRecord;
                return false;
            },
            from);
        return seen;
    };
    if (pick(static_cast<size_t>(m_nVerifyIndex.load())) == 0 && pick(0) == 0) return 0;
    m_nVerifyIndex.store(static_cast<int32_t>(next));

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
