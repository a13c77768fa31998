// Downloads and the verify comparison: the frames the download operations queue for images
// written by real tools and for raw payload files, taken from a task manager that only queues.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>
#include <sstream>

#include "IspHarness.h"
#include "support/TestMain.h"

namespace {

using namespace isptest;
using testsupport::Bytes;

struct Record {
    uint32_t addr;
    Frame data;
};

// The data records of an Intel HEX text with their full addresses, read independently of the
// program's own reader.
std::vector<Record> DataRecords(const std::string& text, int* startRecords) {
    std::vector<Record> out;
    uint32_t upper = 0;
    *startRecords = 0;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] != ':') continue;
        auto byte = [&](size_t i) {
            return static_cast<uint8_t>(std::stoul(line.substr(1 + 2 * i, 2), nullptr, 16));
        };
        uint8_t type = byte(3);
        Frame data;
        for (size_t k = 0; k < byte(0); ++k) data.push_back(byte(4 + k));
        if (type == 4) upper = static_cast<uint32_t>(data.at(0) << 8 | data.at(1));
        if (type == 5) ++*startRecords;
        if (type == 0)
            out.push_back({upper << 16 | static_cast<uint32_t>(byte(1) << 8 | byte(2)), data});
    }
    return out;
}

// A queued write frame taken apart (queued frames are unsealed; the length counts the checksum).
Record Decode(const Frame& f) {
    if (f.size() < 9) {
        ADD_FAILURE() << "short write frame";
        return {};
    }
    EXPECT_EQ(f[0], 0xAC);
    EXPECT_EQ(f[3], CMD_WRITE_HEX);
    EXPECT_EQ(static_cast<size_t>(f[1] | f[2] << 8), f.size() + 1);
    EXPECT_EQ(f[8], f.size() - 9);
    return {static_cast<uint32_t>(f[4] | f[5] << 8 | f[6] << 16 | f[7] << 24),
            Frame(f.begin() + 9, f.end())};
}

bool Have(const std::string& tool) {
    return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

Frame RandomBytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    Frame out(n);
    for (uint8_t& b : out) b = static_cast<uint8_t>(gen());
    return out;
}

class IspDownload : public testing::Test {
protected:
    void SetUp() override { ResetController(); }
    void TearDown() override { ResetController(); }
    std::string Run(const std::string& command) {
        EXPECT_EQ(std::system(("cd " + dir.Path() + " && " + command).c_str()), 0) << command;
        auto bytes = testsupport::ReadFile(dir.File("out.hex"));
        return std::string(bytes.begin(), bytes.end());
    }
    testsupport::TempDir dir;
};

