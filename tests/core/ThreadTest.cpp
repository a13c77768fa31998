#include <gtest/gtest.h>

#include <atomic>
#include <memory>

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
    bool stubborn = false, stopItself = false;
    ~Worker() override {
        release->store(true);
        StopThread();
        WaitAbandoned(5000);
    }
    uint32_t Run() override {
        auto n = starts;
        auto rel = release;
        bool ignoreStop = stubborn, self = stopItself;
        if (self) StopThread();  // must not join itself
        n->fetch_add(1);
        if (self) return 0;
        while (ignoreStop ? !rel->load() : m_bStop == 0) plat::Sleep(1);
        return 7;
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

TEST_F(ScaledTime, ThreadStoppingItselfDoesNotDeadlock) {
    Worker t;
    t.stopItself = true;
    t.StartThread();
    while (*t.starts < 1) plat::Sleep(1);
    EXPECT_FALSE(t.IsRunning());
}

}  // namespace
