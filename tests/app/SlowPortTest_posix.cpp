// A port whose open blocks for seconds, as a Bluetooth port's does while Windows connects it: the
// search probes the other ports meanwhile, and a window closed during that open ends at once
// without anything touching the page, the search or the window after they are gone.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "isp/IspCtrl.h"
#include "serial/PortTable.h"
#include "serial/Serial.h"
#include "support/PageRig.h"

namespace {

using Clock = std::chrono::steady_clock;

// The open of one path blocks for up to block of real time, or until released.
class CSlowOpen {
public:
    CSlowOpen(std::string path, std::chrono::milliseconds block) : m_st(std::make_shared<State>()) {
        auto st = m_st;
        serialports::SetOpenSeam([st, path = std::move(path), block](const std::string& p) {
            if (p != path) return;
            std::unique_lock<std::mutex> lock(st->mtx);
            ++st->entered;
            st->cv.notify_all();
            st->cv.wait_for(lock, block, [&] { return st->released; });
            ++st->returned;
            st->cv.notify_all();
        });
    }
    ~CSlowOpen() {
        Release();
        serialports::SetOpenSeam({});
    }
    bool Entered() {
        std::lock_guard<std::mutex> lock(m_st->mtx);
        return m_st->entered > 0;
    }
    bool Returned() {
        std::lock_guard<std::mutex> lock(m_st->mtx);
        return m_st->returned > 0;
    }
    void Release() {
        std::lock_guard<std::mutex> lock(m_st->mtx);
        m_st->released = true;
        m_st->cv.notify_all();
    }

private:
    struct State {
        std::mutex mtx;
        std::condition_variable cv;
        int entered = 0, returned = 0;
        bool released = false;
    };
    std::shared_ptr<State> m_st;
};

// A pseudo-terminal nobody answers on; its master stays open with the object.
struct CQuietPty {
    CQuietPty() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0)
            path = ::ptsname(master);
    }
    ~CQuietPty() {
        if (master >= 0) ::close(master);
    }
    int master = -1;
    std::string path;
};

bool Poll(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
    auto end = Clock::now() + limit;
    while (!pred() && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return pred();
}

using SlowPortTest = PageTest;

// 50 ports: the first blocks 5 s on open, then 48 that are gone, the device last. The device is
// found while that open still blocks; the time it took is the test's "found_ms" property.
TEST_F(SlowPortTest, ASearchOverFiftyPortsFindsTheDeviceWhileOneOpenBlocks) {
    CQuietPty slow;
    ASSERT_FALSE(slow.path.empty());
    CSlowOpen blocker(slow.path, std::chrono::seconds(5));
    ASSERT_TRUE(StartDevice());
    std::vector<std::string> table{slow.path};
    for (int i = 2; i < 50; ++i) table.push_back("/nonexistent/kalvo-tty" + std::to_string(i));
    table.push_back(port);
    serialports::SetPortTable(table);

    auto start = Clock::now();
    ASSERT_TRUE(StartPage(30000));
    auto found = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    RecordProperty("found_ms", static_cast<int>(found.count()));
    EXPECT_TRUE(blocker.Entered());
    EXPECT_FALSE(blocker.Returned());
    // The ports that opened are listed, the device's as COM50; the slow one was not open in time.
    // Listed by the search thread once the probe's wait is over, which the answer may outrun.
    ASSERT_TRUE(WaitFor([] { return g_byComPortCount.load() == 1; }, 5000));
    EXPECT_EQ(g_pComPortList[0], 50);
    EXPECT_NE(page->FailedPorts().find(slow.path + ": slow to open"), std::string::npos)
        << page->FailedPorts();
}

// The window closes while the search waits for a port that blocks on open: the page ends at once,
// and when that open returns later its port is closed again by the thread that opened it, which
// touches nothing of what is gone.
TEST_F(SlowPortTest, ClosingTheWindowDuringASlowOpenEndsAtOnceAndTheLatePortIsClosed) {
    CQuietPty slow;
    ASSERT_FALSE(slow.path.empty());
    CSlowOpen blocker(slow.path, std::chrono::seconds(5));
    serialports::SetPortTable({slow.path});
    ASSERT_TRUE(StartPage(0));
    ASSERT_TRUE(WaitFor([&] { return blocker.Entered(); }, 30000));

    auto start = Clock::now();
    StopPage();
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    RecordProperty("close_ms", static_cast<int>(took.count()));
    EXPECT_FALSE(blocker.Returned());

    blocker.Release();
    ASSERT_TRUE(Poll([&] { return blocker.Returned(); }, std::chrono::seconds(10)));
    // Nobody takes the late port over: it is closed and free again once the wait for that is over.
    CSerial again;
    EXPECT_TRUE(Poll([&] { return again.OpenPath(slow.path) == 1; }, std::chrono::seconds(30)))
        << again.GetLastErrorText();
}

// The same close, then the program ends while the open still blocks: it exits at once and clean.
// At real time: a thread given up only after the stop time-out would hold the exit for 2 s.
void CloseDuringASlowOpenAndExit() {
    plat::SetTimeScale(1.0);
    // Left to the exit, as the program's objects are.
    static auto* rig = new CPageRig;
    static auto* slow = new CQuietPty;
    static auto* blocker = new CSlowOpen(slow->path, std::chrono::seconds(5));
    serialports::SetPortTable({slow->path});
    if (!rig->StartPage(0)) ::_exit(2);
    if (!rig->WaitFor([&] { return blocker->Entered(); }, 30000)) ::_exit(3);
    auto start = Clock::now();
    rig->StopPage();
    if (Clock::now() - start > std::chrono::seconds(1) || blocker->Returned()) ::_exit(4);
    std::exit(0);
}

TEST(SlowPortDeathTest, TheProgramExitsAtOnceWhileAnOpenStillBlocks) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(CloseDuringASlowOpenAndExit(), testing::ExitedWithCode(0), "");
}

}  // namespace
