// The firmware image's whole-file check: one pass over the lines, then the overlap test over the
// sorted data ranges.
#include "image/HexCheck.h"

#include <algorithm>
#include <cstdio>
#include <string_view>
#include <vector>

#include "image/HexFile.h"

namespace {

int Digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string Hex32(uint64_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08llX", static_cast<unsigned long long>(v));
    return buf;
}

struct Range {
    uint64_t begin;
    uint64_t end;  // one past the last byte
    size_t line;
};

HexCheckResult Fail(size_t line, const std::string& what) {
    HexCheckResult r;
    r.reason = line != 0 ? "line " + std::to_string(line) + ": " + what : what;
    return r;
}

// The version tag: exactly four decimal digits after the end-of-file line, then at most one line
// end. Anything else would give the device a version word nobody meant.
bool TakeTag(std::string_view rest, uint16_t& version) {
    if (rest.size() < 4) return false;
    for (size_t i = 0; i < 4; ++i)
        if (rest[i] < '0' || rest[i] > '9') return false;
    std::string_view tail = rest.substr(4);
    if (!(tail.empty() || tail == "\n" || tail == "\r\n")) return false;
    version = static_cast<uint16_t>((rest[0] & 0xF) << 12 | (rest[1] & 0xF) << 8 |
                                    (rest[2] & 0xF) << 4 | (rest[3] & 0xF));
    return true;
}

}  // namespace

HexCheckResult CheckHexImage(const uint8_t* data, size_t size, uint32_t flashBase,
                             uint32_t flashBytes) {
    std::string_view text(reinterpret_cast<const char*>(data), data != nullptr ? size : 0);
    if (text.empty()) return Fail(0, "empty");
    if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF")
        return Fail(1, "starts with a UTF-8 byte-order mark (save it without one)");

    const uint64_t flashEnd = static_cast<uint64_t>(flashBase) + flashBytes;
    std::vector<Range> ranges;
    HexCheckResult result;
    bool haveUpper = false;
    uint64_t upper = 0;
    size_t pos = 0;
    size_t line = 0;
    while (pos < text.size()) {
        ++line;
        size_t eol = text.find('\n', pos);
        size_t next = eol == std::string_view::npos ? text.size() : eol + 1;
        std::string_view l =
            text.substr(pos, (eol == std::string_view::npos ? text.size() : eol) - pos);
        if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
        pos = next;

        if (l.empty()) return Fail(line, "empty line");
        if (l.find('\r') != std::string_view::npos)
            return Fail(line, "a line ends in a bare CR (use CR LF or LF)");
        if (l[0] != ':') return Fail(line, "not a record (it does not start with ':')");
        if ((l.size() - 1) % 2 != 0 || l.size() < 11) return Fail(line, "incomplete record");
        std::vector<uint8_t> bytes;
        bytes.reserve((l.size() - 1) / 2);
        for (size_t i = 1; i + 1 < l.size(); i += 2) {
            int hi = Digit(l[i]);
            int lo = Digit(l[i + 1]);
            if (hi < 0 || lo < 0) return Fail(line, "a character that is not a hex digit");
            bytes.push_back(static_cast<uint8_t>(hi * 16 + lo));
        }
        const uint8_t count = bytes[0];
        if (bytes.size() != 5u + count)
            return Fail(line, "its length does not match its byte count " + std::to_string(count));
        unsigned sum = 0;
        for (uint8_t b : bytes) sum += b;
        if ((sum & 0xFF) != 0) return Fail(line, "bad checksum");
        const uint16_t addr = static_cast<uint16_t>(bytes[1] << 8 | bytes[2]);
        const uint8_t type = bytes[3];
        switch (type) {
            case HEX_DATA: {
                if (!haveUpper)
                    return Fail(line, "data before any extended linear address (type 04) record");
                const uint64_t at = (upper << 16) + addr;
                if (at < flashBase || at >= flashEnd || at + count > flashEnd)
                    return Fail(line, "address " + Hex32(at) + " is outside the device's flash (" +
                                          Hex32(flashBase) + " to " + Hex32(flashEnd - 1) + ")");
                if (count != 0) ranges.push_back({at, at + count, line});
                ++result.nDataRecords;
                result.nDataBytes += count;
                break;
            }
            case HEX_END_OF_FILE: {
                if (count != 0 || addr != 0) return Fail(line, "malformed end-of-file record");
                if (!TakeTag(text.substr(pos), result.wVersion))
                    return Fail(line + 1,
                                "the version tag after the end-of-file record must be exactly "
                                "four decimal digits");
                if (result.nDataRecords == 0) return Fail(0, "no data records");
                std::sort(ranges.begin(), ranges.end(),
                          [](const Range& a, const Range& b) { return a.begin < b.begin; });
                for (size_t i = 1; i < ranges.size(); ++i) {
                    if (ranges[i].begin < ranges[i - 1].end) {
                        const Range& a =
                            ranges[i - 1].line < ranges[i].line ? ranges[i - 1] : ranges[i];
                        const Range& b =
                            ranges[i - 1].line < ranges[i].line ? ranges[i] : ranges[i - 1];
                        return Fail(b.line, "writes address " + Hex32(std::max(a.begin, b.begin)) +
                                                " again (line " + std::to_string(a.line) +
                                                " wrote it)");
                    }
                }
                result.ok = true;
                return result;
            }
            case HEX_EXT_LINEAR:
                if (count != 2 || addr != 0)
                    return Fail(line, "malformed extended linear address record");
                upper = static_cast<uint64_t>(bytes[4]) << 8 | bytes[5];
                haveUpper = true;
                break;
            case HEX_START_LINEAR:
                // A start address: nothing to write.
                if (count != 4) return Fail(line, "malformed start address record");
                break;
            case HEX_EXT_SEGMENT:
                return Fail(line, "segment address (type 02) records are not supported");
            case HEX_START_SEGMENT:
                return Fail(line, "segment start address (type 03) records are not supported");
            default: {
                char buf[8];
                std::snprintf(buf, sizeof buf, "%02X", type);
                return Fail(line, std::string("unknown record type ") + buf);
            }
        }
    }
    return Fail(0, "no end-of-file record (the file may be cut short)");
}
