// The raw byte string and the command record: empty states, refusals, removal, copies.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "core/ISPPacket.h"

namespace {

const uint8_t kABCDE[] = {'A', 'B', 'C', 'D', 'E'};

// "-" for no storage, which differs from allocated-empty.
std::string Str(const CRawString& s) {
    return s.m_pData ? std::string(reinterpret_cast<char*>(s.m_pData), s.m_nLen) : "-";
}

TEST(RawString, EmptyStatesZeroTailAndDeepCopies) {
    CRawString none, empty, s;
    EXPECT_EQ(none.GetAt(0), 0);
    ASSERT_EQ(empty.Assign(kABCDE, 0, 0), 1);
    ASSERT_EQ(s.Append(kABCDE, 3), 1);
    EXPECT_EQ(s.m_pData[3], 0);
    EXPECT_EQ(s.m_pData[4], 0);
    CRawString c1(none), c2(empty), c3(s);
    EXPECT_EQ(Str(c1) + Str(c2) + "|" + Str(c3), "-|ABC");
    EXPECT_NE(c2.m_pData, empty.m_pData);
    EXPECT_NE(c3.m_pData, s.m_pData);
    c3 = none;
    EXPECT_EQ(Str(c3), "-");
}

TEST(RawString, RefusalsLeaveContentsAloneAndAssignKeepIsClamped) {
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
    const uint8_t q[] = {'q', 'r'};
    ASSERT_EQ(s.Assign(q, 2, 10), 1);
    ASSERT_EQ(s.Append(s.m_pData + 1, 2), 1);
    EXPECT_EQ(Str(s), "ABCDqrBC");
}

TEST(RawString, Remove) {
    const std::tuple<int, int, std::string> cases[] = {{1, 2, "ADE"}, {3, 100, "ABC"}, {0, 5, ""}};
    for (const auto& [offset, count, expect] : cases) {
        CRawString s;
        s.Append(kABCDE, 5);
        EXPECT_EQ(s.Remove(offset, count), 1);
        EXPECT_EQ(Str(s), expect);
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
    src->m_frame.Append(f, 3);
    EXPECT_EQ(src->GetCode(), 0);
    src->m_frame.Append(f + 3, 1);
    src->m_nTryCount = 3;
    CISPPacket copy(*src);
    delete static_cast<CTask*>(src);
    EXPECT_EQ(copy.GetCode(), 0x13);
    EXPECT_EQ(copy.m_nTryCount, 3);
}

}  // namespace
