// The controller over real pseudo-terminals: the test plays the device on the master side while the
// controller runs with its real port, reader thread and task manager.
#include <gtest/gtest.h>

#include "IspHarness.h"
#include "platform/Time.h"

namespace {

using namespace isptest;

std::atomic<uint64_t> g_sent{0}, g_delivered{0};

void CountingForward(void* receiver, const uint8_t* data, uint32_t count) {
    g_sent.load();  // orders the test's earlier writes before this chunk is handled
    static_cast<CSerialObject*>(receiver)->OnReceive(data, count);
    g_delivered.fetch_add(count);
}

// Time at scale 1: at a small scale a briefly descheduled send looks hung to AddTask.
class IspWire : public testing::Test {
protected:
    void SetUp() override {
        ResetController();
        serialports::SetPortTable({dev.slave});
        g_ISPCtrl.SetResultCallback(&Recorder::Callback, &Recorder::Notice);
        ASSERT_TRUE(g_ISPCtrl.Open(1, &rec));
        g_ISPCtrl.m_serial.m_pfnReceive.store(&CountingForward);
        // A read pass begun before the swap may still use the old receiver.
        uint32_t passes = g_ISPCtrl.m_serial.GetReadPasses();
        Until([&] { return g_ISPCtrl.m_serial.GetReadPasses() >= passes + 2; });
        Manager().Start();
    }
    void TearDown() override {
        plat::SetTimeScale(1.0);
        Manager().Stop();
        g_ISPCtrl.ClosePort();
        g_ISPCtrl.m_pfnResult.store(nullptr);
        g_ISPCtrl.m_pfnNotify.store(nullptr);
        g_ISPCtrl.m_pfnNotify.store(nullptr);
        ResetController();
    }
    // Writes as the device; returns once the controller has handled every byte, so the next write
    // is a chunk of its own.
    void Send(const Frame& bytes) {
        uint64_t target = g_delivered.load() + bytes.size();
        g_sent.fetch_add(bytes.size());
        dev.Write(bytes);
        EXPECT_TRUE(Until([&] { return g_delivered.load() >= target; })) << "bytes not taken";
    }
    // Ends any answer in progress and forgets the results.
    void Settle() {
        Send(Dev(CMD_FW_READY, {0, 0}));
        rec.Clear();
    }

    Pty dev;
    Recorder rec;
};

TEST_F(IspWire, BuildersWriteExactFrames) {
    testsupport::TempDir dir;
    const Frame data16 = Data(16, 3), radarLen = {0x00, 0x08, 0x00, 0x00};
    dir.Write("one.hex",
              HexLine(4, 0, {0x08, 0x00}) + HexLine(0, 0x1000, data16) + HexLine(1, 0, {}));
    auto image = LoadHex(dir.File("one.hex"));
    const std::pair<std::function<void()>, Frame> cases[] = {
        {[] { g_ISPCtrl.EraseChip(); }, {0xAC, 0x05, 0x00, 0x13, 0x13}},
        {[] { g_ISPCtrl.EndFirmware(); }, {0xAC, 0x05, 0x00, 0x1A, 0x1A}},
        {[] { g_ISPCtrl.SendEcho(); }, {0xAC, 0x06, 0x00, 0x0F, 0xAC, 0xBB}},
        {[] { g_ISPCtrl.AnswerLoaderStarted(); }, {0xAC, 0x07, 0x00, 0x0D, 0x1B, 0x02, 0x2A}},
        {[] { g_ISPCtrl.SetDeviceBaud(921600); }, {0xAC, 0x08, 0x00, 0x04, 0x00, 0x10, 0x0E, 0x22}},
        {[] { g_ISPCtrl.SetDeviceBaud(115200); }, {0xAC, 0x08, 0x00, 0x04, 0x00, 0xC2, 0x01, 0xC7}},
        {[] { g_ISPCtrl.BeginFirmware(0x0102); }, {0xAC, 0x07, 0x00, 0x1C, 0x01, 0x02, 0x1F}},
        {[&] { g_ISPCtrl.BeginRadar(radarLen.data()); },
         {0xAC, 0x09, 0x00, 0x41, 0x00, 0x08, 0x00, 0x00, 0x49}},
        {[&] { EXPECT_EQ(g_ISPCtrl.DownloadHex(image.get()), 1); },
         Sealed(Cat({{0xAC, 0x1A, 0x00, 0x06, 0x00, 0x10, 0x00, 0x08, 0x10}, data16}))},
    };
    for (auto& [queue, wire] : cases) {
        queue();
        EXPECT_EQ(dev.ReadFrame(), wire);
        Manager().ClearTask();
    }
}

TEST_F(IspWire, AnswerOverThreeChunksFinishesTheCommandThenPassesItsData) {
    g_ISPCtrl.GetChipVersion();
    g_ISPCtrl.EraseChip();
    EXPECT_EQ(dev.ReadFrame(), Bytes({0xAC, 0x05, 0x00, 0x01, 0x01}));
    Send(Status(CMD_CHIP_VERSION, 1));
    Send({0x42, 0x07});
    EXPECT_TRUE(rec.Events().empty());
    Send(Status(CMD_CHIP_VERSION, 2));
    EXPECT_EQ(rec.Got(),
              (Results{{NOTIFY_REPLY, {CMD_CHIP_VERSION}}, {CMD_CHIP_VERSION, {0x42, 0x07}}}));
    auto ev = rec.Events();
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0].queued, 2u);  // the reply notice comes before the command is finished
    EXPECT_EQ(ev[1].queued, 1u);
    EXPECT_EQ(dev.ReadFrame(), Bytes({0xAC, 0x05, 0x00, 0x13, 0x13}));
}

