// Intel HEX writing: one record line, and a whole image placed at a base address.
#include "image/HexWriter.h"

#include <algorithm>
#include <cstdio>

#include "image/HexFile.h"

std::string IntelHexLine(uint8_t type, uint16_t addr, const uint8_t* data, size_t len) {
    char buf[16];
    std::string line = ":";
    uint8_t sum = static_cast<uint8_t>(len + (addr >> 8) + (addr & 0xFF) + type);
    std::snprintf(buf, sizeof buf, "%02X%04X%02X", static_cast<unsigned>(len & 0xFF), addr, type);
    line += buf;
    for (size_t i = 0; i < len; ++i) {
        std::snprintf(buf, sizeof buf, "%02X", data[i]);
        line += buf;
        sum = static_cast<uint8_t>(sum + data[i]);
    }
    std::snprintf(buf, sizeof buf, "%02X\r\n", static_cast<uint8_t>(-sum));
    return line + buf;
}

std::string WriteIntelHex(const std::vector<uint8_t>& data, uint32_t base,
                          const std::string& versionTag, size_t recordLen) {
    recordLen = std::clamp<size_t>(recordLen, 1, 255);
    std::string out;
    out.reserve(data.size() * 3);
    uint32_t upper = 0xFFFFFFFF;
    for (size_t off = 0; off < data.size();) {
        uint32_t addr = base + static_cast<uint32_t>(off);
        if (addr >> 16 != upper) {
            upper = addr >> 16;
            const uint8_t u[2] = {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)};
            out += IntelHexLine(HEX_EXT_LINEAR, 0, u, 2);
        }
        // A record never crosses into the next segment.
        size_t room = 0x10000 - (addr & 0xFFFF);
        size_t n = std::min({recordLen, data.size() - off, room});
        out += IntelHexLine(HEX_DATA, static_cast<uint16_t>(addr), data.data() + off, n);
        off += n;
    }
    const uint8_t start[4] = {static_cast<uint8_t>(base >> 24), static_cast<uint8_t>(base >> 16),
                              static_cast<uint8_t>((base + 0x101) >> 8),
                              static_cast<uint8_t>(base + 0x101)};
    out += IntelHexLine(HEX_START_LINEAR, 0, start, 4);
    return out + ":00000001FF\r\n" + versionTag;
}
