#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "core/Log.h"
#include "core/TaskManager.h"
#include "platform/Time.h"

namespace {

using Codes = std::vector<uint8_t>;

// The fixture is the sender: it records the code of each frame; a send may hang once.
class TaskManagerTest : public testing::Test, public CFrameSender {
protected:
    void SetUp() override {
        plat::SetTimeScale(0.1);
        tm.Start();
    }
    void TearDown() override {
        tm.Stop();
        plat::SetTimeScale(1.0);
    }
    int send_data(const uint8_t* frame, int32_t len) override {
        std::unique_lock<std::mutex> lock(mtx);
        codes.push_back(len >= 4 ? frame[3] : 0);
        lock.unlock();
        plat::Sleep(hangMs.exchange(0));
        return 1;
    }
    Codes Sent() {
        std::lock_guard<std::mutex> lock(mtx);
        return codes;
    }
    void Add(uint8_t code, int32_t maxRetry = 5) {
        CISPPacket p;
        p.m_frame.Append(Codes{0xAC, 0x05, 0x00, code}.data(), 4);
        p.m_nMaxRetry = maxRetry;
        tm.AddTask(p);
    }
    // Waits until n frames have gone out (bounded), then a little longer for any extra one.
    Codes SentAfter(size_t n) {
        for (int i = 0; i < 2000 && Sent().size() < n; ++i) plat::Sleep(10);
        plat::Sleep(30);
        return Sent();
    }
    std::mutex mtx;
    Codes codes;
    std::atomic<uint32_t> hangMs{0};
    CCmdTaskManager tm{this};
};

TEST_F(TaskManagerTest, SendsOneAtATimeAndFinishMatchesByCode) {
    for (uint8_t c : {0x21, 0x23, 0x20}) Add(c);
    EXPECT_EQ(SentAfter(1), Codes({0x21}));
    tm.FinishTask(0x33);  // wrong code: nothing changes
    EXPECT_EQ(SentAfter(1), Codes({0x21}));
    EXPECT_EQ(tm.GetQueueSize(), 3u);
    tm.FinishTask(0x21);
    EXPECT_EQ(SentAfter(2), Codes({0x21, 0x23}));
    tm.FinishTask(0x23);
    EXPECT_EQ(SentAfter(3), Codes({0x21, 0x23, 0x20}));
    tm.FinishTask(0x20);
    EXPECT_EQ(tm.GetQueueSize(), 0u);
}

TEST_F(TaskManagerTest, StopThenAddSendsNothingAndStartDropsIt) {
    tm.Stop();
    Add(0x13);
    EXPECT_TRUE(SentAfter(1).empty());
    EXPECT_EQ(tm.GetQueueSize(), 1u);
    tm.Start();
    EXPECT_EQ(tm.GetQueueSize(), 0u);
    EXPECT_TRUE(SentAfter(1).empty());
}

TEST_F(TaskManagerTest, ZeroRetriesSendsOnceAndDrops) {
    Add(0x01, 0);
    EXPECT_EQ(SentAfter(1).size(), 1u);
    for (int i = 0; i < 200 && tm.GetQueueSize() != 0; ++i) plat::Sleep(10);
    EXPECT_EQ(tm.GetQueueSize(), 0u);
}

TEST_F(TaskManagerTest, HungSendRestartsOnlyAbove2000ms) {
    hangMs = 5000;
    Add(0x21);
    Add(0x23);
    for (int i = 0; i < 500 && Sent().empty(); ++i) plat::Sleep(10);
    plat::Sleep(1000);  // well below the limit: queued behind, no restart
    Add(0x31);
    EXPECT_EQ(tm.GetQueueSize(), 3u);
    plat::Sleep(1600);  // now 2600 ms into the send
    g_bLogEnable = 1;
    testing::internal::CaptureStdout();
    Add(0x33);
    FlushLogEcho(10000);
    std::string log = testing::internal::GetCapturedStdout();
    g_bLogEnable = 0;
    EXPECT_NE(log.find("may be halt, restart"), std::string::npos);
    EXPECT_EQ(SentAfter(2), Codes({0x21, 0x33}));
    EXPECT_EQ(tm.GetQueueSize(), 1u);
}

}  // namespace