TEST_F(IspWire, AnswerCompletesOnceItsDataHaveArrivedAndKeepsItsOwnData) {
    const Frame verify = Data(17, 5), next = Answer(CMD_CHIP_VERSION, {0x42, 0x07});
    // Built one element at a time: GCC 12 at -O3 takes the copy of an empty Frame out of a nested
    // initializer list for a copy to a null pointer (-Wnonnull).
    const auto done = [](std::initializer_list<std::pair<uint8_t, Frame>> answers) {
        Results out;
        for (const auto& a : answers) {
            out.emplace_back(NOTIFY_REPLY, Frame(1, a.first));
            out.push_back(a);
        }
        return out;
    };
    struct Case {
        std::vector<uint8_t> queued;  // commands in flight, in turn
        std::vector<Frame> chunks;
        Results results;
    };
    std::vector<Case> cases = {
        {{CMD_ERASE_CHIP}, {Answer(CMD_ERASE_CHIP, {})}, done({{CMD_ERASE_CHIP, {}}})},
        {{CMD_ERASE_CHIP}, {Status(CMD_ERASE_CHIP, 2)}, {}},
        {{CMD_SET_BAUD},
         {Status(CMD_SET_BAUD, 1), Status(CMD_SET_BAUD, 2)},
         {{CMD_SET_BAUD, Status(CMD_SET_BAUD, 1)},
          {NOTIFY_REPLY, {CMD_SET_BAUD}},
          {CMD_SET_BAUD, {}}}},
        {{CMD_WRITE_HEX},
         {Cat({Answer(CMD_WRITE_HEX, {}), Answer(CMD_VERIFY, verify)})},
         done({{CMD_WRITE_HEX, {}}, {CMD_VERIFY, verify}})},
        {{CMD_ERASE_CHIP, CMD_CHIP_VERSION},
         {Cat({Answer(CMD_ERASE_CHIP, {}), Frame(next.begin(), next.begin() + 4)}),
          Frame(next.begin() + 4, next.end())},
         done({{CMD_ERASE_CHIP, {}}, {CMD_CHIP_VERSION, {0x42, 7}}})},
        {{CMD_FW_BEGIN},
         {Cat({Dev(CMD_FW_BEGIN, {0x00, 0x01, 0x04}), Dev(CMD_LOADER_STARTED, {0, 0})})},
         {{CMD_FW_BEGIN, {0x01, 0x04, 0x21}}, {CMD_LOADER_STARTED, {}}}},
        // A version answer too short to hold the version word is no answer.
        {{CMD_FW_BEGIN}, {Dev(CMD_FW_BEGIN, {0x01})}, {}},
    };
    const std::pair<uint8_t, size_t> withData[] = {{0x01, 2}, {0x07, 23}, {0x0E, 17}, {0x05, 2176}};
    for (auto [code, n] : withData) {
        cases.push_back({{code}, {Answer(code, Data(n - 1))}, {}});
        cases.push_back({{code}, {Answer(code, Data(n, code))}, done({{code, Data(n, code)}})});
    }
    // Line noise ahead of the answer, of varied length and bytes (a start byte among them), in
    // the answer's first read or a read of its own.
    const Frame noises[] = {{},
                            {0x00},
                            {0xFF},
                            {0xAC},
                            {0xAC, 0x07, 0x00},
                            Data(300, 9),
                            Cat({Frame(7, 0xFF), {0xAC, 0x30}})};
    for (size_t k = 0; k < std::size(noises) * 2; ++k) {
        const Frame& noise = noises[k % std::size(noises)];
        SCOPED_TRACE("noise of " + std::to_string(noise.size()) + " bytes" +
                     (k >= std::size(noises) ? ", a read of its own" : ""));
        for (const auto& [queued, chunks, results] : cases) {
            Settle();
            Manager().ClearTask();
            for (uint8_t code : queued) Queue(code);
            for (size_t c = 0; c < chunks.size(); ++c) {
                // The answer completes only the command on the wire.
                EXPECT_TRUE(Until([&] {
                    return std::any_of(queued.begin(), queued.end(), [](uint8_t q) {
                        return Manager().IsInFlight(q) || q == CMD_VERIFY;
                    });
                }));
                if (c == 0 && k >= std::size(noises) && !noise.empty()) Send(noise);
                Send(c == 0 && k < std::size(noises) ? Cat({noise, chunks[c]}) : chunks[c]);
            }
            EXPECT_EQ(rec.Got(), results);
            dev.Drain();
        }
    }
}

