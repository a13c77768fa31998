// The Intel HEX reader: line decoding, loading, the version tag, and the malformed lines it refuses.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/Log.h"
#include "image/HexFile.h"
#include "support/TestMain.h"

namespace {

using Data = std::vector<uint8_t>;

// A well-formed line (no line end) with its checksum.
std::string Line(uint8_t type, uint16_t addr, const Data& data, bool lower = false) {
    Data raw{static_cast<uint8_t>(data.size()), static_cast<uint8_t>(addr >> 8),
             static_cast<uint8_t>(addr & 0xFF), type};
    raw.insert(raw.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (uint8_t b : raw) sum += b;
    raw.push_back(static_cast<uint8_t>(0x100 - (sum & 0xFF)));
    std::string s = ":";
    const char* digits = lower ? "0123456789abcdef" : "0123456789ABCDEF";
    for (uint8_t b : raw) {
        s += digits[b >> 4];
        s += digits[b & 0xF];
    }
    return s;
}

uint8_t CsOf(const std::string& line) {
    return static_cast<uint8_t>(std::stoul(line.substr(line.size() - 2), nullptr, 16));
}

Data Ramp(size_t n, uint8_t seed) {
    Data d(n);
    for (size_t i = 0; i < n; ++i) d[i] = static_cast<uint8_t>(seed + i * 37);
    return d;
}

// A naive decoding in which a character that is not 0-9 or A-F counts as its own character code.
bool LegacyChecksumHolds(const std::string& line) {
    auto digit = [](char c) -> unsigned {
        if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
        if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
        return static_cast<unsigned char>(c);
    };
    unsigned sum = 0;
    for (size_t i = 1; i + 1 < line.size(); i += 2)
        sum += (digit(line[i]) * 16 + digit(line[i + 1])) & 0xFF;
    return (sum & 0xFF) == 0;
}

Data RecordData(const HEX_RECORD& r) {
    return Data(r.pData, r.pData + r.byLen);
}

std::string Join(const std::vector<std::string>& lines, const std::string& eol) {
    std::string s;
    for (auto& l : lines) s += l + eol;
    return s;
}

struct Loaded {
    std::unique_ptr<CHEXFile> hex = std::make_unique<CHEXFile>();
    int result = -1;
    std::string log;
};

Loaded LoadText(const std::string& text) {
    testsupport::TempDir dir;
    dir.Write("image.hex", text);
    Loaded out;
    EXPECT_TRUE(out.hex->m_file.Open(dir.File("image.hex"), plat::CFile::modeRead));
    g_bLogEnable = 1;
    testing::internal::CaptureStdout();
    out.result = out.hex->Load();
    out.log = testing::internal::GetCapturedStdout();
    g_bLogEnable = 0;
    EXPECT_FALSE(out.hex->m_file.IsOpen()) << "Load closes the file";
    return out;
}

const std::string kData1 = ":10010000214601360121470136007EFE09D2190140";
const std::string kData2 = ":100110002146017E17C20001FF5F16002148011928";
const std::string kEof = ":00000001FF";

// ---------------------------------------------------------------------------------------------

TEST(HexPacket, EmptyUntilParsedThenAddressAndCopiesKeepTheirData) {
    CHEXPacket p;
    EXPECT_FALSE(p.HasRecord());
    EXPECT_EQ(p.GetLength(), 0);
    EXPECT_EQ(p.GetAddress(), 0);
    EXPECT_EQ(p.GetType(), 0);
    EXPECT_EQ(p.GetChecksum(), 0);
    EXPECT_EQ(p.GetHexRecord().pData, nullptr);
    EXPECT_EQ(p.m_record.m_nLen, 0);

    std::string c000 = ":02C00000AABBD9";
    ASSERT_EQ(p.Parse(c000.data(), c000.size()), 1);
    EXPECT_EQ(p.GetAddress(), 0xC000);
    EXPECT_EQ(p.m_record.m_nLen, static_cast<int32_t>(sizeof(HEX_RECORD)));
    EXPECT_EQ(p.m_nLen, 0) << "the packet's own buffer stays empty";

    // Copies share the data bytes; they outlive the original and a later parse of it.
    auto original = std::make_unique<CHEXPacket>(p);
    CHEXPacket copy(*original);
    CHEXPacket assigned;
    assigned = *original;
    original->Parse(kEof.data(), kEof.size());
    original.reset();
    p.Parse(kData1.data(), kData1.size());
    EXPECT_EQ(RecordData(copy.GetHexRecord()), (Data{0xAA, 0xBB}));
    EXPECT_EQ(RecordData(assigned.GetHexRecord()), (Data{0xAA, 0xBB}));
    EXPECT_EQ(copy.GetChecksum(), 0xD9);
}

TEST(HexPacket, ParseTable) {
    struct Case {
        const char* name;
        std::string line;
        int result;
        uint8_t len, type, checksum;
        uint16_t addr;
        Data data;
    };
    const std::string nonHexByChance = ":01000000G08F";  // 'G' counted as 0x47 the checksum held
    ASSERT_TRUE(LegacyChecksumHolds(nonHexByChance));
    const Data b255 = Ramp(255, 3), b32 = Ramp(32, 9);
    std::string badLast255 = Line(0, 0x0100, b255);
    badLast255[badLast255.size() - 3] = 'x';

    const std::vector<Case> cases = {
        {"classic data", ":0300300002337A1E", 1, 3, 0, 0x1E, 0x0030, {0x02, 0x33, 0x7A}},
        {"end of file", kEof, 1, 0, 1, 0xFF, 0, {}},
        {"extended linear", ":020000040800F2", 1, 2, 4, 0xF2, 0, {0x08, 0x00}},
        {"start linear", ":0400000508000000EF", 1, 4, 5, 0xEF, 0, {0x08, 0, 0, 0}},
        {"lower-case digits", ":01c0de00a0c1", 1, 1, 0, 0xC1, 0xC0DE, {0xA0}},
        {"lower-case ext", ":020000040800f2", 1, 2, 4, 0xF2, 0, {0x08, 0x00}},
        {"32 data bytes", Line(0, 0x8000, b32), 1, 32, 0, CsOf(Line(0, 0x8000, b32)), 0x8000, b32},
        {"255 data bytes", Line(0, 0xFF00, b255, true), 1, 255, 0, CsOf(Line(0, 0xFF00, b255)),
         0xFF00, b255},
        {"bad checksum, stored anyway", ":00000001FE", 0, 0, 1, 0xFE, 0, {}},
        {"non-hex that once passed", nonHexByChance, 0, 1, 0, 0x8F, 0, {0x00}},
        {"non-hex in count", ":0G000000FF", 0, 0, 0, 0xFF, 0, {}},
        {"non-hex in address", ":00Z00001FF", 0, 0, 1, 0xFF, 0x0000, {}},
        {"non-hex in checksum", ":00000001F ", 0, 0, 1, 0, 0, {}},
        {"non-hex in last of 255", badLast255, 0, 255, 0, CsOf(badLast255), 0x0100, {}},
        {"missing mark", "000000001FF", 0, 0, 1, 0xFF, 0, {}},
        {"other mark", ";00000001FF", 0, 0, 1, 0xFF, 0, {}},
        {"too short", ":00000001F", 0, 0, 1, 0, 0, {}},
        {"only the mark", ":", 0, 0, 0, 0, 0, {}},
        {"empty", "", 0, 0, 0, 0, 0, {}},
        {"count larger than line", ":0200000401F9", 0, 2, 4, 0, 0, {0x01, 0xF9}},
        {"count smaller than line", ":01000000AABB9A", 0, 1, 0, 0xBB, 0, {0xAA}},
        {"trailing blank", kEof + " ", 0, 0, 1, 0xFF, 0, {}},
        {"trailing CR", kEof + "\r", 0, 0, 1, 0xFF, 0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CHEXPacket p;
        EXPECT_EQ(p.Parse(c.line.data(), c.line.size()), c.result);
        ASSERT_TRUE(p.HasRecord()) << "a parse always stores a record";
        HEX_RECORD r = p.GetHexRecord();
        EXPECT_EQ(r.cMark, c.line.empty() ? 0 : c.line[0]);
        EXPECT_EQ(r.byLen, c.len);
        EXPECT_EQ(r.byType, c.type);
        EXPECT_EQ(r.wAddr, c.addr);
        EXPECT_EQ(p.GetLength(), c.len);
        EXPECT_EQ(p.GetAddress(), c.addr);
        EXPECT_EQ(p.GetType(), c.type);
        EXPECT_EQ(p.GetChecksum(), c.checksum);
        ASSERT_NE(r.pData, nullptr);
        if (c.result == 1 || !c.data.empty()) {
            EXPECT_EQ(RecordData(r), c.data);
        }
        if (c.result == 1) {
            // The checksum byte makes the sum zero.
            unsigned sum = r.byLen + (r.wAddr >> 8) + (r.wAddr & 0xFF) + r.byType + r.byChecksum;
            for (uint8_t b : c.data) sum += b;
            EXPECT_EQ(sum & 0xFF, 0u);
        }
        // Never reads past n: the same line with garbage behind it in memory, n unchanged.
        std::string padded = c.line + "FFFFFFFF";
        CHEXPacket q;
        EXPECT_EQ(q.Parse(padded.data(), c.line.size()), c.result);
    }
    CHEXPacket p;
    EXPECT_EQ(p.Parse(nullptr, 11), 0);
}

// Loads each file with CR LF and with LF line ends: both must give the same outcome.
TEST(HexFileLoad, Table) {
    const Data b255 = Ramp(255, 1), b32 = Ramp(32, 2);
    const std::string ext0800 = ":020000040800F2", ext0801 = Line(4, 0, {0x08, 0x01});
    std::string badChecksum = kData2;
    badChecksum.back() = '9';
    std::string badCount = kData2;
    badCount[1] = 'X';

    struct Case {
        const char* name;
        std::vector<std::string> lines;
        std::string tail;  // after the last line end; a line end is never added to it
        int result;
        size_t records;
        uint16_t version;
        uint16_t ext;
        size_t dataRecords;
    };
    const std::vector<Case> cases = {
        {"two data lines, EOF, 0104", {kData1, kData2, kEof}, "0104", 1, 3, 0x0104, 0, 2},
        {"tag with its own line end", {kData1, kData2, kEof}, "0104\n", 1, 3, 0x0104, 0, 2},
        {"ends right after EOF", {kData1, kData2, kEof}, "", 1, 3, 0xA000, 0, 2},
        {"third line bad checksum", {kData1, kData2, badChecksum, kEof}, "0104", 0, 2, 0, 0, 2},
        {"two extended address lines",
         {ext0800, kData1, ext0801, kData2, kEof},
         "0104",
         1,
         5,
         0x0104,
         2,
         2},
        {"type 14 counts as ext", {Line(0x14, 0, {1}), kEof}, "", 1, 2, 0xA000, 1, 0},
        {"empty file", {}, "", 0, 0, 0, 0, 0},
        {"short tag keeps the rest of the last line", {kData1, kEof}, "01", 1, 2, 0x0100, 0, 1},
        {"255 and 32 byte records",
         {ext0800, Line(0, 0, b255), Line(0, 0x100, b32, true), kEof},
         "0104",
         1,
         4,
         0x0104,
         1,
         2},
        {"count field not hex", {kData1, badCount, kEof}, "0104", 0, 1, 0, 0, 1},
        {"bad line after EOF", {kData1, kEof, badChecksum}, "0104", 1, 2, 0, 0, 1},
        {"lines after EOF are read on", {kData1, kEof, kData2}, "0104", 1, 3, 0x0104, 0, 2},
        {"no EOF record", {kData1, kData2}, "0104", 0, 2, 0x0104, 0, 2},
        {"tag of 9 characters or more", {kData1, kEof}, "V01040000", 1, 2, 0, 0, 1},
        {"no mark on the first line", {"020000040800F2A", kEof}, "", 0, 0, 0, 0, 0},
        {"blank line in the middle", {kData1, "", kEof, kData2}, "", 0, 1, 0, 0, 1},
        {"truncated last line (9+ chars)", {kData1, kData2}, kData1.substr(0, 20), 0, 2, 0, 0, 2},
        {"truncated EOF line (< 9 chars)", {kData1, kData2}, kEof.substr(0, 8), 0, 2, 0xA000, 0, 2},
    };
    for (const auto& c : cases) {
        for (const char* eol : {"\r\n", "\n"}) {
            SCOPED_TRACE(std::string(c.name) + (eol[0] == '\r' ? " (CRLF)" : " (LF)"));
            Loaded l = LoadText(Join(c.lines, eol) + c.tail);
            EXPECT_EQ(l.result, c.result);
            EXPECT_EQ(l.hex->GetRecordCount(), c.records);
            EXPECT_EQ(l.hex->m_lstRecord.size(), c.records);
            EXPECT_EQ(l.hex->GetHexVer(), c.version);
            EXPECT_EQ(l.hex->m_wVersion, c.version);
            EXPECT_EQ(l.hex->m_wExtCount, c.ext);
            EXPECT_EQ(l.hex->GetDataRecordCount(), c.dataRecords);
            // Every accepted record is its line, byte for byte.
            for (size_t i = 0; i < l.hex->GetRecordCount() && i < c.lines.size(); ++i) {
                CHEXPacket expect;
                ASSERT_EQ(expect.Parse(c.lines[i].data(), c.lines[i].size()), 1);
                HEX_RECORD want = expect.GetHexRecord(), got = l.hex->GetRecord(i);
                EXPECT_EQ(got.cMark, ':');
                EXPECT_EQ(got.byLen, want.byLen);
                EXPECT_EQ(got.wAddr, want.wAddr);
                EXPECT_EQ(got.byType, want.byType);
                EXPECT_EQ(got.byChecksum, want.byChecksum);
                EXPECT_EQ(RecordData(got), RecordData(want));
            }
        }
    }
}

TEST(HexFileLoad, VersionTagIsLoggedAndEmptyFileStartsFromAZeroedBuffer) {
    Loaded l = LoadText(Join({kData1, kData2, kEof}, "\r\n") + "0104");
    EXPECT_NE(l.log.find("\r\n GetHexVer == 0104 \r\n"), std::string::npos) << l.log;

    Loaded e = LoadText("");
    EXPECT_EQ(e.result, 0);
    EXPECT_EQ(e.hex->GetHexVer(), 0);
    EXPECT_NE(e.log.find("GetHexVer == 0000"), std::string::npos);

    Loaded bad = LoadText(
        Join({kData1, ":100110002146017E17C20001FF5F16002148011929", kEof}, "\r\n") + "0104");
    EXPECT_EQ(bad.log.find("GetHexVer"), std::string::npos) << "no version when a line fails";
}

TEST(HexFileLoad, ShippedSampleAndRecordAccess) {
    auto hex = std::make_unique<CHEXFile>();
    ASSERT_TRUE(hex->m_file.Open(KALVO_TEST_DATA "/hex/fw_sample_crlf.hex", plat::CFile::modeRead));
    ASSERT_EQ(hex->Load(), 1);
    ASSERT_EQ(hex->GetRecordCount(), 7u);
    EXPECT_EQ(hex->GetHexVer(), 0x0104);
    EXPECT_EQ(hex->m_wExtCount, 1);
    EXPECT_EQ(hex->GetDataRecordCount(), 4u);
    HEX_RECORD first = hex->GetRecord(0);
    EXPECT_EQ(first.byType, 4);
    EXPECT_EQ(RecordData(first), (Data{0x08, 0x00}));
    HEX_RECORD d = hex->GetRecord(2);
    EXPECT_EQ(d.wAddr, 0x1010);
    EXPECT_EQ(d.pData[0], 0x70);
    EXPECT_EQ(d.pData[15], 0xD9);
    EXPECT_EQ(hex->GetRecord(6).byType, 1);
    HEX_RECORD out = hex->GetRecord(7);
    EXPECT_EQ(out.byLen, 0);
    EXPECT_EQ(out.pData, nullptr);

    // A second Load on the same object keeps bytes handed out by the first valid.
    ASSERT_TRUE(hex->m_file.Open(KALVO_TEST_DATA "/hex/fw_sample_crlf.hex", plat::CFile::modeRead));
    ASSERT_EQ(hex->Load(), 1);
    EXPECT_EQ(hex->GetRecordCount(), 7u);
    EXPECT_EQ(d.pData[15], 0xD9);
}

TEST(HexFileLoad, LargeImageIsLinear) {
    std::vector<std::string> lines;
    for (int seg = 0; seg < 8; ++seg) {
        lines.push_back(Line(4, 0, {0x08, static_cast<uint8_t>(seg)}));
        for (int i = 0; i < 4096; ++i)
            lines.push_back(
                Line(0, static_cast<uint16_t>(i * 16), Ramp(16, static_cast<uint8_t>(i))));
    }
    lines.push_back(kEof);
    Loaded l = LoadText(Join(lines, "\r\n") + "0203");
    ASSERT_EQ(l.result, 1);
    ASSERT_EQ(l.hex->GetRecordCount(), lines.size());
    EXPECT_EQ(l.hex->m_wExtCount, 8);
    EXPECT_EQ(l.hex->GetDataRecordCount(), 8u * 4096);
    EXPECT_EQ(l.hex->GetHexVer(), 0x0203);
    unsigned sum = 0;
    for (size_t i = 0; i < l.hex->GetRecordCount(); ++i) {
        HEX_RECORD r = l.hex->GetRecord(i);
        for (size_t k = 0; k < r.byLen; ++k) sum += r.pData[k];
    }
    EXPECT_GT(sum, 0u);
}

TEST(HexFileLoad, OversizedAndEndlessFilesAreRefused) {
    testsupport::TempDir dir;
    std::string path = dir.File("big.hex");
    {
        int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        std::string head = Join({kData1, kEof}, "\r\n");
        ASSERT_EQ(::write(fd, head.data(), head.size()), static_cast<ssize_t>(head.size()));
        ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(CHEXFile::kMaxFileSize + 1)), 0);
        ::close(fd);
    }
    for (const std::string& p : {path, std::string("/dev/zero")}) {
        SCOPED_TRACE(p);
        CHEXFile hex;
        ASSERT_TRUE(hex.m_file.Open(p, plat::CFile::modeRead));
        g_bLogEnable = 1;
        testing::internal::CaptureStdout();
        EXPECT_EQ(hex.Load(), 0);
        std::string log = testing::internal::GetCapturedStdout();
        g_bLogEnable = 0;
        EXPECT_FALSE(hex.m_file.IsOpen());
        EXPECT_EQ(hex.GetRecordCount(), 0u);
        EXPECT_EQ(hex.GetHexVer(), 0);
        EXPECT_NE(log.find("[CHEXFile] " + p + " is larger than 67108864 bytes"), std::string::npos)
            << log;
    }
    // Exactly at the bound is still read.
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(CHEXFile::kMaxFileSize)), 0);
    CHEXFile hex;
    ASSERT_TRUE(hex.m_file.Open(path, plat::CFile::modeRead));
    EXPECT_EQ(hex.Load(), 1);
    EXPECT_EQ(hex.GetRecordCount(), 2u);
}

