// Command codes of the ISP protocol, the controller's own notification codes, the chunk sizes of
// the raw write frames and the answer lengths.
#pragma once

#include <cstdint>

enum : uint8_t {
    CMD_CHIP_VERSION = 0x01,
    CMD_CHIP_ID = 0x02,
    CMD_FLASH_SIZE = 0x03,
    CMD_SET_BAUD = 0x04,
    CMD_READ_BLOCK = 0x05,
    CMD_WRITE_HEX = 0x06,
    CMD_CHIP_EXTRA = 0x07,
    CMD_STATUS = 0x0D,
    CMD_VERIFY = 0x0E,
    CMD_ECHO = 0x0F,
    CMD_ERASE_CHIP = 0x13,
    CMD_FW_READY = 0x19,
    CMD_FW_END = 0x1A,
    CMD_LOADER_STARTED = 0x1B,
    CMD_FW_BEGIN = 0x1C,
    CMD_EDOG_END = 0x20,
    CMD_EDOG_BEGIN = 0x21,
    CMD_EDOG_READY = 0x22,
    CMD_EDOG_DATA = 0x23,
    CMD_EDOG_ACK = 0x24,
    CMD_MUSIC_END = 0x30,
    CMD_MUSIC_BEGIN = 0x31,
    CMD_MUSIC_READY = 0x32,
    CMD_MUSIC_DATA = 0x33,
    CMD_MUSIC_ACK = 0x34,
    CMD_RADAR_BEGIN = 0x41,
    CMD_RADAR_READY = 0x42,
    CMD_RADAR_DATA = 0x43,
    CMD_RADAR_ACK = 0x44,
    CMD_PROBE = 0x45,
    CMD_PROBE_ACK = 0x46,
};

enum : uint8_t {
    NOTIFY_DEVICE_ERROR = 0x10,
    NOTIFY_READ_PROGRESS = 0x15,
    NOTIFY_SENDING = 0x16,
    NOTIFY_REPLY = 0x17,
    // Not on the wire: a frame could not be written to the port (the reason is in the log and in
    // CISPCtrl::GetWriteError).
    NOTIFY_WRITE_FAILED = 0x18,
    // Not on the wire: the line of the open port hung up (cable pulled, adapter unplugged).
    NOTIFY_LINE_LOST = 0x11,
};

// Bytes a write frame of each raw payload carries; the last frame of a file carries what is left.
enum : uint32_t { EDOG_CHUNK = 4096, MUSIC_CHUNK = 4096, RADAR_CHUNK = 1024 };

// A read block answer: 128 records of 16 data bytes and their check byte (the low 8 bits of their
// sum); true when every record passes.
bool ReadBlockIntact(const uint8_t* data, int32_t len);

// Answer data expected after the first status frame, by the answered command code.
inline int32_t ExpectedAnswerData(uint8_t code) {
    switch (code) {
        case CMD_CHIP_VERSION:
            return 2;
        case CMD_CHIP_ID:
            return 17;
        case CMD_FLASH_SIZE:
            return 2;
        case CMD_READ_BLOCK:
            return 2176;
        case CMD_CHIP_EXTRA:
            return 23;
        case CMD_VERIFY:
            return 17;
        case CMD_ECHO:
            return 2;
        default:
            return 0;
    }
}