TEST_F(IspWire, AcknowledgementFinishesOnlyTheFrontCommandAndAStopDropsTheQueue) {
    Queue(CMD_EDOG_DATA);
    Queue(CMD_ERASE_CHIP);
    EXPECT_EQ(dev.ReadFrame(), Bytes({0xAC, 0x05, 0x00, 0x23, 0x23}));
    Send(Dev(CMD_EDOG_ACK, {CMD_MUSIC_DATA}));
    // A stray acknowledgement names a command that is not in flight: dropped.
    EXPECT_TRUE(rec.Got().empty());
    EXPECT_EQ(Manager().GetQueueSize(), 2u);
    Send(Dev(CMD_EDOG_ACK, {CMD_EDOG_DATA}));
    EXPECT_EQ(dev.ReadFrame(), Bytes({0xAC, 0x05, 0x00, 0x13, 0x13}));
    g_ISPCtrl.m_nRunState.store(0);
    Send(Dev(CMD_EDOG_ACK, {CMD_ERASE_CHIP}));
    EXPECT_EQ(Manager().GetQueueSize(), 0u);
    EXPECT_EQ(g_ISPCtrl.m_nRunState.load(), 1);
}

TEST_F(IspWire, DeviceErrorDropsTheQueueAndTheNextAnswerStartsAfresh) {
    const std::pair<uint8_t, uint8_t> cases[] = {
        {CMD_ERASE_CHIP, 0}, {CMD_CHIP_VERSION, 4}, {CMD_READ_BLOCK, 5}};
    for (auto [code, result] : cases) {
        Settle();
        g_ISPCtrl.m_nRunState.store(1);
        Queue(code);
        g_ISPCtrl.EndFirmware();
        dev.ReadFrame();
        Send(Cat({Status(code, 1), Status(code, result)}));
        EXPECT_EQ(rec.Got(), (Results{{NOTIFY_DEVICE_ERROR, {result}}, {NOTIFY_REPLY, {code}}}));
        EXPECT_EQ(Manager().GetQueueSize(), 0u);
        EXPECT_EQ(g_ISPCtrl.m_nRunState.load(), 2);
        rec.Clear();
        g_ISPCtrl.GetChipVersion();
        dev.ReadFrame();
        Send(Answer(CMD_CHIP_VERSION, {0x42, 0x07}));
        EXPECT_EQ(rec.Got(),
                  (Results{{NOTIFY_REPLY, {CMD_CHIP_VERSION}}, {CMD_CHIP_VERSION, {0x42, 0x07}}}));
    }
}