TEST(HexFile, HolderOfARawPayload) {
    CHEXFile holder;
    EXPECT_STREQ(holder.GetRuntimeClass(), "CHEXFile");
    EXPECT_EQ(holder.m_dwEdogOffset, 0u);
    EXPECT_EQ(holder.m_dwMusicOffset, 0u);
    EXPECT_EQ(holder.m_dwRadarOffset, 0u);
    EXPECT_EQ(holder.m_wVersion, 0);
    EXPECT_EQ(holder.m_wExtCount, 0);
    EXPECT_EQ(holder.GetRecordCount(), 0u);
    EXPECT_EQ(holder.m_nLineLen16 + holder.m_nLineLen0, 58);
    EXPECT_FALSE(holder.m_file.IsOpen());
    EXPECT_FALSE(holder.m_packet.HasRecord());

    testsupport::TempDir dir;
    dir.Write("rdfw.bin", Ramp(2048, 5));
    ASSERT_TRUE(holder.m_file.Open(dir.File("rdfw.bin"), plat::CFile::modeRead));
    holder.m_dwRadarOffset = 1024;
    ASSERT_TRUE(holder.m_file.Seek(holder.m_dwRadarOffset));
    uint8_t buf[1024];
    EXPECT_EQ(holder.m_file.Read(buf, sizeof(buf)), 1024u);
    EXPECT_EQ(buf[0], Ramp(2048, 5)[1024]);
    EXPECT_EQ(holder.m_file.GetLength(), 2048u);
}

