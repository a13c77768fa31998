// The single-frame command builders: each queues one command frame with its payload.
#include "isp/Frame.h"
#include "isp/IspCtrl.h"

void CISPCtrl::QueueFrame(uint8_t code, const uint8_t* payload, int32_t len) {
    CISPPacket rec;
    uint8_t head[4];
    isp::PutFrameHead(head, code, static_cast<uint32_t>(len));
    rec.m_frame.Append(head, 4);
    if (len > 0) rec.m_frame.Append(payload, len);
    TaskManager().AddTask(rec);
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