TEST_F(IspWire, FlashSizeComesFromTheTable) {
    g_ISPCtrl.GetFlashSize();
    dev.ReadFrame();  // answered once in flight
    Send(Answer(CMD_FLASH_SIZE, {0x19, 0x00}));
    EXPECT_EQ(g_ISPCtrl.m_dwFlashSizeKB.load(), 768u);
    const std::pair<uint8_t, uint32_t> table[] = {
        {0x00, 2},   {0x11, 4},   {0x01, 6},   {0x03, 8},   {0x23, 10},  {0x13, 12},  {0x04, 16},
        {0x24, 20},  {0x14, 24},  {0x05, 32},  {0x25, 40},  {0x15, 48},  {0x06, 64},  {0x16, 96},
        {0x07, 128}, {0x17, 192}, {0x08, 256}, {0x18, 384}, {0x09, 512}, {0x19, 768}, {0x0A, 1024},
        {0x0B, 1},   {0x80, 1},   {0xFF, 1},  // unknown codes keep the size
    };
    for (auto [code, kb] : table) {
        g_ISPCtrl.m_dwFlashSizeKB.store(1);
        EXPECT_EQ(g_ISPCtrl.LookupFlashSize(&code), kb) << int(code);
        EXPECT_EQ(g_ISPCtrl.m_dwFlashSizeKB.load(), kb);
    }
}

TEST_F(IspWire, FailedWriteIsReported) {
    close(dev.master);
    dev.master = -1;
    g_ISPCtrl.EraseChip();
    EXPECT_TRUE(rec.Wait(NOTIFY_WRITE_FAILED));
    EXPECT_FALSE(g_ISPCtrl.GetWriteError().empty());
}

TEST_F(IspWire, ReadFlashAsksForEachBlockInTurnAndAgainForOneThatFailsItsCheck) {
    // Six KiB in records of 16 bytes and their sum; small values keep start bytes out.
    Frame flash(6 * 1024), answers[3];
    for (size_t i = 0; i < flash.size(); ++i) {
        Frame& a = answers[i / 2048];
        a.push_back(flash[i] = static_cast<uint8_t>((i * 7 + i / 16) % 11));
        if (i % 16 == 15) a.push_back(std::accumulate(a.end() - 16, a.end(), uint8_t{0}));
    }
    testsupport::TempDir dir;
    const std::string dump = dir.File("flash.bin");
    // Times the block at 0x08000800 comes with a bad check byte: healed by a retry, or not.
    for (int badTimes : {0, 1, 2, 3}) {
        SCOPED_TRACE(std::to_string(badTimes) + " bad answers");
        rec.Clear();
        g_ISPCtrl.m_dwFlashSizeKB.store(6);
        g_ISPCtrl.ReadFlash();
        Frame progress;
        int asked[3] = {};
        for (uint8_t b = 0; b < 3; ++b) {
            const Frame request = Sealed({0xAC, 0x0B, 0, 5, 0, uint8_t(b * 8), 0, 8, 0, 8});
            bool bad = false;
            do {
                EXPECT_EQ(dev.ReadFrame(), request);
                bad = b == 1 && asked[b] < badTimes;
                Frame data = answers[b];
                data[(5 + asked[b]++) * 17 + 16] += bad;
                Send(Answer(CMD_READ_BLOCK, data));
            } while (bad && asked[b] < 3);
            Results got = rec.Got();  // stored as the page does
            ASSERT_TRUE(!got.empty() && got.back().first == CMD_READ_BLOCK);
            const Frame& answer = got.back().second;
            EXPECT_EQ(g_ISPCtrl.ReadBlockAddress(), 0x08000000u + b * 0x800);
            EXPECT_EQ(ReadBlockIntact(answer.data(), int(answer.size())), !bad);
            EXPECT_TRUE(g_ISPCtrl.SaveReadBlock(dump, answer.data(), int(answer.size())));
        }
        EXPECT_EQ(asked[1], std::min(badTimes + 1, 3));
        for (auto& [code, data] : rec.Got())
            if (code == NOTIFY_READ_PROGRESS) progress.push_back(data.at(0));
        EXPECT_EQ(progress, (badTimes < 3 ? Frame{33, 66, 100} : Frame{33, 0xFF, 100}));
        if (badTimes < 3) {
            EXPECT_EQ(testsupport::ReadFile(dump), flash);
        }
    }
    EXPECT_EQ(g_ISPCtrl.SaveReadBlock(dir.File("no/dir/flash.bin"), answers[0].data(), 2176), 0);
    EXPECT_NE(g_ISPCtrl.GetReadError().find("cannot create"), std::string::npos);
}

