// The worker-thread base: start, stop with its time-out, giving a thread up, own stop requests.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "core/AutoThread.h"
#include "platform/Time.h"

namespace {

class ScaledTime : public testing::Test {
protected:
    void SetUp() override { plat::SetTimeScale(0.01); }
    void TearDown() override { plat::SetTimeScale(1.0); }
};

// Runs until asked to stop, a stubborn one until released; once started, an abandoned body
// touches only what it co-owns.
struct Worker : CAutoThread {
    std::shared_ptr<std::atomic<int>> starts = std::make_shared<std::atomic<int>>(0);
    std::shared_ptr<std::atomic<bool>> release = std::make_shared<std::atomic<bool>>(false);
    std::shared_ptr<std::atomic<int>> alive = std::make_shared<std::atomic<int>>(0);
    bool stubborn = false, stopItself = false;
    ~Worker() override {
        release->store(true);
        StopThread();
        WaitAbandoned(5000);
    }
    uint32_t Run() override {
        auto n = starts;
        auto rel = release;
        auto live = alive;
        live->fetch_add(1);
        bool ignoreStop = stubborn, self = stopItself;
        if (self) StopThread();  // must not join itself
        n->fetch_add(1);
        if (!self)
            while (ignoreStop ? !rel->load() : m_bStop == 0) plat::Sleep(1);
        live->fetch_sub(1);
        return self ? 0 : 7;
    }
};

TEST_F(ScaledTime, StartStopExitCodeAndRestart) {
    Worker t;
    EXPECT_EQ(t.StopThread(), 1);
    ASSERT_EQ(t.StartThread(), 1);
    ASSERT_EQ(t.StartThread(), 1);  // ends the first
    EXPECT_EQ(t.m_dwExitCode, 7u);
    while (*t.starts < 2) plat::Sleep(1);
    EXPECT_TRUE(t.IsRunning());
    t.m_dwExitCode = 0;
    EXPECT_EQ(t.StopThread(), 1);
    EXPECT_FALSE(t.IsRunning());
    EXPECT_EQ(t.m_dwExitCode, 7u);
}

TEST_F(ScaledTime, BodyIgnoringStopIsAbandonedAfterTheTimeoutAndANewOneStarts) {
    Worker t;
    t.stubborn = true;
    ASSERT_EQ(t.StartThread(), 1);
    while (*t.starts < 1) plat::Sleep(1);
    uint32_t before = plat::GetTickCount();
    ASSERT_EQ(t.StartThread(), 1);
    EXPECT_GE(plat::GetTickCount() - before, 2000u);
    EXPECT_EQ(t.m_dwExitCode, 0xFFFFFFFFu);
    while (*t.starts < 2) plat::Sleep(1);
    EXPECT_TRUE(t.IsRunning());
}

// A thread given up keeps its own stop request: the successor started meanwhile does not make it
// run on once it looks again (it did while successors shared one stop flag). WaitStop wakes at
// once on a stop.
TEST_F(ScaledTime, AThreadGivenUpStaysStoppedWhileItsSuccessorRuns) {
    struct Late : CAutoThread {
        std::shared_ptr<std::atomic<bool>> release = std::make_shared<std::atomic<bool>>(false);
        std::shared_ptr<std::atomic<int>> alive = std::make_shared<std::atomic<int>>(0);
        ~Late() override {
            release->store(true);
            StopThread();
            WaitAbandoned(5000);
        }
        uint32_t Run() override {
            auto rel = release;
            auto live = alive;
            live->fetch_add(1);
            while (!rel->load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            while (!StopRequested()) WaitStop(plat::INFINITE_WAIT);
            live->fetch_sub(1);
            return 0;
        }
    } t;
    t.m_dwStopTimeout = 20;
    ASSERT_EQ(t.StartThread(), 1);
    ASSERT_EQ(t.StartThread(), 1);  // gives the first up, which is busy
    while (*t.alive < 2) plat::Sleep(1);
    t.release->store(true);
    EXPECT_TRUE(t.WaitAbandoned(5000));  // the first has ended, not run on
    EXPECT_EQ(*t.alive, 1);
    EXPECT_TRUE(t.IsRunning());
    t.m_dwStopTimeout = plat::INFINITE_WAIT;
    t.StopThread();  // returns only once the successor's WaitStop has woken
    EXPECT_EQ(*t.alive, 0);
}

TEST_F(ScaledTime, ThreadStoppingItselfDoesNotDeadlock) {
    Worker t;
    t.stopItself = true;
    t.StartThread();
    while (*t.starts < 1) plat::Sleep(1);
    EXPECT_FALSE(t.IsRunning());
}

// Two threads starting the same object's thread: a thread started in between is ended, never
// dropped (a dropped joinable thread ends the process), and one is left.
TEST_F(ScaledTime, StartingFromTwoThreadsLeavesOneThread) {
    Worker t;
    auto starter = [&t] {
        for (int i = 0; i < 200; ++i) t.StartThread();
    };
    std::thread a(starter), b(starter);
    a.join();
    b.join();
    EXPECT_TRUE(t.IsRunning());
    t.StopThread();
    EXPECT_TRUE(t.WaitAbandoned(5000));
    EXPECT_EQ(*t.alive, 0);
}

}  // namespace
