// Downloads and the verify comparison: the frames queued for images written by real tools and for
// raw payload files, taken from a task manager that only queues.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <tuple>

#include "IspHarness.h"

namespace {

using namespace isptest;

// The write frames (unsealed, as queued) for the placed data of an image; where the data land is
// checked against an independent reader in tests/image/HexToolsTest.
std::vector<Frame> WriteFrames(const CHEXFile& image, bool* startRecord) {
    std::vector<Frame> out;
    for (size_t i = 0; i < image.GetRecordCount(); ++i)
        *startRecord |= image.GetRecord(i).byType == HEX_START_LINEAR;
    int placed = image.WalkPlacedData([&](const HEX_PLACED& d) {
        uint32_t a = d.dwAddr;
        out.push_back(Cat({{0xAC, static_cast<uint8_t>(d.byLen + 10), 0x00, CMD_WRITE_HEX,
                            static_cast<uint8_t>(a), static_cast<uint8_t>(a >> 8),
                            static_cast<uint8_t>(a >> 16), static_cast<uint8_t>(a >> 24), d.byLen},
                           Frame(d.pData, d.pData + d.byLen)}));
        return true;
    });
    EXPECT_EQ(placed, 1);
    return out;
}

class IspDownload : public testing::Test {
protected:
    void TearDown() override { ResetController(); }
    testsupport::TempDir dir;
};

TEST_F(IspDownload, RealToolImagesBecomeOneFramePerDataRecord) {
    if (std::system(
            "command -v arm-none-eabi-objcopy >/dev/null && command -v srec_cat >/dev/null"))
        GTEST_SKIP() << "needs arm-none-eabi-objcopy and srec_cat";
    dir.Write("a.bin", Data(4101, 1));
    dir.Write("b.bin", Data(300, 3));
    const std::string objcopy = "arm-none-eabi-objcopy -I binary -O ihex ";
    const std::pair<std::string, bool> cases[] = {
        {objcopy + "--change-addresses 0x08000000 a.bin out.hex", true},
        {objcopy + "--change-section-address .data=0x08000000 a.bin out.hex", false},
        {"srec_cat a.bin -binary -offset 0x08000000 b.bin -binary -offset 0x08030000 "
         "-o out.hex -intel",
         false},
    };
    for (const auto& [command, withStart] : cases) {
        bool startRecord = false;
        ASSERT_EQ(std::system(("cd " + dir.Path() + " && " + command).c_str()), 0) << command;
        auto image = LoadHex(dir.File("out.hex"));
        auto expected = WriteFrames(*image, &startRecord);
        EXPECT_EQ(startRecord, withStart) << command;
        CQueueProbe queue;
        ASSERT_EQ(g_ISPCtrl.DownloadHex(image.get()), 1);
        ASSERT_FALSE(expected.empty());
        EXPECT_EQ(queue.m_added, expected) << command;
    }
}

TEST_F(IspDownload, ImageThatCannotBeWrittenRightQueuesNothing) {
    const std::string ext = HexLine(4, 0, {0x08, 0x00}), data = HexLine(0, 0, Data(16)),
                      end = HexLine(1, 0, {});
    const std::tuple<std::string, int, int, size_t> cases[] = {
        // text, run state, result, queued
        {data + end, 2, 0, 0},
        {ext + HexLine(2, 0, {0x10, 0x00}) + data + end, 2, 0, 0},
        {ext + data + HexLine(6, 0, {}) + end, 2, 0, 0},
        {ext + data + end, 0, 1, 0},  // stop requested
        {HexLine(5, 0, {0x08, 0x00, 0x01, 0x01}) + ext + data + end, 2, 1, 1},
    };
    for (const auto& [text, runState, result, queued] : cases) {
        dir.Write("in.hex", text);
        auto image = LoadHex(dir.File("in.hex"));
        CQueueProbe queue;
        g_ISPCtrl.m_nRunState.store(runState);
        EXPECT_EQ(g_ISPCtrl.DownloadHex(image.get()), result) << text;
        EXPECT_EQ(queue.GetQueueSize(), queued) << text;
    }
}

TEST_F(IspDownload, RawPayloadsAreCutIntoChunksInFileOrder) {
    using Download = int (CISPCtrl::*)(CRawPayload*);
    const std::tuple<Download, uint8_t, size_t, std::vector<size_t>> cases[] = {
        {&CISPCtrl::DownloadEdog, CMD_EDOG_DATA, 0, {}},
        {&CISPCtrl::DownloadEdog, CMD_EDOG_DATA, 4096, {0x1005}},
        {&CISPCtrl::DownloadEdog, CMD_EDOG_DATA, 4097, {0x1005, 6}},
        {&CISPCtrl::DownloadRadar, CMD_RADAR_DATA, 2048, {1029, 1029}},
    };
    for (const auto& [download, code, size, want] : cases) {
        Frame file = Data(size, static_cast<uint8_t>(size));
        CRawPayload holder(file);
        CQueueProbe queue;
        EXPECT_EQ((g_ISPCtrl.*download)(&holder), 1);
        Frame payload;
        std::vector<size_t> lengths;
        for (const Frame& f : queue.m_added) {
            lengths.push_back(static_cast<size_t>(f.at(1) | f.at(2) << 8));
            EXPECT_EQ(f.size() + 1, lengths.back());
            EXPECT_EQ(f.at(3), code);
            payload.insert(payload.end(), f.begin() + 4, f.end());
        }
        EXPECT_EQ(lengths, want) << size;
        EXPECT_EQ(payload, file) << size;
    }
}

TEST_F(IspDownload, ReadBackComparesTheBytesOfEachDataRecordInTurn) {
    Frame r1 = Data(16, 1), r2 = Data(8, 2), r3 = Data(4, 3), permuted = r2;
    std::reverse(permuted.begin(), permuted.end());
    dir.Write("fw.hex", HexLine(4, 0, {0x08, 0x00}) + HexLine(0, 0, r1) + HexLine(0, 0x10, r2) +
                            HexLine(4, 0, {0x08, 0x01}) + HexLine(0, 0, r3) +
                            HexLine(5, 0, {0x08, 0, 0, 0}) + HexLine(1, 0, {}));
    auto image = LoadHex(dir.File("fw.hex"));
    const std::tuple<Frame, int, int32_t> steps[] = {
        {r1, 1, 2}, {r2, 1, 4}, {r3, 1, 0}, {r1, 1, 2}, {permuted, 0, 4},
    };
    for (const auto& [data, result, indexAfter] : steps) {
        EXPECT_EQ(g_ISPCtrl.CompareReadBack(image.get(), data.data(), int32_t(data.size())),
                  result);
        EXPECT_EQ(g_ISPCtrl.m_nVerifyIndex.load(), indexAfter);
    }
}

}  // namespace
