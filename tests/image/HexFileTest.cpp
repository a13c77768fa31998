// The Intel HEX reader: line decoding, loading, the version tag, and the lines it refuses.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "image/HexFile.h"
#include "support/HexLine.h"
#include "support/TestMain.h"

namespace {

using Data = std::vector<uint8_t>;

// A well-formed line, without its line end.
std::string Line(uint8_t type, uint16_t addr, const Data& data, bool lower = false) {
    std::string s = testsupport::HexLine(type, addr, data);
    s.resize(s.size() - 2);
    if (lower)
        for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// A decoded record written back as a line, with the checksum it holds.
std::string Text(const HEX_RECORD& r) {
    Data raw{r.byLen, uint8_t(r.wAddr >> 8), uint8_t(r.wAddr), r.byType};
    raw.insert(raw.end(), r.pData, r.pData + r.byLen);
    raw.push_back(r.byChecksum);
    return testsupport::HexDigits(raw);
}

std::string Upper(std::string s) {
    for (char& c : s) c = char(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

Data Ramp(size_t n) {
    Data d(n);
    for (size_t i = 0; i < n; ++i) d[i] = uint8_t(i * 37 + 3);
    return d;
}

int Load(CHEXFile& hex, const std::string& path) {
    EXPECT_TRUE(hex.m_file.Open(path, plat::CFile::modeRead)) << path;
    int result = hex.Load();
    EXPECT_FALSE(hex.m_file.IsOpen()) << "Load closes the file";
    return result;
}

int LoadText(CHEXFile& hex, const std::string& text) {
    testsupport::TempDir dir;
    dir.Write("image.hex", text);
    return Load(hex, dir.File("image.hex"));
}

const std::string kD1 = ":10010000214601360121470136007EFE09D2190140";
const std::string kD2 = ":100110002146017E17C20001FF5F16002148011928";
const std::string kEof = ":00000001FF";

TEST(HexPacket, AddressBeforeAndAfterParseAndCopiesKeepTheData) {
    CHEXPacket p;
    EXPECT_FALSE(p.HasRecord());
    EXPECT_EQ(p.GetAddress(), 0);
    const std::string c000 = ":02C00000AABBD9";
    ASSERT_EQ(p.Parse(c000.data(), c000.size()), 1);
    EXPECT_EQ(p.GetAddress(), 0xC000);

    auto original = std::make_unique<CHEXPacket>(p);
    CHEXPacket copy(*original);
    original->Parse(kEof.data(), kEof.size());
    original.reset();
    p.Parse(kD1.data(), kD1.size());
    EXPECT_EQ(Text(copy.GetHexRecord()), c000);
}

TEST(HexPacket, AcceptsExactlyTheWellFormedLines) {
    // Read as its character code 0x47, the 'G' made this checksum hold.
    static_assert((0x01 + (('G' * 16) & 0xFF) + 0x8F) % 256 == 0);
    std::string badLast = Line(0, 0x0100, Ramp(255));
    badLast[badLast.size() - 3] = 'x';
    std::vector<std::string> good = {":0300300002337A1E", kEof, ":020000040800F2",
                                     ":0400000508000000EF", ":01c0de00a0c1"};
    std::vector<std::string> bad = {":00000001FE", ":01000000G08F", ":0G000000FF", ":00Z00001FF",
                                    ":00000001F ", "000000001FF",   ";00000001FF"};
    bad.insert(bad.end(), {":00000001F", ":", "", ":0200000401F9", ":01000000AABB9A",
                           ":00000001FF ", ":00000001FF\r", badLast});
    for (int n = 0; n <= 255; ++n) good.push_back(Line(0, uint16_t(n << 8), Ramp(n), n % 2));
    for (int ok : {1, 0})
        for (const std::string& line : ok ? good : bad) {
            SCOPED_TRACE(line);
            std::string padded = line + "FFFFFFFF";  // never read past the length given
            CHEXPacket p;
            EXPECT_EQ(p.Parse(padded.data(), line.size()), ok);
            EXPECT_TRUE(p.HasRecord());
            if (ok) {
                EXPECT_EQ(Text(p.GetHexRecord()), Upper(line));
            }
        }
    CHEXPacket p;
    EXPECT_EQ(p.Parse(nullptr, 11), 0);
}

// Random edits of good lines: a line is accepted only as a correct writer would write it.
TEST(HexPacket, MutatedLinesAreAcceptedOnlyWhenWellFormed) {
    std::mt19937 rng(20240611);
    static const char kChars[] = "0123456789ABCDEFabcdef:GgXx \r\n\t\0\xff";
    const std::string seeds[] = {kD1, kEof, ":020000040800F2", Line(0, 0x1234, Ramp(255))};
    for (int iter = 0; iter < 20000; ++iter) {
        std::string s = seeds[rng() % 4];
        for (int e = 1 + int(rng() % 3); e > 0; --e) {
            size_t at = rng() % (s.size() + 1), op = rng() % 3;
            std::string c = op == 2 ? "" : std::string(1, kChars[rng() % (sizeof kChars - 1)]);
            s.replace(at, op == 1 ? 0 : op == 0 ? 1 : 1 + rng() % 4, c);  // change, insert, erase
        }
        auto buf = std::make_unique<char[]>(s.size() + 1);  // exact size: ASan sees an over-read
        std::memcpy(buf.get(), s.data(), s.size());
        CHEXPacket p;
        if (p.Parse(buf.get(), s.size())) {
            EXPECT_EQ(Text(p.GetHexRecord()), Upper(s));
        }
    }
}

// Each file is loaded with CR LF and with LF line ends: both must give the same outcome.
TEST(HexFile, LoadsWithEitherLineEnd) {
    const std::string ext0 = ":020000040800F2", ext1 = Line(4, 0, {0x08, 0x01});
    std::string badSum = kD2, badCount = kD2;
    badSum.back() = '9';
    badCount[1] = 'X';
    struct Case {
        std::vector<std::string> lines;
        std::string tail;  // after the last line end
        int result;
        size_t records;
        uint16_t version, ext;
        size_t data;
    } cases[] = {
        {{kD1, kD2, kEof}, "0104", 1, 3, 0x0104, 0, 2},
        {{kD1, kD2, kEof}, "", 1, 3, 0xA000, 0, 2},
        {{kD1, kD2, badSum, kEof}, "0104", 0, 2, 0, 0, 2},
        {{ext0, kD1, ext1, kD2, kEof}, "0104", 1, 5, 0x0104, 2, 2},
        {{}, "", 0, 0, 0, 0, 0},
        {{ext0, Line(0, 0, Ramp(255), true), kEof}, "0104", 1, 3, 0x0104, 1, 1},
        {{kD1, badCount, kEof}, "0104", 0, 1, 0, 0, 1},
        {{kD1, kD2}, "0104", 0, 2, 0x0104, 0, 2},
        {{kD1, kD2}, kD1.substr(0, 20), 0, 2, 0, 0, 2},
        {{kD1, kD2}, kEof.substr(0, 8), 0, 2, 0xA000, 0, 2},
    };
    for (const Case& c : cases) {
        for (const char* eol : {"\r\n", "\n"}) {
            std::string text;
            for (const auto& l : c.lines) text += l + eol;
            SCOPED_TRACE(text + c.tail);
            CHEXFile hex;
            EXPECT_EQ(LoadText(hex, text + c.tail), c.result);
            ASSERT_EQ(hex.GetRecordCount(), c.records);
            EXPECT_EQ(hex.GetHexVer(), c.version);
            EXPECT_EQ(hex.m_wExtCount, c.ext);
            EXPECT_EQ(hex.GetDataRecordCount(), c.data);
            for (size_t i = 0; i < c.records; ++i)
                EXPECT_EQ(Text(hex.GetRecord(i)), Upper(c.lines[i]));
        }
    }
}

// The download refuses what the walk refuses; tests/isp/DownloadTest has the other cases.
TEST(HexFile, WalkPlacesDataAfterTheirUpperAddressFromTheRecordAsked) {
    const std::string ext0 = ":020000040800F2", ext1 = Line(4, 0, {0x08, 0x01});
    const std::string start = Line(5, 0, {0x08, 0x00, 0x01, 0x01});
    const std::tuple<std::vector<std::string>, size_t, size_t, std::vector<uint32_t>> cases[] = {
        // lines, walk from, first unplaced record, addresses walked
        {{start, ext0, kD1, ext1, kD2, kEof}, 0, 6, {0x08000100, 0x08010110}},
        {{start, ext0, kD1, ext1, kD2, kEof}, 3, 6, {0x08010110}},
        {{ext0, kD1, Line(4, 0, {0x08}), kD2, kEof}, 0, 2, {}},
    };
    for (const auto& [lines, from, unplaced, want] : cases) {
        std::string text;
        for (const auto& l : lines) text += l + "\r\n";
        SCOPED_TRACE(text);
        CHEXFile hex;
        EXPECT_EQ(LoadText(hex, text), 1);
        EXPECT_EQ(hex.GetUnplacedRecord(), unplaced);
        std::vector<uint32_t> got;
        auto visit = [&](const HEX_PLACED& d) {
            got.push_back(d.dwAddr);
            return true;
        };
        int placed = hex.WalkPlacedData(visit, from);
        EXPECT_EQ(placed, unplaced == lines.size() ? 1 : 0);
        EXPECT_EQ(got, want);
    }
}

TEST(HexFile, RecordsOutliveAReload) {
    CHEXFile hex;
    ASSERT_EQ(LoadText(hex, kD1 + "\n" + kEof + "\n"), 1);
    HEX_RECORD first = hex.GetRecord(0);
    EXPECT_EQ(hex.GetRecord(2).pData, nullptr);
    ASSERT_EQ(LoadText(hex, kD2 + "\n" + kEof + "\n"), 1);
    EXPECT_EQ(hex.GetRecordCount(), 2u);
    EXPECT_EQ(Text(first), kD1);
}

TEST(HexFile, OversizedAndEndlessFilesAreRefused) {
    testsupport::TempDir dir;
    dir.Write("big.hex", kD1 + "\r\n" + kEof + "\r\n");
    ASSERT_EQ(::truncate(dir.File("big.hex").c_str(), off_t(CHEXFile::kMaxFileSize + 1)), 0);
    for (const std::string& path : {dir.File("big.hex"), std::string("/dev/zero")}) {
        CHEXFile hex;
        EXPECT_EQ(Load(hex, path), 0) << path;
        EXPECT_EQ(hex.GetRecordCount(), 0u) << path;
    }
}

}  // namespace
