// The command task manager: one command in flight, its queue, stops, restarts and hung sends.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "core/Log.h"
#include "core/TaskManager.h"
#include "platform/Time.h"
#include "support/Threads.h"

namespace {

using Codes = std::vector<uint8_t>;

using testsupport::SettleThreads;
using testsupport::ThreadCount;

// A manager whose wake event can be signalled once more, as the late signal of an AddTask whose
// record a ClearTask on another thread dropped before the signal went out.
class CLateWakeManager : public CCmdTaskManager {
public:
    using CCmdTaskManager::CCmdTaskManager;
    void LateWake() {
        std::shared_ptr<plat::CEvent> ev;
        {
            auto lock = Lock();
            ev = m_pQueue->pWakeEvent;
        }
        if (ev) ev->Set();
    }
};

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
    CLateWakeManager tm{this};
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

// Each record goes out once however often the worker is woken while it is at the front.
TEST_F(TaskManagerTest, ALateWakeUpDoesNotSendTheFrontRecordAgain) {
    Add(0x21);
    EXPECT_EQ(SentAfter(1), Codes({0x21}));
    tm.LateWake();
    EXPECT_EQ(SentAfter(1), Codes({0x21}));
    tm.FinishTask(0x21);
    Add(0x23);
    EXPECT_EQ(SentAfter(2), Codes({0x21, 0x23}));
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

// The reader thread, AddTask's hung-send check and the UI thread all start, stop and restart the
// worker: they must take turns, leave exactly one worker, and that one must send.
TEST_F(TaskManagerTest, ControlFromSeveralThreadsLeavesOneWorkingWorker) {
    const int before = ThreadCount();
    std::thread other([&] {
        for (int i = 0; i < 300; ++i) {
            switch (i % 4) {
                case 0:
                    tm.Restart();
                    break;
                case 1:
                    tm.Stop();
                    break;
                case 2:
                    Add(0x21);
                    break;
                default:
                    tm.FinishTask(0x21);
                    break;
            }
        }
    });
    for (int i = 0; i < 300; ++i) tm.Restart();
    other.join();
    tm.Restart();
    EXPECT_LE(SettleThreads(before), before);
    {
        std::lock_guard<std::mutex> lock(mtx);
        codes.clear();
    }
    Add(0x13);
    EXPECT_EQ(SentAfter(1), Codes({0x13}));
    tm.Stop();
    EXPECT_LE(SettleThreads(before - 1), before - 1);
}

// A sender that holds the worker inside its send until released; shared, so it outlives all.
struct HeldSender : CFrameSender {
    std::mutex mtx;
    std::condition_variable cv;
    bool inside = false, released = false;
    int send_data(const uint8_t*, int32_t) override {
        std::unique_lock<std::mutex> lock(mtx);
        inside = true;
        cv.notify_all();
        cv.wait(lock, [&] { return released; });
        return 1;
    }
};

// Destroyed while its worker is inside a send that outlasts the stop time-out: the worker is given
// up, and once the send returns it must not touch the manager's memory, whatever it now holds.
TEST(TaskManagerDestroy, DuringASendTheWorkerLeavesTheManagersMemoryAlone) {
    plat::SetTimeScale(0.05);
    const int before = ThreadCount();
    auto sender = std::make_shared<HeldSender>();
    alignas(CCmdTaskManager) unsigned char store[sizeof(CCmdTaskManager)];
    auto* tm = new (store) CCmdTaskManager(sender.get());
    tm->Start();
    CISPPacket p;
    p.m_frame.Append(Codes{0xAC, 0x05, 0x00, 0x21}.data(), 4);
    tm->AddTask(p);
    {
        std::unique_lock<std::mutex> lock(sender->mtx);
        ASSERT_TRUE(
            sender->cv.wait_for(lock, std::chrono::seconds(10), [&] { return sender->inside; }));
    }
    tm->~CCmdTaskManager();
    // Memory reused for something else.
    std::memset(store, 0xA5, sizeof store);
    {
        std::lock_guard<std::mutex> lock(sender->mtx);
        sender->released = true;
    }
    sender->cv.notify_all();
    EXPECT_LE(SettleThreads(before), before);
    bool untouched = true;
    for (unsigned char b : store) untouched = untouched && b == 0xA5;
    EXPECT_TRUE(untouched);
    plat::SetTimeScale(1.0);
}

}  // namespace
