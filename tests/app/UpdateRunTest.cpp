// One press of the update button against the simulated device.
#include <algorithm>
#include <cstdio>

#include "sim/Sha256.h"
#include "support/PageRig.h"

namespace {

TEST_F(PageTest, OnePressWritesAllFourPayloadsInOrderByteForByte) {
    Payloads p;
    std::vector<uint8_t> fw = Pattern(3000, 1);
    p.hex = MakeHex(fw, 0x0800FC00, "0103");  // crosses a 64 KiB boundary
    p.edog = Pattern(10000, 2);
    p.music = Pattern(4097, 3);
    p.radar = Pattern(2048, 4);
    Start(p);
    EXPECT_EQ(page->m_wPayloadTotal.load(), 4);
    Press();
    ASSERT_TRUE(WaitEvent(PageEvent::RunComplete));
    EXPECT_EQ(page->Status().GetText(), "升级完成");
    EXPECT_TRUE(page->IsButtonEnabled());
    EXPECT_EQ(page->m_byState.load(), STATE_IDLE);

    sim::Report rep = dev->GetReport();
    EXPECT_TRUE(rep.violations.empty()) << rep.violations.front();
    // Begin commands in the order firmware, camera database, sounds, radar.
    std::vector<uint8_t> begins;
    for (uint8_t c : CommandsAfterProbe())
        if (c == 0x1C || c == 0x21 || c == 0x31 || c == 0x41) begins.push_back(c);
    EXPECT_EQ(begins, std::vector<uint8_t>({0x1C, 0x21, 0x31, 0x41}));
    EXPECT_TRUE(rep.fwEnded && rep.edog.ended && rep.music.ended);
    EXPECT_EQ(rep.fwFrames, static_cast<int>((3000 + 15) / 16));
    std::vector<uint8_t> flash = dev->Flash();
    EXPECT_TRUE(std::equal(fw.begin(), fw.end(), flash.begin() + 0xFC00));
    EXPECT_EQ(dev->RawPayload(0x23), p.edog);
    EXPECT_EQ(dev->RawPayload(0x33), p.music);
    EXPECT_EQ(dev->RawPayload(0x43), p.radar);
    EXPECT_EQ(rep.edog.frames, 3);
    EXPECT_EQ(rep.music.frames, 2);
    EXPECT_EQ(rep.radar.frames, 2);
    // The discovery ran again: the same payloads are pending for the next device.
    EXPECT_EQ(page->m_wPayloadTotal.load(), 4);
    EXPECT_EQ(page->m_wPayloadDone.load(), 0);
}

TEST_F(PageTest, ProgressTextsAndBarForThreeFrames) {
    Payloads p;
    p.edog = Pattern(10000, 5);
    Start(p);
    Press();
    ASSERT_TRUE(WaitEvent(PageEvent::RunComplete));
    EXPECT_EQ(page->Status().GetText(), "Готово");
    for (const char* t :
         {"Обновление базу камер… : 33 % ", "Обновление базу камер… : 66 % ",
          "Обновление базу камер… : 100 % ", "Обновление базы камер прошло успешно."})
        EXPECT_TRUE(wnd.ShowedText(t)) << t;
    std::vector<int> pos = wnd.Positions();
    pos.erase(std::remove(pos.begin(), pos.end(), 0), pos.end());
    EXPECT_EQ(pos, std::vector<int>({33, 66, 100}));
    std::vector<uint8_t> cmds = CommandsAfterProbe();
    EXPECT_EQ(cmds, std::vector<uint8_t>({0x21, 0x23, 0x23, 0x23, 0x20}));
    // The faces go by the events: each percentage once, and Written once, between the press's
    // look and the look at the end of the run.
    using P = std::pair<int, int>;
    EXPECT_EQ(wnd.Progress(),
              std::vector<P>({{PAYLOAD_EDOG, 33}, {PAYLOAD_EDOG, 66}, {PAYLOAD_EDOG, 100}}));
    std::vector<std::pair<int, PayloadOutcome>> edog;
    for (const auto& o : wnd.Outcomes())
        if (o.first == PAYLOAD_EDOG) edog.push_back(o);
    ASSERT_GE(edog.size(), 3u);
    EXPECT_EQ(std::count(edog.begin(), edog.end(),
                         std::pair<int, PayloadOutcome>(PAYLOAD_EDOG, PayloadOutcome::Written)),
              1);
    EXPECT_EQ(edog[edog.size() - 3].second, PayloadOutcome::Pending);
    EXPECT_EQ(edog[edog.size() - 2].second, PayloadOutcome::Written);
    EXPECT_EQ(edog.back().second, PayloadOutcome::Pending);
}

// A payload alone: its own begin command goes first, and the run ends with its word.
TEST_F(PageTest, OnlySoundsStartWithTheirBeginOnlyRadarEndsWithItsOwnWord) {
    for (bool radar : {false, true}) {
        SCOPED_TRACE(radar ? "radar" : "sounds");
        Payloads p;
        (radar ? p.radar : p.music) = Pattern(1000, 6);
        Start(p);
        Press();
        ASSERT_TRUE(WaitEvent(PageEvent::RunComplete));
        ASSERT_FALSE(CommandsAfterProbe().empty());
        EXPECT_EQ(CommandsAfterProbe().front(), radar ? 0x41 : 0x31);
        EXPECT_EQ(page->Status().GetText(), radar ? "升级完成" : "Готово");
        // The radar begin frame carries the length E8 03 00 00.
        EXPECT_EQ(dev->GetReport().radar.announced, radar ? 1000u : 0u);
        EXPECT_EQ(dev->RawPayload(radar ? 0x43 : 0x33), radar ? p.radar : p.music);
        TearDown();
        SetUp();
        std::remove(PayloadPath(PAYLOAD_MUSIC).c_str());
        wnd.ForgetEvents();
    }
}

TEST_F(PageTest, PressWithNothingPendingSendsNothing) {
    Start(Payloads{});
    Press();
    ASSERT_TRUE(WaitEvent(PageEvent::NothingToDo, 5000));
    RunUntil([] { return false; }, 500);
    EXPECT_TRUE(CommandsAfterProbe().empty());
    EXPECT_FALSE(page->IsButtonEnabled());
}

TEST_F(PageTest, SilentDeviceTimesOutButAnIdleTickShowsNothing) {
    sim::Options opts;
    opts.faults.dropAnswerTo = 1;  // the start-up probe stays unanswered
    Payloads p;
    p.edog = Pattern(9000, 8);
    Start(p, opts, false);
    RunUntil([] { return false; }, 6000);  // two reply periods, idle
    EXPECT_FALSE(wnd.Saw(PageEvent::Timeout));
    EXPECT_EQ(page->Status().GetText(), "");
    EXPECT_FALSE(page->IsButtonEnabled());
    EXPECT_FALSE(g_ISPCtrl.IsPortOpen());  // a silent port is left to others
    // The search tries a silent port again after a while, and finds the device.
    ASSERT_TRUE(WaitEvent(PageEvent::ProbeAnswered, 30000));

    sim::Faults f;
    // Begin, then the first data frame is answered, then nothing.
    f.silenceAfter = dev->GetReport().framesIn + 2;
    dev->SetFaults(f);
    Press();
    ASSERT_TRUE(WaitEvent(PageEvent::Timeout, 20000));
    EXPECT_EQ(page->Status().GetText(), "Тайм-аут, пожалуйста,\r\nзаново откройте программу.\r\n");
    EXPECT_EQ(page->m_byState.load(), STATE_IDLE);
    page->DrainChores();  // the UI thread hands the stops and the close on
    EXPECT_FALSE(g_ISPCtrl.IsPortOpen());
    EXPECT_EQ(g_ISPCtrl.m_nRunState.load(), 2);
}

TEST_F(PageTest, DeviceErrorsShowTheirMessages) {
    struct Case {
        uint8_t code;
        const char* text;
    } cases[] = {{3, "命令无效，请重试!\n"}, {4, "Flash硬件忙!\n"},    {5, "Flash读保护!\n"},
                 {6, "Flash写保护!\n"},      {7, "参数不足或错误!\n"}, {8, "目标地址边界错误!\n"},
                 {9, "源地址边界错误!\n"},   {0, "MCU参数错误! \n"},   {10, "MCU参数错误! \n"}};
    Payloads p;
    p.edog = Pattern(9000, 9);
    Start(p);
    int frame = 1;
    for (const Case& c : cases) {
        // Frame numbers count from the start: the probe, then begin and data of each attempt.
        sim::Faults f;
        f.errorAt = frame + 2;  // the first data frame of this attempt
        f.errorCode = c.code;
        dev->SetFaults(f);
        int before = dev->GetReport().framesIn;
        Press();
        ASSERT_TRUE(WaitFor([&] { return page->Status().GetText() == c.text; }, 20000))
            << int(c.code) << " showed " << page->Status().GetText();
        WaitFor([&] { return page->m_byState.load() == STATE_IDLE; }, 5000);
        EXPECT_EQ(page->m_byState.load(), STATE_IDLE);
        RunUntil([] { return false; }, 300);
        frame += dev->GetReport().framesIn - before;
    }
    EXPECT_TRUE(wnd.Saw(PageEvent::DeviceError));
}

// The box holds the run, as the modal box on the reader thread did: nothing is written and no
// timer ends the run until the user's OK; then the run goes on.
TEST_F(PageTest, VersionWordOfTheOldProgramHoldsTheRunUntilTheBoxIsClosed) {
    sim::Options opts;
    opts.fwVersion = 0x0104;
    Payloads p;
    p.hex = MakeHex(Pattern(48, 10), 0x08000000, "0104");
    Start(p, opts);
    wnd.HoldBoxes();
    Press();
    ASSERT_TRUE(WaitFor([&] { return !wnd.Boxes().empty(); }, 20000));
    RunUntil([] { return false; }, 3 * REPLY_WAIT_MS);  // the user reads it for a while
    EXPECT_FALSE(wnd.Saw(PageEvent::Timeout));
    EXPECT_EQ(dev->GetReport().fwFrames, 0);
    EXPECT_EQ(CommandsAfterProbe(), std::vector<uint8_t>({CMD_FW_BEGIN}));
    wnd.CloseBoxes();
    ASSERT_TRUE(WaitEvent(PageEvent::RunComplete));
    EXPECT_EQ(wnd.Boxes(), std::vector<std::string>({"ERROR: This is not Q9-Dornvex program"}));
    EXPECT_EQ(page->m_wFwVer.load(), 0x0104);
    EXPECT_EQ(page->Status().GetText(), "Готово");
    EXPECT_EQ(dev->GetReport().fwFrames, 3);
}

TEST_F(PageTest, ABurnCalledDuringAnotherStopsItAndTheNextReplyEndsTheStop) {
    Payloads p;
    p.edog = Pattern(4096 * 40, 11);
    sim::Options opts;
    opts.procMicros = 2000;  // keep the download running long enough to interrupt it
    Start(p, opts);
    Press();
    ASSERT_TRUE(WaitFor([&] { return page->m_dwAckCount.load() >= 2; }, 20000));
    loop.Post([this] { page->BurnMusic(); });
    // Each text the window was given counts: the stop may end before the loop looks again.
    ASSERT_TRUE(WaitFor([&] { return wnd.ShowedText(TEXT_STOPPING); }, 5000));
    ASSERT_TRUE(WaitFor([&] { return page->m_byState.load() == STATE_IDLE; }, 10000));
    EXPECT_EQ(g_ISPCtrl.m_nRunState.load(), 2);
    EXPECT_LT(dev->GetReport().edog.frames, 40);
    EXPECT_FALSE(wnd.Saw(PageEvent::Timeout));
}

// The reader thread waits 7000 ms after the firmware before it begins the next payload. A port
// closed meanwhile (a pulled cable on an idle page) ends that wait at once: the reader leaves
// before the close returns, and nothing of the run goes on over the closed port.
TEST_F(PageTest, ClosingThePortDuringThePauseAfterAPayloadEndsTheRunThere) {
    Payloads p;
    p.hex = MakeHex(Pattern(48, 12), 0x08000000, "0103");
    p.music = Pattern(1000, 13);
    Start(p);
    Press();
    ASSERT_TRUE(WaitFor([&] { return wnd.ShowedText(TEXT_FW_DONE); }, 20000));
    loop.Post([] { g_ISPCtrl.ClosePort(); });
    RunUntil([] { return false; }, 2 * 7000);
    // The port may be open again by now: the search finds the device anew, as after a hang-up.
    EXPECT_EQ(page->m_wPayloadDone.load(), 0);
    std::vector<uint8_t> cmds = CommandsAfterProbe();
    EXPECT_EQ(std::count(cmds.begin(), cmds.end(), CMD_MUSIC_BEGIN), 0);
}

}  // namespace
