#include <gtest/gtest.h>

#include <vector>

#include "isp/Frame.h"
#include "support/TestMain.h"

using testsupport::Bytes;

namespace {

std::vector<uint8_t> Vec(const CRawString& s) {
    return s.m_pData ? std::vector<uint8_t>(s.m_pData, s.m_pData + s.m_nLen)
                     : std::vector<uint8_t>();
}

struct Collector {
    CRawString stream;
    std::vector<std::vector<uint8_t>> frames;
    void Feed(const std::vector<uint8_t>& chunk) {
        stream.Append(chunk.data(), static_cast<int32_t>(chunk.size()));
        isp::ExtractFrames(stream, [this](const CRawString& f) { frames.push_back(Vec(f)); });
    }
};

TEST(Frame, SealAddsPlainSumOfCommandAndPayload) {
    struct Case {
        std::vector<uint8_t> unsealed;
        uint8_t checksum;
    } cases[] = {
        {Bytes({0xAC, 0x05, 0x00, 0x13}), 0x13},
        {Bytes({0xAC, 0x06, 0x00, 0x0F, 0xAC}), 0xBB},
        {Bytes({0xAC, 0x07, 0x00, 0x0D, 0x1B, 0x02}), 0x2A},
        {Bytes({0xAC, 0x08, 0x00, 0x04, 0x00, 0x10, 0x0E}), 0x22},
        {Bytes({0xAC, 0x0B, 0x00, 0x05, 0x00, 0x00, 0x00, 0x08, 0x00, 0x08}), 0x15},
    };
    for (auto& c : cases) {
        CRawString f;
        f.Append(c.unsealed.data(), static_cast<int32_t>(c.unsealed.size()));
        ASSERT_TRUE(isp::SealFrame(f));
        EXPECT_EQ(f.m_nLen, static_cast<int32_t>(c.unsealed.size() + 1));
        EXPECT_EQ(f.m_pData[f.m_nLen - 1], c.checksum);
    }
}

TEST(Frame, FindFrameIndicesAndRejections) {
    CRawString s;
    auto b = Bytes({0x00, 0xAC, 0x05, 0x00, 0x13, 0x13, 0xAC});
    s.Append(b.data(), 7);
    int start, end;
    ASSERT_TRUE(FindFrame(s, start, end));
    EXPECT_EQ(start, 2);
    EXPECT_EQ(end, 5);

    // Codes outside 0x01..0x51 are never frames, whatever their checksum.
    for (auto bad :
         {Bytes({0xAC, 0x05, 0x00, 0x52, 0x52}), Bytes({0xAC, 0x05, 0x00, 0x00, 0x00}),
          Bytes({0xAC, 0x05, 0x00, 0x13, 0x14}), Bytes({0xAC, 0x04, 0x00, 0x13, 0x13})}) {
        CRawString t;
        t.Append(bad.data(), static_cast<int32_t>(bad.size()));
        EXPECT_FALSE(FindFrame(t, start, end));
    }
    // The high length byte is ignored on reception.
    CRawString hi;
    auto h = Bytes({0xAC, 0x05, 0x7F, 0x13, 0x13});
    hi.Append(h.data(), 5);
    EXPECT_TRUE(FindFrame(hi, start, end));
}

TEST(Frame, ExtractionAcrossChunksGarbageAndBadChecksums) {
    Collector c;
    c.Feed(Bytes({0x00, 0xAC, 0x05, 0x00, 0x13, 0x13, 0xAC}));
    ASSERT_EQ(c.frames.size(), 1u);
    EXPECT_EQ(c.frames[0], Bytes({0x05, 0x00, 0x13, 0x13}));
    EXPECT_EQ(Vec(c.stream), Bytes({0xAC}));  // may still start a frame

    c.frames.clear();
    c.stream.Clear();
    c.Feed(Bytes({0xAC, 0x07, 0x00, 0x0D}));
    EXPECT_TRUE(c.frames.empty());
    c.Feed(Bytes({0x1B, 0x02, 0x2A, 0xAC, 0x05, 0x00, 0x1A, 0x1A}));
    ASSERT_EQ(c.frames.size(), 2u);
    EXPECT_EQ(c.frames[0][2], 0x0D);
    EXPECT_EQ(c.frames[1][2], 0x1A);

    // A bad frame before a good one goes with it.
    c.frames.clear();
    c.Feed(Bytes({0xAC, 0x05, 0x00, 0x13, 0x14, 0xAC, 0x05, 0x00, 0x1A, 0x1A}));
    ASSERT_EQ(c.frames.size(), 1u);
    EXPECT_EQ(c.frames[0][2], 0x1A);
    EXPECT_EQ(c.stream.m_nLen, 0);
}

TEST(Frame, NoisyLineKeepsStreamBoundedWithoutLosingFrames) {
    Collector c;
    std::vector<uint8_t> garbage;
    for (int i = 0; i < 4096; ++i) garbage.push_back(static_cast<uint8_t>((i * 7919) ^ 0xAC));
    for (int round = 0; round < 50; ++round) {
        c.Feed(garbage);
        EXPECT_LT(c.stream.m_nLen, 256);
    }
    size_t before = c.frames.size();
    // A valid frame split at every possible point still arrives whole.
    auto frame = Bytes({0xAC, 0x07, 0x00, 0x0D, 0x1B, 0x02, 0x2A});
    for (size_t cut = 1; cut < frame.size(); ++cut) {
        Collector d;
        d.Feed(Bytes({0x11, 0xAC, 0xFF}));
        d.Feed(std::vector<uint8_t>(frame.begin(), frame.begin() + cut));
        d.Feed(std::vector<uint8_t>(frame.begin() + cut, frame.end()));
        ASSERT_EQ(d.frames.size(), 1u) << "cut at " << cut;
        EXPECT_EQ(d.frames[0], std::vector<uint8_t>(frame.begin() + 1, frame.end()));
    }
    EXPECT_GE(c.frames.size(), before);
}

}  // namespace
