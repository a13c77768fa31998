// The whole-file check of a firmware image before anything is sent: every line a well-formed
// record with its checksum, only the record types the device takes, the end-of-file record and
// then exactly the four-digit version tag, no address written twice, every byte inside the
// device's flash. A refusal names the line and what is wrong with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Where the device's flash starts, and its size when the device has not said otherwise.
constexpr uint32_t HEX_FLASH_BASE = 0x08000000;
constexpr uint32_t HEX_DEFAULT_FLASH_KB = 512;

struct HexCheckResult {
    bool ok = false;
    std::string reason;     // empty when ok; else "line 65: bad checksum" and the like
    uint16_t wVersion = 0;  // the tag's version word when ok
    size_t nDataRecords = 0;
    uint64_t nDataBytes = 0;
};

HexCheckResult CheckHexImage(const uint8_t* data, size_t size, uint32_t flashBase,
                             uint32_t flashBytes);
