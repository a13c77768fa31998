// Intel HEX lines for the tests: well-formed lines from the program's own writer, and the one
// writer of lines no correct writer makes (any bytes as digits, lowercase digits).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/HexWriter.h"

namespace testsupport {

// A well-formed record line with its checksum, ending in CR LF.
inline std::string HexLine(uint8_t type, uint16_t addr, const std::vector<uint8_t>& data) {
    return IntelHexLine(type, addr, data.data(), data.size());
}

// ':' and the bytes as hex digits, nothing checked or added: count, address, type, data and
// checksum exactly as given.
inline std::string HexDigits(const std::vector<uint8_t>& raw, bool lower = false) {
    const char* digits = lower ? "0123456789abcdef" : "0123456789ABCDEF";
    std::string s = ":";
    for (uint8_t b : raw) s += {digits[b >> 4], digits[b & 0xF]};
    return s;
}

}  // namespace testsupport
