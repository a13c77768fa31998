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

struct Loop : CAutoThread {
    std::atomic<int> passes{0};
    uint32_t result = 0;
    ~Loop() override { StopThread(); }
    uint32_t Run() override {
        while (m_bStop == 0) {
            passes++;
            plat::Sleep(1);
        }
        return result;
    }
};

// A body that ignores the stop request; what it touches it co-owns.
struct Stubborn : CAutoThread {
    std::shared_ptr<std::atomic<bool>> release = std::make_shared<std::atomic<bool>>(false);
    std::shared_ptr<std::atomic<int>> started = std::make_shared<std::atomic<int>>(0);
    ~Stubborn() override {
        release->store(true);
        StopThread();
        WaitAbandoned(5000);
    }
    uint32_t Run() override {
        auto rel = release;
        started->fetch_add(1);
        while (!rel->load()) plat::Sleep(1);
        return 3;
    }
};

TEST_F(ScaledTime, StartStopExitCodeAndRestart) {
    Loop t;
    EXPECT_EQ(t.StopThread(), 1);
    EXPECT_EQ(t.m_bStop, 1);
    t.result = 7;
    ASSERT_EQ(t.StartThread(), 1);
    EXPECT_EQ(t.StartThread(), 1);  // ends the first, exactly one left
    EXPECT_TRUE(t.IsRunning());
    while (t.passes < 3) plat::Sleep(1);
    EXPECT_EQ(t.StopThread(), 1);
    EXPECT_FALSE(t.IsRunning());
    EXPECT_EQ(t.m_dwExitCode, 7u);
}

TEST_F(ScaledTime, BodyIgnoringStopIsAbandonedAfterTimeoutAndANewOneStarts) {
    Stubborn t;
    ASSERT_EQ(t.StartThread(), 1);
    while (*t.started < 1) plat::Sleep(1);
    uint32_t before = plat::GetTickCount();
    ASSERT_EQ(t.StartThread(), 1);
    EXPECT_GE(plat::GetTickCount() - before, 2000u);
    EXPECT_EQ(t.m_dwExitCode, 0xFFFFFFFFu);
    while (*t.started < 2) plat::Sleep(1);
    EXPECT_TRUE(t.IsRunning());
}

struct SelfStopper : CAutoThread {
    std::atomic<bool> done{false};
    ~SelfStopper() override { StopThread(); }
    uint32_t Run() override {
        StopThread();  // must not join itself
        done = true;
        return 0;
    }
};

TEST_F(ScaledTime, ThreadStoppingItselfDoesNotDeadlock) {
    SelfStopper t;
    t.StartThread();
    while (!t.done) plat::Sleep(1);
    EXPECT_FALSE(t.IsRunning());
}

TEST(Mutex, IsReentrant) {
    CMuTexObject m;
    ASSERT_EQ(m.Lock(), 1);
    ASSERT_EQ(m.Lock(), 1);
    m.Unlock();
    m.Unlock();
}

}  // namespace
