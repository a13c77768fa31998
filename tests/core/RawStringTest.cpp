#include <gtest/gtest.h>

#include "core/ISPPacket.h"
#include "core/RawString.h"

namespace {

const uint8_t kABCDE[] = {'A', 'B', 'C', 'D', 'E'};

std::string Str(const CRawString& s) {
    return s.m_pData ? std::string(reinterpret_cast<char*>(s.m_pData), s.m_nLen) : std::string();
}

TEST(RawString, StorageKeepsTwoZeroBytesAndBothEmptyStates) {
    CRawString fresh;
    EXPECT_EQ(fresh.m_pData, nullptr);
    EXPECT_EQ(fresh.GetAt(0), 0);

    CRawString s;
    ASSERT_EQ(s.Append(kABCDE, 3), 1);
    EXPECT_EQ(s.m_nLen, 3);
    EXPECT_EQ(s.m_pData[3], 0);
    EXPECT_EQ(s.m_pData[4], 0);

    CRawString empty;
    ASSERT_EQ(empty.Assign(kABCDE, 0, 0), 1);
    EXPECT_NE(empty.m_pData, nullptr);
    EXPECT_EQ(empty.m_nLen, 0);

    // Copies keep the state: no storage stays no storage, allocated-empty stays allocated.
    CRawString c1(fresh), c2(empty);
    EXPECT_EQ(c1.m_pData, nullptr);
    EXPECT_NE(c2.m_pData, nullptr);
    EXPECT_NE(c2.m_pData, empty.m_pData);
}

TEST(RawString, RefusalsLeaveContentsUntouched) {
    CRawString s;
    s.Append(kABCDE, 4);
    EXPECT_EQ(s.Assign(nullptr, 2, 0), 0);
    EXPECT_EQ(s.Assign(kABCDE, -1, 0), 0);
    EXPECT_EQ(s.Assign(s.m_pData, s.m_nLen, 0), 0);
    EXPECT_EQ(s.Append(kABCDE, 0), 0);
    EXPECT_EQ(s.Append(nullptr, 3), 0);
    EXPECT_EQ(s.Remove(4, 1), 0);
    EXPECT_EQ(s.Remove(-1, 1), 0);
    EXPECT_EQ(s.Remove(0, 0), 0);
    EXPECT_EQ(Str(s), "ABCD");
}

TEST(RawString, AssignKeepIsClampedAndAppendFromOwnStorageIsSafe) {
    CRawString s;
    s.Append(kABCDE, 4);
    const uint8_t q[] = {'q', 'r'};
    ASSERT_EQ(s.Assign(q, 2, 10), 1);
    EXPECT_EQ(Str(s), "ABCDqr");
    ASSERT_EQ(s.Append(s.m_pData + 1, 2), 1);
    EXPECT_EQ(Str(s), "ABCDqrBC");
}

TEST(RawString, Remove) {
    struct Case {
        int offset, count;
        const char* expect;
    } cases[] = {{1, 2, "ADE"}, {3, 100, "ABC"}, {0, 5, ""}};
    for (const auto& c : cases) {
        CRawString s;
        s.Append(kABCDE, 5);
        EXPECT_EQ(s.Remove(c.offset, c.count), 1);
        EXPECT_EQ(Str(s), c.expect);
        EXPECT_NE(s.m_pData, nullptr);
        EXPECT_EQ(s.m_pData[s.m_nLen], 0);
    }
}

TEST(CommandRecord, DefaultsCopiesAndCode) {
    auto* src = new CISPPacket;
    EXPECT_EQ(src->m_nMaxRetry, 5);
    EXPECT_EQ(src->m_nParam1, 1000);
    EXPECT_EQ(src->m_nParam2, 100);
    EXPECT_EQ(src->m_nTryCount, 0);
    const uint8_t f[] = {0xAC, 0x05, 0x00, 0x13};
    src->m_frame.Append(f, 4);
    src->m_nTryCount = 3;
    CISPPacket copy(*src);
    delete static_cast<CTask*>(src);
    EXPECT_EQ(copy.GetCode(), 0x13);
    EXPECT_EQ(copy.m_nTryCount, 3);
    EXPECT_EQ(copy.m_frame.m_nLen, 4);

    CISPPacket shortFrame;
    shortFrame.m_frame.Append(f, 3);
    EXPECT_EQ(shortFrame.GetCode(), 0);
}

}  // namespace
