// Frames: sealing with the sum, finding frames in a stream, dropping noise and bad frames.
#include <gtest/gtest.h>

#include <vector>

#include "isp/Frame.h"

namespace {

using Bytes = std::vector<uint8_t>;

CRawString Raw(const Bytes& b) {
    CRawString s;
    s.Append(b.data(), static_cast<int32_t>(b.size()));
    return s;
}

struct Collector {
    CRawString stream;
    std::vector<Bytes> frames;
    void Feed(const Bytes& chunk) {
        stream.Append(chunk.data(), static_cast<int32_t>(chunk.size()));
        isp::ExtractFrames(stream, [this](const CRawString& f) {
            frames.emplace_back(f.m_pData, f.m_pData + f.m_nLen);
        });
    }
};

TEST(Frame, SealAddsPlainSumOfCommandAndPayload) {
    const std::pair<Bytes, uint8_t> cases[] = {
        {{0xAC, 0x05, 0x00, 0x13}, 0x13},
        {{0xAC, 0x06, 0x00, 0x0F, 0xAC}, 0xBB},
        {{0xAC, 0x07, 0x00, 0x0D, 0x1B, 0x02}, 0x2A},
        {{0xAC, 0x08, 0x00, 0x04, 0x00, 0x10, 0x0E}, 0x22},
        {{0xAC, 0x0B, 0x00, 0x05, 0x00, 0x00, 0x00, 0x08, 0x00, 0x08}, 0x15},
    };
    for (const auto& [unsealed, checksum] : cases) {
        CRawString f = Raw(unsealed);
        ASSERT_TRUE(isp::SealFrame(f));
        Bytes sealed = unsealed;
        sealed.push_back(checksum);
        EXPECT_EQ(Bytes(f.m_pData, f.m_pData + f.m_nLen), sealed);
    }
}

TEST(Frame, FindFrameIndicesAndRejections) {
    int start = 0, end = 0;
    ASSERT_TRUE(FindFrame(Raw({0x00, 0xAC, 0x05, 0x00, 0x13, 0x13, 0xAC}), start, end));
    EXPECT_EQ(start, 2);
    EXPECT_EQ(end, 5);
    EXPECT_TRUE(FindFrame(Raw({0xAC, 0x05, 0x7F, 0x13, 0x13}), start, end));  // high length byte
    for (const Bytes& bad :
         {Bytes{0xAC, 0x05, 0x00, 0x52, 0x52}, Bytes{0xAC, 0x05, 0x00, 0xFF, 0xFF},
          Bytes{0xAC, 0x05, 0x00, 0x00, 0x00}, Bytes{0xAC, 0x05, 0x00, 0x13, 0x14}})
        EXPECT_FALSE(FindFrame(Raw(bad), start, end));
}

TEST(Frame, ExtractionDropsBadFramesAndNoiseAndJoinsSplitFrames) {
    Collector bad;
    bad.Feed({0xAC, 0x05, 0x00, 0x13, 0x14, 0xAC, 0x05, 0x00, 0x1A, 0x1A});
    EXPECT_EQ(bad.frames, (std::vector<Bytes>{{0x05, 0x00, 0x1A, 0x1A}}));
    EXPECT_EQ(bad.stream.m_nLen, 0);
    Bytes noise;
    for (int i = 0; i < 4096; ++i) noise.push_back(static_cast<uint8_t>((i * 7919) ^ 0xAC));
    const Bytes frame = {0xAC, 0x07, 0x00, 0x0D, 0x1B, 0x02, 0x2A};
    for (size_t cut = 1; cut < frame.size(); ++cut) {
        Collector c;
        for (int round = 0; round < 10; ++round) c.Feed(noise);
        EXPECT_LT(c.stream.m_nLen, 256);
        size_t before = c.frames.size();
        c.Feed(Bytes(frame.begin(), frame.begin() + static_cast<long>(cut)));
        EXPECT_EQ(c.frames.size(), before) << "cut at " << cut;
        c.Feed(Bytes(frame.begin() + static_cast<long>(cut), frame.end()));
        ASSERT_EQ(c.frames.size(), before + 1) << "cut at " << cut;
        EXPECT_EQ(c.frames.back(), Bytes(frame.begin() + 1, frame.end()));
    }
}

}  // namespace