// Codes 0x10 to 0x18 are commands to the device, and the controller's own notices: a status that
// names one of them is an answer like any other, and cannot pass for a notice.
TEST_F(IspWire, NoticesGoTheirOwnWayAndAnswersForNoCommandInFlightAreDropped) {
    for (uint8_t code = 0x10; code <= 0x18; ++code) {
        Settle();
        Send(Answer(code, {}));
        Send(Dev(CMD_EDOG_ACK, {code}));
        EXPECT_TRUE(rec.Got().empty()) << int(code);
    }
    Settle();
    Queue(CMD_ERASE_CHIP);
    dev.ReadFrame();
    Send(Cat({Answer(CMD_LOADER_STARTED, {}), Answer(CMD_ERASE_CHIP, {})}));
    auto ev = rec.Events();
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_TRUE(ev[0].notice && ev[0].code == NOTIFY_REPLY && ev[0].data == Frame{0x13});
    EXPECT_TRUE(!ev[1].notice && ev[1].code == CMD_ERASE_CHIP);
}

class IspProbe : public IspWire {
protected:
    void SetUp() override {
        IspWire::SetUp();
        serialports::SetPortTable({a.slave, "/nonexistent/tty-isp-test", b.slave});
        const uint8_t ports[] = {1, 2, 3};
        std::copy(ports, ports + 3, g_pComPortList);
        g_byComPortCount.store(3);
    }
    Pty a, b;
};

// Each port is probed in turn and given a short while to answer; a silent port is closed again,
// one that cannot be opened is skipped, and the first that answers stays open.
TEST_F(IspProbe, StartUpProbeKeepsTheFirstPortThatAnswersAndClosesTheSilentOnes) {
    {
        CQueueProbe queue;  // nothing is sent: every port stays silent
        g_ISPCtrl.ProbeAllPorts(&rec);
        EXPECT_EQ(queue.m_added,
                  (std::vector<Frame>{{0xAC, 6, 0, 0x45, 1}, {0xAC, 6, 0, 0x45, 3}}));
        EXPECT_EQ(queue.m_ports, (std::vector<std::string>{a.slave, b.slave}));
        EXPECT_FALSE(g_ISPCtrl.IsPortOpen());
    }
    // The answer wait stretched tenfold: a sanitizer build on a loaded machine can take longer
    // than the real bound to hand the answer on.
    plat::SetTimeScale(10.0);
    for (bool firstAnswers : {false, true}) {
        SCOPED_TRACE(firstAnswers ? "device on COM1" : "device on COM3");
        const Pty& device = firstAnswers ? a : b;
        // The probe of the pass before still waits on a silent port's line: answered now, the
        // answer would come before the port is opened again and be purged with the line.
        a.Drain();
        b.Drain();
        const Frame probe = firstAnswers ? Bytes({0xAC, 0x06, 0x00, 0x45, 0x01, 0x46})
                                         : Bytes({0xAC, 0x06, 0x00, 0x45, 0x03, 0x48});
        std::thread answer([&] {
            EXPECT_EQ(device.ReadFrame(), probe);
            device.Write(Dev(CMD_PROBE_ACK, {CMD_PROBE, 0x07}));
        });
        g_ISPCtrl.ProbeAllPorts(&rec);
        answer.join();
        ASSERT_TRUE(rec.Wait(CMD_PROBE_ACK));
        EXPECT_EQ(g_ISPCtrl.m_nSelectNum.load(), 7);
        EXPECT_EQ(Manager().GetQueueSize(), 0u);
        EXPECT_TRUE(g_ISPCtrl.IsPortOpen());
        EXPECT_EQ(g_ISPCtrl.m_serial.GetPath(), device.slave);
        g_ISPCtrl.ClosePort();
        rec.Clear();
    }
    plat::SetTimeScale(1.0);
}

TEST_F(IspProbe, CheckPortJobClosesThePortWithOrWithoutAnAnswer) {
    std::thread device([&] {
        EXPECT_EQ(b.ReadFrame(), Bytes({0xAC, 0x06, 0x00, 0x45, 0x03, 0x48}));
        b.Write(Dev(CMD_PROBE_ACK, {CMD_PROBE, 0x05}));
    });
    EXPECT_EQ(g_ISPCtrl.ProbePorts(), 1);
    device.join();
    EXPECT_TRUE(g_ISPCtrl.m_bProbeAnswered.load());
    EXPECT_EQ(g_ISPCtrl.m_nSelectNum.load(), 5);
    EXPECT_FALSE(g_ISPCtrl.IsPortOpen());

    plat::SetTimeScale(0.01);
    EXPECT_EQ(g_ISPCtrl.ProbePorts(), 1);
    plat::SetTimeScale(1.0);
    EXPECT_FALSE(g_ISPCtrl.IsPortOpen());
    EXPECT_FALSE(g_ISPCtrl.m_bProbeAnswered.load());
}

}  // namespace
