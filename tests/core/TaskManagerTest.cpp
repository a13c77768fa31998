#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "core/Log.h"
#include "core/TaskManager.h"
#include "platform/Time.h"

namespace {

struct FakeSender : CFrameSender {
    std::mutex mtx;
    std::vector<uint8_t> codes;
    std::atomic<uint32_t> hangMs{0};
    int send_data(const uint8_t* frame, int32_t len) override {
        {
            std::lock_guard<std::mutex> lock(mtx);
            codes.push_back(len >= 4 ? frame[3] : 0);
        }
        if (uint32_t h = hangMs.exchange(0)) plat::Sleep(h);
        return 1;
    }
    std::vector<uint8_t> Sent() {
        std::lock_guard<std::mutex> lock(mtx);
        return codes;
    }
};

CISPPacket Record(uint8_t code) {
    CISPPacket p;
    const uint8_t f[] = {0xAC, 0x05, 0x00, code};
    p.m_frame.Append(f, 4);
    return p;
}

class TaskManagerTest : public testing::Test {
protected:
    void SetUp() override { plat::SetTimeScale(0.1); }
    void TearDown() override { plat::SetTimeScale(1.0); }
    // Waits until n frames have gone out (bounded), then a little longer for any extra one.
    std::vector<uint8_t> SentAfter(size_t n) {
        for (int i = 0; i < 2000 && sender.Sent().size() < n; ++i) plat::Sleep(10);
        plat::Sleep(30);
        return sender.Sent();
    }
    FakeSender sender;
};

TEST_F(TaskManagerTest, SendsOneAtATimeAndFinishMatchesByCode) {
    CCmdTaskManager tm(&sender);
    EXPECT_EQ(CCmdTaskManager::GetInstance(), &tm);
    tm.Start();
    for (uint8_t c : {0x21, 0x23, 0x20}) {
        auto r = Record(c);
        tm.AddTask(r);
    }
    EXPECT_EQ(SentAfter(1), std::vector<uint8_t>({0x21}));
    tm.FinishTask(0x33);  // wrong code: nothing changes
    EXPECT_EQ(SentAfter(1), std::vector<uint8_t>({0x21}));
    EXPECT_EQ(tm.GetQueueSize(), 3u);
    tm.FinishTask(0x21);
    EXPECT_EQ(SentAfter(2), std::vector<uint8_t>({0x21, 0x23}));
    tm.FinishTask(0x23);
    EXPECT_EQ(SentAfter(3), std::vector<uint8_t>({0x21, 0x23, 0x20}));
    tm.FinishTask(0x20);
    EXPECT_EQ(tm.GetQueueSize(), 0u);
    tm.FinishTask(0x20);  // empty queue: nothing
    EXPECT_EQ(tm.ClearTask(), 1);
    tm.Stop();
}

TEST_F(TaskManagerTest, StopThenAddSendsNothingAndStartDropsIt) {
    CCmdTaskManager tm(&sender);
    tm.Start();
    tm.Stop();
    auto r = Record(0x13);
    tm.AddTask(r);
    EXPECT_TRUE(SentAfter(1).empty());
    EXPECT_EQ(tm.GetQueueSize(), 1u);
    tm.Start();
    EXPECT_EQ(tm.GetQueueSize(), 0u);
    EXPECT_TRUE(SentAfter(1).empty());
    tm.Stop();
}

TEST_F(TaskManagerTest, ZeroRetriesSendsOnceAndDrops) {
    CCmdTaskManager tm(&sender);
    tm.Start();
    auto r = Record(0x01);
    r.m_nMaxRetry = 0;
    tm.AddTask(r);
    EXPECT_EQ(SentAfter(1).size(), 1u);
    for (int i = 0; i < 200 && tm.GetQueueSize() != 0; ++i) plat::Sleep(10);
    EXPECT_EQ(tm.GetQueueSize(), 0u);
    tm.Stop();
}

TEST_F(TaskManagerTest, HungSendRestartsOnlyAbove2000ms) {
    g_bLogEnable = 1;
    CCmdTaskManager tm(&sender);
    tm.Start();
    sender.hangMs = 5000;
    auto a = Record(0x21);
    auto b = Record(0x23);
    tm.AddTask(a);
    tm.AddTask(b);
    for (int i = 0; i < 500 && sender.Sent().empty(); ++i) plat::Sleep(10);
    plat::Sleep(1000);  // well below the limit: queued behind, no restart
    auto c = Record(0x31);
    tm.AddTask(c);
    EXPECT_EQ(tm.GetQueueSize(), 3u);
    plat::Sleep(1600);  // now 2600 ms into the send
    testing::internal::CaptureStdout();
    auto d = Record(0x33);
    tm.AddTask(d);
    std::string log = testing::internal::GetCapturedStdout();
    g_bLogEnable = 0;
    EXPECT_NE(log.find("may be halt, restart"), std::string::npos);
    EXPECT_EQ(SentAfter(2), std::vector<uint8_t>({0x21, 0x33}));
    EXPECT_EQ(tm.GetQueueSize(), 1u);
    tm.Stop();
}

}  // namespace
