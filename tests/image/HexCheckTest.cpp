// The firmware image's whole-file check: what it refuses (with the line and the reason a user can
// act on) and the unusual but correct images it must still take.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <random>

#include "image/HexCheck.h"
#include "support/HexLine.h"

namespace {

using testsupport::HexDigits;
using testsupport::HexLine;

const std::string kEof = ":00000001FF\r\n";
constexpr uint32_t kFlash = 512 * 1024;

std::vector<uint8_t> Bytes(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
    return v;
}
std::string Ext(uint16_t upper) {
    return HexLine(4, 0, {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)});
}
HexCheckResult Check(const std::string& text) {
    return CheckHexImage(reinterpret_cast<const uint8_t*>(text.data()), text.size(), HEX_FLASH_BASE,
                         kFlash);
}

// n 16-byte records at the start of flash.
std::string Body(int n) {
    std::string s = Ext(0x0800);
    for (int i = 0; i < n; ++i) s += HexLine(0, static_cast<uint16_t>(i * 16), Bytes(16, 3));
    return s;
}

TEST(HexCheck, RefusesWhatWouldBeWrittenWrongWithTheLineAndTheReason) {
    const std::string body = Body(2);
    std::string bad = Body(80);
    // One flipped checksum digit on line 65, as a damaged download has it.
    size_t at = 0;
    for (int line = 1; line < 65; ++line) at = bad.find('\n', at) + 1;
    size_t cs = bad.find('\r', at) - 1;
    bad[cs] = bad[cs] == '0' ? '1' : '0';

    const struct {
        const char* name;
        std::string text;
        const char* reason;
    } cases[] = {
        {"bad checksum", bad + kEof + "0203", "line 65: bad checksum"},
        {"start address only", HexLine(5, 0, {8, 0, 1, 0}) + kEof + "0203", "no data records"},
        {"segment address", HexLine(2, 0, {0x10, 0}) + body + kEof + "0203", "line 1: segment"},
        {"start segment", body + HexLine(3, 0, {0, 0, 1, 0}) + kEof + "0203", "line 4: segment"},
        {"data without type 04", HexLine(0, 0, Bytes(8, 1)) + kEof + "0203", "line 1: data before"},
        {"unknown type", body + HexLine(7, 0, {1}) + kEof + "0203",
         "line 4: unknown record type 07"},
        {"byte-order mark", "\xEF\xBB\xBF" + body + kEof + "0203", "line 1: starts with a UTF-8"},
        {"trailing blanks",
         Ext(0x0800) + HexLine(0, 0, Bytes(4, 1)).insert(19, "  ") + kEof + "0203", "line 2:"},
        {"bare CR line ends",
         Ext(0x0800).substr(0, 15) + "\r" + HexLine(0, 0, Bytes(4, 1)) + kEof + "0203",
         "line 1: a line ends in a bare CR"},
        {"no end-of-file record", body, "no end-of-file record"},
        {"cut in a line", body.substr(0, body.size() - 9), "line 3: incomplete record"},
        {"empty line", Ext(0x0800) + "\r\n" + HexLine(0, 0, {1}) + kEof + "0203", "line 2: empty"},
        {"no tag", body + kEof, "line 5: the version tag"},
        {"three digits", body + kEof + "010", "the version tag"},
        {"six digits", body + kEof + "010503", "the version tag"},
        {"leading blank", body + kEof + " 0104", "the version tag"},
        {"blank line first", body + kEof + "\r\n0104", "the version tag"},
        {"two line ends after", body + kEof + "0104\r\n\r\n", "the version tag"},
        {"hex tag", body + kEof + "FFFF", "the version tag"},
        {"record after the end", body + kEof + HexLine(0, 0x40, {1}) + "0203", "the version tag"},
        {"malformed end", body + HexLine(1, 0, {0}) + "0203", "line 4: malformed end-of-file"},
        {"short type 04", HexLine(4, 0, {8}) + body + kEof + "0203", "line 1: malformed extended"},
        {"overlap", body + HexLine(0, 0x18, Bytes(16, 9)) + kEof + "0203",
         "line 4: writes address 0x08000018 again (line 3 wrote it)"},
        {"duplicate record", body + HexLine(0, 0, Bytes(16, 3)) + kEof + "0203",
         "line 4: writes address 0x08000000 again (line 2 wrote it)"},
        {"past the flash", Ext(0x0808) + HexLine(0, 0, {1}) + kEof + "0203",
         "line 2: address 0x08080000 is outside the device's flash (0x08000000 to 0x0807FFFF)"},
        {"straddles the end", Ext(0x0807) + HexLine(0, 0xFFF8, Bytes(16, 1)) + kEof + "0203",
         "line 2: address 0x0807FFF8 is outside"},
        {"at zero", Ext(0x0000) + HexLine(0, 0, {1}) + kEof + "0203", "line 2: address 0x00000000"},
        {"at 0x08100000", Ext(0x0810) + HexLine(0, 0, {1}) + kEof + "0203", "outside"},
        {"at 0xF0000000", Ext(0xF000) + HexLine(0, 0, {1}) + kEof + "0203", "outside"},
        {"length mismatch", Ext(0x0800) + HexDigits({4, 0, 0, 0, 1, 2, 0xF9}) + "\r\n" + kEof,
         "line 2: its length does not match its byte count 4"},
        {"not a digit", Ext(0x0800) + ":01000000G1FF\r\n" + kEof + "0203", "line 2: a character"},
        {"empty file", "", "empty"},
    };
    for (const auto& c : cases) {
        HexCheckResult r = Check(c.text);
        EXPECT_FALSE(r.ok) << c.name;
        EXPECT_NE(r.reason.find(c.reason), std::string::npos)
            << c.name << ": \"" << r.reason << "\" lacks \"" << c.reason << "\"";
    }
}

TEST(HexCheck, TakesUnusualButCorrectImages) {
    // Out of order, gaps, a zero-length record, 255-byte records, a record ending exactly at the
    // end of the flash, segments crossing 64 KiB, lowercase digits and mixed line ends.
    std::string text = Ext(0x0801) + HexLine(0, 0x0100, Bytes(255, 1)) +
                       HexLine(0, 0x0000, Bytes(16, 2)) + HexLine(0, 0x4000, {}) +
                       HexLine(0, 0xFFF0, Bytes(16, 3)) + Ext(0x0802) +
                       HexLine(0, 0x0000, Bytes(255, 4)) + Ext(0x0807) +
                       HexLine(0, 0xFFF0, Bytes(16, 5)) + HexLine(5, 0, {8, 0, 1, 0x21}) + kEof;
    std::mt19937 rng(7);
    std::string mixed;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && rng() % 2) continue;  // some lines end in LF alone
        mixed += static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
    }
    for (const char* tail : {"0203", "0203\n", "0203\r\n"}) {
        HexCheckResult r = Check(mixed + tail);
        ASSERT_TRUE(r.ok) << r.reason;
        EXPECT_EQ(r.wVersion, 0x0203);
        EXPECT_EQ(r.nDataRecords, 6u);
        EXPECT_EQ(r.nDataBytes, 255u + 16 + 0 + 16 + 255 + 16);
    }
    // A device that reports more flash takes more.
    std::string big = Ext(0x0808) + HexLine(0, 0, {1}) + kEof + "0203";
    EXPECT_TRUE(CheckHexImage(reinterpret_cast<const uint8_t*>(big.data()), big.size(),
                              HEX_FLASH_BASE, 1024 * 1024)
                    .ok);
}

}  // namespace
