// Many updates in one process, and updates after a failure once the device behaves again.
#include "FaultHarness.h"
#include "isp/IspCtrl.h"
#include "platform/Time.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// Quarantine and shadow memory grow with every allocation; the leak checker covers these builds.
constexpr bool kMeasureMemory = false;
#else
constexpr bool kMeasureMemory = true;
#endif

const std::vector<Phase> kAll = {PH_FW, PH_EDOG, PH_MUSIC, PH_RADAR};

void ExpectIntact(CRig& rig, const std::vector<Phase>& phases) {
    sim::Report rep = rig.dev->GetReport();
    EXPECT_TRUE(rep.violations.empty()) << rep.violations.front();
    for (Phase ph : phases) EXPECT_EQ(rig.ReceivedPrefix(ph), ph == PH_FW ? 5 : 3) << ph;
}

class SoakTest : public testing::Test {
protected:
    void SetUp() override { m_nThreads = ThreadCount(); }
    void TearDown() override {
        plat::SetTimeScale(1.0);
        EXPECT_LE(SettleThreads(m_nThreads), m_nThreads) << "threads left behind";
    }
    int m_nThreads = 0;
};

TEST_F(SoakTest, FiftyUpdatesInARowKeepThreadsAndMemoryFlat) {
    // Pauses fifty times faster; the page's timers stretched back to a 250 ms reply time.
    plat::SetTimeScale(0.02);
    CRig rig(5.0);
    rig.WritePayloads(kAll, 1500);
    ASSERT_TRUE(rig.StartDevice({}));
    ASSERT_TRUE(rig.StartPage());
    int threads = 0;
    size_t rssKiB = 0;
    for (int run = 1; run <= 50; ++run) {
        rig.wnd.Forget();
        rig.Press();
        ASSERT_EQ(rig.WaitOutcome(), PageEvent::RunComplete)
            << "run " << run << ": " << rig.page->Status().GetText();
        ASSERT_EQ(rig.page->Status().GetText(), "升级完成");
        if (run == 5) {
            threads = ThreadCount();
            rssKiB = ResidentKiB();
        }
        if (run > 5) {
            ASSERT_LE(SettleThreads(threads), threads) << "run " << run;
        }
    }
    if (kMeasureMemory) {
        EXPECT_LE(ResidentKiB(), rssKiB + 4096);
    }
    sim::Report rep = rig.dev->GetReport();
    EXPECT_TRUE(rep.violations.empty()) << rep.violations.front();
    EXPECT_EQ(rig.ReceivedPrefix(PH_FW), 5);
    EXPECT_EQ(rig.dev->RawPayload(0x23), rig.data[PH_EDOG]);
    EXPECT_EQ(rig.dev->RawPayload(0x33), rig.data[PH_MUSIC]);
    EXPECT_EQ(rig.dev->RawPayload(0x43), rig.data[PH_RADAR]);
}

TEST_F(SoakTest, AnUpdateSucceedsAfterADeviceErrorAndAfterATimeout) {
    plat::SetTimeScale(0.1);
    CRig rig;
    rig.WritePayloads(kAll);
    sim::Options o;
    o.faults.errorAt = 2;  // the firmware's begin command is refused
    o.faults.errorCode = 4;
    ASSERT_TRUE(rig.StartDevice(o));
    ASSERT_TRUE(rig.StartPage());
    rig.Press();
    ASSERT_EQ(rig.WaitOutcome(), PageEvent::DeviceError);
    EXPECT_EQ(rig.page->Status().GetText(), "Flash硬件忙!\n");
    EXPECT_TRUE(g_ISPCtrl.IsPortOpen());

    // The port is still open: the same page goes again.
    rig.dev->SetFaults({});
    rig.wnd.Forget();
    rig.Press();
    ASSERT_EQ(rig.WaitOutcome(), PageEvent::RunComplete) << rig.page->Status().GetText();
    ExpectIntact(rig, kAll);
    int threads = ThreadCount();

    sim::Faults silent;
    silent.silenceAfter = rig.dev->GetReport().framesIn;  // the next begin command goes unheard
    rig.dev->SetFaults(silent);
    rig.wnd.Forget();
    rig.Press();
    ASSERT_EQ(rig.WaitOutcome(), PageEvent::Timeout);
    EXPECT_FALSE(g_ISPCtrl.IsPortOpen());

    // After a time-out the port stays closed: the program is started again.
    rig.dev->SetFaults({});
    rig.StopPage();
    ASSERT_TRUE(rig.StartPage());
    rig.Press();
    ASSERT_EQ(rig.WaitOutcome(), PageEvent::RunComplete) << rig.page->Status().GetText();
    ExpectIntact(rig, kAll);
    EXPECT_LE(SettleThreads(threads), threads);
}

}  // namespace