// Mutated lines and files: no crash, no read outside a buffer (run under ASan), and a line is
// accepted only when it is what a correct writer would produce.
TEST(HexFile, MutatedInputsNeverMisread) {
    std::mt19937 rng(20240611);
    static const char kAlphabet[] = "0123456789ABCDEFabcdef:GgXx \r\n\t\x00\xff";
    const std::string alphabet(kAlphabet, sizeof(kAlphabet) - 1);
    std::vector<std::string> seeds = {kData1, kData2, kEof, ":020000040800F2",
                                      Line(0, 0x1234, Ramp(255, 7))};
    for (int iter = 0; iter < 20000; ++iter) {
        std::string s = seeds[rng() % seeds.size()];
        int edits = 1 + static_cast<int>(rng() % 3);
        for (int e = 0; e < edits; ++e) {
            size_t at = s.empty() ? 0 : rng() % s.size();
            switch (rng() % 3) {
                case 0:
                    if (!s.empty()) s[at] = alphabet[rng() % alphabet.size()];
                    break;
                case 1:
                    s.insert(at, 1, alphabet[rng() % alphabet.size()]);
                    break;
                default:
                    if (!s.empty()) s.erase(at, 1 + rng() % 4);
            }
        }
        // Exact-size heap copy so ASan sees any read past the end.
        auto buf = std::make_unique<char[]>(s.size() + 1);
        std::memcpy(buf.get(), s.data(), s.size());
        CHEXPacket p;
        int ok = p.Parse(s.empty() ? nullptr : buf.get(), s.size());
        if (ok) {
            HEX_RECORD r = p.GetHexRecord();
            std::string again = Line(r.byType, r.wAddr, RecordData(r));
            std::string upper = s;
            for (char& ch : upper)
                ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
            EXPECT_EQ(upper, again) << "accepted " << s;
        }
    }
    for (int iter = 0; iter < 300; ++iter) {
        std::string text =
            Join({":020000040800F2", kData1, kData2, kEof}, iter % 2 ? "\n" : "\r\n") + "0104";
        for (int e = 0; e < 2; ++e) {
            size_t at = rng() % text.size();
            if (rng() % 2)
                text[at] = alphabet[rng() % alphabet.size()];
            else
                text.erase(at, 1 + rng() % 30);
        }
        Loaded l = LoadText(text);
        EXPECT_LE(l.hex->GetRecordCount(), 4u);
        EXPECT_LE(l.result, 1);
    }
}

}  // namespace