TEST_F(IspDownload, RealToolImagesBecomeOneFramePerDataRecord) {
    if (!Have("arm-none-eabi-objcopy") || !Have("srec_cat"))
        GTEST_SKIP() << "needs arm-none-eabi-objcopy and srec_cat";
    Frame a = RandomBytes(4101, 1), big = RandomBytes(70000, 2), b = RandomBytes(300, 3);
    dir.Write("a.bin", a);
    dir.Write("big.bin", big);
    dir.Write("b.bin", b);
    const std::string objcopy = "arm-none-eabi-objcopy -I binary -O ihex ";
    struct Case {
        std::string name;
        std::string command;
        bool startRecord;
        std::vector<std::pair<uint32_t, const Frame*>> parts;
    } cases[] = {
        {"objcopy",
         objcopy + "--change-addresses 0x08000000 a.bin out.hex",
         true,
         {{0x08000000, &a}}},
        {"objcopy without start address",
         objcopy + "--change-section-address .data=0x08000000 a.bin out.hex",
         false,
         {{0x08000000, &a}}},
        {"objcopy over 64 KiB",
         objcopy + "--change-addresses 0x08000000 big.bin out.hex",
         true,
         {{0x08000000, &big}}},
        {"srec_cat with a gap",
         "srec_cat a.bin -binary -offset 0x08000000 b.bin -binary -offset 0x08030000 "
         "-o out.hex -intel",
         false,
         {{0x08000000, &a}, {0x08030000, &b}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int starts = 0;
        auto records = DataRecords(Run(c.command), &starts);
        EXPECT_EQ(starts > 0, c.startRecord);
        auto image = LoadHex(dir.File("out.hex"));
        CQueueProbe queue;
        ASSERT_EQ(g_ISPCtrl.DownloadHex(image.get()), 1);
        auto frames = queue.Queued();
        ASSERT_EQ(frames.size(), records.size());
        std::map<uint32_t, uint8_t> written, expected;
        for (size_t i = 0; i < frames.size(); ++i) {
            Record r = Decode(frames[i]);
            EXPECT_EQ(r.addr, records[i].addr) << "frame " << i;
            EXPECT_EQ(r.data, records[i].data) << "frame " << i;
            for (size_t k = 0; k < r.data.size(); ++k)
                EXPECT_TRUE(written.emplace(r.addr + k, r.data[k]).second) << "written twice";
        }
        for (auto [base, bytes] : c.parts)
            for (size_t k = 0; k < bytes->size(); ++k) expected[base + k] = (*bytes)[k];
        EXPECT_TRUE(written == expected) << "the frames do not rebuild the input files";
    }
}

TEST_F(IspDownload, ImageThatCannotBeWrittenRightQueuesNothing) {
    const std::string ext = HexLine(4, 0, {0x08, 0x00}), data = HexLine(0, 0, Data(16)),
                      end = HexLine(1, 0, {});
    struct Case {
        std::string name;
        std::string text;
        int runState;
        int result;
    };
    std::vector<Case> cases = {
        {"data record first", data + end, 2, 0},
        {"segment address record", ext + HexLine(2, 0, {0x10, 0x00}) + data + end, 2, 0},
        {"unknown record type", ext + data + HexLine(6, 0, {}) + end, 2, 0},
        {"stop requested", ext + data + end, 0, 1},
    };
    if (Have("arm-none-eabi-objcopy")) {
        dir.Write("a.bin", RandomBytes(100, 4));
        cases.push_back({"objcopy at address 0",
                         Run("arm-none-eabi-objcopy -I binary -O ihex a.bin out.hex"), 2, 0});
    }
    for (const Case& c : cases) {
        dir.Write("in.hex", c.text);
        auto image = LoadHex(dir.File("in.hex"));
        CQueueProbe queue;
        g_ISPCtrl.m_nRunState.store(c.runState);
        EXPECT_EQ(g_ISPCtrl.DownloadHex(image.get()), c.result) << c.name;
        EXPECT_TRUE(queue.Queued().empty()) << c.name;
    }
    // A start-address record written first (as some tools do) is no reason to refuse.
    dir.Write("in.hex", HexLine(5, 0, {0x08, 0x00, 0x01, 0x01}) + ext + data + end);
    auto image = LoadHex(dir.File("in.hex"));
    CQueueProbe queue;
    g_ISPCtrl.m_nRunState.store(2);
    EXPECT_EQ(g_ISPCtrl.DownloadHex(image.get()), 1);
    EXPECT_EQ(queue.Queued().size(), 1u);
}

TEST_F(IspDownload, RawPayloadsAreCutIntoChunksInFileOrder) {
    struct Case {
        const char* name;
        int (CISPCtrl::*download)(CHEXFile*);
        uint8_t code;
        size_t size;
        std::vector<size_t> lengths;
    } cases[] = {
        {"empty", &CISPCtrl::DownloadEdog, CMD_EDOG_DATA, 0, {}},
        {"one chunk", &CISPCtrl::DownloadEdog, CMD_EDOG_DATA, 4096, {0x1005}},
        {"one byte more", &CISPCtrl::DownloadEdog, CMD_EDOG_DATA, 4097, {0x1005, 6}},
        {"sound", &CISPCtrl::DownloadMusic, CMD_MUSIC_DATA, 4097, {0x1005, 6}},
        {"radar", &CISPCtrl::DownloadRadar, CMD_RADAR_DATA, 2048, {1029, 1029}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Frame file = RandomBytes(c.size, static_cast<uint32_t>(c.size));
        dir.Write("payload.bin", file);
        CHEXFile holder;
        ASSERT_TRUE(holder.m_file.Open(dir.File("payload.bin"), plat::CFile::modeRead));
        holder.m_dwMusicOffset = 100;  // a sound download always starts from the beginning
        CQueueProbe queue;
        EXPECT_EQ((g_ISPCtrl.*c.download)(&holder), 1);
        Frame payload;
        std::vector<size_t> lengths;
        for (const Frame& f : queue.Queued()) {
            lengths.push_back(static_cast<size_t>(f.at(1) | f.at(2) << 8));
            EXPECT_EQ(f.at(3), c.code);
            EXPECT_EQ(f.size() + 1, lengths.back());
            payload.insert(payload.end(), f.begin() + 4, f.end());
        }
        EXPECT_EQ(lengths, c.lengths);
        EXPECT_EQ(payload, file);
    }
}

TEST_F(IspDownload, RawDownloadDropsTheQueueWhenTheFileReadsShort) {
    // A sysfs attribute claims a whole page but reads back a few bytes.
    const std::string path = "/sys/devices/system/cpu/online";
    CHEXFile holder;
    if (!holder.m_file.Open(path, plat::CFile::modeRead) ||
        holder.m_file.GetLength() <= testsupport::ReadFile(path).size())
        GTEST_SKIP() << "no file here that reads shorter than its length";
    CQueueProbe queue;
    CISPPacket earlier;
    earlier.m_frame.Append(Bytes({0xAC, 0x05, 0x00, CMD_EDOG_BEGIN}).data(), 4);
    queue.AddTask(earlier);
    EXPECT_EQ(g_ISPCtrl.DownloadEdog(&holder), 0);
    EXPECT_TRUE(queue.Queued().empty());
}

TEST_F(IspDownload, ReadBackComparesTheBytesOfEachDataRecordInTurn) {
    Frame r1 = Data(16, 1), r2 = Data(8, 2), r3 = Data(4, 3);
    dir.Write("fw.hex", HexLine(4, 0, {0x08, 0x00}) + HexLine(0, 0, r1) + HexLine(0, 0x10, r2) +
                            HexLine(4, 0, {0x08, 0x01}) + HexLine(0, 0, r3) +
                            HexLine(5, 0, {0x08, 0, 0, 0}) + HexLine(1, 0, {}));
    auto image = LoadHex(dir.File("fw.hex"));
    Frame permuted = r2, sameSum = r3;
    std::reverse(permuted.begin(), permuted.end());
    sameSum[0]++;
    sameSum[1]--;
    struct Step {
        const char* name;
        Frame data;
        int32_t len;
        int result;
        int32_t indexAfter;
    } steps[] = {
        {"first data record", r1, 16, 1, 2},
        {"second data record", r2, 8, 1, 4},
        {"past the second extended address", r3, 4, 1, 0},
        {"wrapped to the first", r1, 16, 1, 2},
        {"bytes permuted", permuted, 8, 0, 4},
        {"other bytes, same sum", sameSum, 4, 0, 0},
        {"one byte short", r1, 15, 0, 2},
    };
    for (const Step& s : steps) {
        EXPECT_EQ(g_ISPCtrl.CompareReadBack(image.get(), s.data.data(), s.len), s.result) << s.name;
        EXPECT_EQ(g_ISPCtrl.m_nVerifyIndex.load(), s.indexAfter) << s.name;
    }
}

}  // namespace
