// The protocol controller over real pseudo-terminals: the test plays the device on the master side
// while the controller runs with its real port, reader thread and task manager.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <thread>

#include "IspHarness.h"
#include "isp/Frame.h"
#include "platform/Time.h"
#include "support/TestMain.h"

namespace {

using namespace isptest;
using namespace std::chrono_literals;
using testsupport::Bytes;

std::atomic<uint64_t> g_sent{0}, g_delivered{0};

void CountingForward(void* receiver, const uint8_t* data, uint32_t count) {
    g_sent.load();  // what the test did before sending happens before this chunk is handled
    static_cast<CSerialObject*>(receiver)->OnReceive(data, count);
    g_delivered.fetch_add(count);
}

// Program time runs at scale 1 here: at a small scale a send that is only descheduled for a few
// real milliseconds looks hung to AddTask, which then restarts the queue.
class IspWire : public testing::Test {
protected:
    void SetUp() override {
        ResetController();
        serialports::SetPortTable({dev.slave});
        g_ISPCtrl.SetResultCallback(&Recorder::Callback);
        ASSERT_TRUE(g_ISPCtrl.Open(1, &rec));
        // Counts what the controller has taken in, so a test knows when its bytes are handled.
        g_ISPCtrl.m_serial.m_pfnReceive.store(&CountingForward);
        // A read pass that began before the swap may still hand its bytes to the old receiver.
        uint32_t passes = g_ISPCtrl.m_serial.GetReadPasses();
        while (g_ISPCtrl.m_serial.GetReadPasses() < passes + 2) std::this_thread::sleep_for(100us);
        Manager().Start();
    }
    void TearDown() override {
        plat::SetTimeScale(1.0);
        Manager().Stop();
        g_ISPCtrl.ClosePort();
        g_ISPCtrl.AbortReadFlash();
        g_ISPCtrl.SetResultCallback(nullptr);
        g_ISPCtrl.m_pfnResult.store(nullptr);
        ResetController();
    }

    // Writes as the device and returns once the controller has handled every byte, so the next
    // write arrives as a chunk of its own.
    void Send(const Frame& bytes) {
        uint64_t target = g_delivered.load() + bytes.size();
        g_sent.fetch_add(bytes.size());
        dev.Write(bytes);
        auto end = std::chrono::steady_clock::now() + 20s;
        while (g_delivered.load() < target) {
            if (std::chrono::steady_clock::now() > end) {
                ADD_FAILURE() << "the controller did not take the bytes";
                return;
            }
            std::this_thread::sleep_for(100us);
        }
    }
    // A device frame that passes a result at once and marks the answer consumed.
    void Settle() {
        Send(Dev(CMD_FW_READY, {0, 0}));
        rec.Clear();
    }

    Pty dev;
    Recorder rec;
};

TEST_F(IspWire, BuildersWriteExactFrames) {
    testsupport::TempDir dir;
    Frame data16 = Data(16, 3);
    dir.Write("one.hex",
              HexLine(4, 0, {0x08, 0x00}) + HexLine(0, 0x1000, data16) + HexLine(1, 0, {}));
    auto image = LoadHex(dir.File("one.hex"));
    const uint8_t radarLen[4] = {0x00, 0x08, 0x00, 0x00};
    struct Case {
        const char* name;
        std::function<void()> queue;
        Frame wire;
    };
    std::vector<Case> cases = {
        {"chip erase", [] { g_ISPCtrl.EraseChip(); }, Bytes({0xAC, 0x05, 0x00, 0x13, 0x13})},
        {"firmware end", [] { g_ISPCtrl.EndFirmware(); }, Bytes({0xAC, 0x05, 0x00, 0x1A, 0x1A})},
        {"echo", [] { g_ISPCtrl.SendEcho(); }, Bytes({0xAC, 0x06, 0x00, 0x0F, 0xAC, 0xBB})},
        {"loader started answer", [] { g_ISPCtrl.AnswerLoaderStarted(); },
         Bytes({0xAC, 0x07, 0x00, 0x0D, 0x1B, 0x02, 0x2A})},
        {"baud 921600", [] { g_ISPCtrl.SetDeviceBaud(921600); },
         Bytes({0xAC, 0x08, 0x00, 0x04, 0x00, 0x10, 0x0E, 0x22})},
        {"baud 115200", [] { g_ISPCtrl.SetDeviceBaud(115200); },
         Bytes({0xAC, 0x08, 0x00, 0x04, 0x00, 0xC2, 0x01, 0xC7})},
        {"read block",
         [] {
             g_ISPCtrl.m_dwFlashSizeKB.store(2);
             g_ISPCtrl.ReadFlash();
         },
         Bytes({0xAC, 0x0B, 0x00, 0x05, 0x00, 0x00, 0x00, 0x08, 0x00, 0x08, 0x15})},
        {"firmware begin", [] { g_ISPCtrl.BeginFirmware(0x0102); },
         Bytes({0xAC, 0x07, 0x00, 0x1C, 0x01, 0x02, 0x1F})},
        {"radar begin", [&] { g_ISPCtrl.BeginRadar(radarLen); },
         Bytes({0xAC, 0x09, 0x00, 0x41, 0x00, 0x08, 0x00, 0x00, 0x49})},
        {"hex record", [&] { EXPECT_EQ(g_ISPCtrl.DownloadHex(image.get()), 1); },
         Sealed(Cat({Bytes({0xAC, 0x1A, 0x00, 0x06, 0x00, 0x10, 0x00, 0x08, 0x10}), data16}))},
    };
    using Builder = void (CISPCtrl::*)();
    const std::pair<Builder, uint8_t> plain[] = {
        {&CISPCtrl::GetChipVersion, 0x01}, {&CISPCtrl::GetChipID, 0x02},
        {&CISPCtrl::GetFlashSize, 0x03},   {&CISPCtrl::QueryChipExtra, 0x07},
        {&CISPCtrl::EndEdog, 0x20},        {&CISPCtrl::BeginEdog, 0x21},
        {&CISPCtrl::EndMusic, 0x30},       {&CISPCtrl::BeginMusic, 0x31},
    };
    for (auto [build, code] : plain)
        cases.push_back({"no payload", [build] { (g_ISPCtrl.*build)(); },
                         Bytes({0xAC, 0x05, 0x00, code, code})});
    for (auto& c : cases) {
        c.queue();
        EXPECT_EQ(dev.ReadFrame(), c.wire) << c.name;
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

    auto ev = rec.Events();
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0].code, NOTIFY_REPLY);
    EXPECT_EQ(ev[0].queued, 2u);  // passed before the command is finished
    EXPECT_EQ(ev[1].code, CMD_CHIP_VERSION);
    EXPECT_EQ(ev[1].queued, 1u);
    EXPECT_EQ(ev[1].data, Bytes({0x42, 0x07}));
    EXPECT_EQ(ev[1].len, 2);
    EXPECT_EQ(dev.ReadFrame(), Bytes({0xAC, 0x05, 0x00, 0x13, 0x13}));
}

TEST_F(IspWire, AnswerCompletesOnlyOnceItsExpectedDataHaveArrived) {
    struct Case {
        std::string name;
        Frame bytes;
        bool completes;
        uint8_t code;
        Frame data;
    };
    std::vector<Case> cases = {
        {"both frames in one chunk", Answer(CMD_ERASE_CHIP, {}), true, CMD_ERASE_CHIP, {}},
        {"lone done frame", Status(CMD_ERASE_CHIP, 2), false, 0, {}},
    };
    const std::pair<uint8_t, size_t> withData[] = {{0x01, 2},  {0x02, 17}, {0x07, 23},
                                                   {0x0E, 17}, {0x0F, 2},  {0x05, 2176}};
    for (auto [code, n] : withData) {
        std::string name = "code " + std::to_string(code) + " with ";
        cases.push_back({name + "one byte short", Answer(code, Data(n - 1)), false, code, {}});
        cases.push_back(
            {name + "all data", Answer(code, Data(n, code)), true, code, Data(n, code)});
    }
    for (const Case& c : cases) {
        Settle();
        Send(c.bytes);
        auto ev = rec.Events();
        if (!c.completes) {
            EXPECT_TRUE(ev.empty()) << c.name;
            continue;
        }
        ASSERT_EQ(ev.size(), 2u) << c.name;
        EXPECT_EQ(ev[0].code, NOTIFY_REPLY) << c.name;
        EXPECT_EQ(ev[1].code, c.code) << c.name;
        EXPECT_EQ(ev[1].len, static_cast<int32_t>(c.data.size())) << c.name;
        EXPECT_EQ(ev[1].data, c.data) << c.name;
    }
}

TEST_F(IspWire, BaudChangeIsPassedAtItsFirstStatusFrame) {
    g_ISPCtrl.SetDeviceBaud(921600);
    dev.ReadFrame();
    Send(Status(CMD_SET_BAUD, 1));
    EXPECT_EQ(rec.Codes(), Bytes({CMD_SET_BAUD}));
    EXPECT_EQ(Manager().GetQueueSize(), 1u);
    Send(Status(CMD_SET_BAUD, 2));
    EXPECT_EQ(rec.Codes(), Bytes({CMD_SET_BAUD, NOTIFY_REPLY, CMD_SET_BAUD}));
    EXPECT_EQ(Manager().GetQueueSize(), 0u);
}

class IspWireEdog : public IspWire {
protected:
    void SetUp() override {
        IspWire::SetUp();
        file = Data(4097, 9);
        dir.Write("edog.bin", file);
        ASSERT_TRUE(holder.m_file.Open(dir.File("edog.bin"), plat::CFile::modeRead));
        ASSERT_EQ(g_ISPCtrl.DownloadEdog(&holder), 1);
        Frame first = dev.ReadFrame();
        ASSERT_EQ(first.size(), 4101u);
        EXPECT_EQ(first, Sealed(Cat({Bytes({0xAC, 0x05, 0x10, 0x23}),
                                     Frame(file.begin(), file.begin() + 4096)})));
    }
    testsupport::TempDir dir;
    CHEXFile holder;
    Frame file;
};

TEST_F(IspWireEdog, AcknowledgementFinishesOnlyTheCommandItNames) {
    Send(Dev(CMD_EDOG_ACK, {CMD_MUSIC_DATA}));
    EXPECT_EQ(rec.Codes(), Bytes({NOTIFY_REPLY, CMD_EDOG_ACK}));
    EXPECT_EQ(Manager().GetQueueSize(), 2u);
    EXPECT_EQ(dev.Unread(), 0u);

    Send(Dev(CMD_EDOG_ACK, {CMD_EDOG_DATA}));
    EXPECT_EQ(dev.ReadFrame(), Sealed({0xAC, 0x06, 0x00, 0x23, file[4096]}));
}

TEST_F(IspWireEdog, StopRequestDropsTheQueueAtTheNextAnswer) {
    g_ISPCtrl.m_nRunState.store(0);
    Send(Dev(CMD_EDOG_ACK, {CMD_EDOG_DATA}));
    EXPECT_EQ(rec.Codes(), Bytes({NOTIFY_REPLY, CMD_EDOG_ACK}));
    EXPECT_EQ(Manager().GetQueueSize(), 0u);
    EXPECT_EQ(g_ISPCtrl.m_nRunState.load(), 1);
    EXPECT_EQ(dev.Unread(), 0u);
}

TEST_F(IspWire, DeviceErrorDropsTheQueueAndLeavesNoTraceInTheNextAnswer) {
    const std::pair<uint8_t, uint8_t> cases[] = {
        {CMD_ERASE_CHIP, 3},    {CMD_ERASE_CHIP, 9},   {CMD_ERASE_CHIP, 0},
        {CMD_ERASE_CHIP, 0x7F}, {CMD_CHIP_VERSION, 4}, {CMD_READ_BLOCK, 5},
    };
    for (auto [code, result] : cases) {
        SCOPED_TRACE("code " + std::to_string(code) + " result " + std::to_string(result));
        Settle();
        g_ISPCtrl.m_nRunState.store(1);
        CISPPacket cmd;
        cmd.m_frame.Append(Bytes({0xAC, 0x05, 0x00, code}).data(), 4);
        Manager().AddTask(cmd);
        g_ISPCtrl.EndFirmware();
        dev.ReadFrame();
        Send(Cat({Status(code, 1), Status(code, result)}));
        auto ev = rec.Events();
        ASSERT_EQ(ev.size(), 2u);
        EXPECT_EQ(ev[0].code, NOTIFY_DEVICE_ERROR);
        EXPECT_EQ(ev[0].data, Frame{result});
        EXPECT_EQ(ev[0].len, 1);
        EXPECT_EQ(ev[1].code, NOTIFY_REPLY);
        EXPECT_EQ(Manager().GetQueueSize(), 0u);
        EXPECT_EQ(g_ISPCtrl.m_nRunState.load(), 2);

        // The next answer starts afresh: its data are its own.
        g_ISPCtrl.GetChipVersion();
        dev.ReadFrame();
        Send(Answer(CMD_CHIP_VERSION, {0x42, 0x07}));
        ev = rec.Events();
        ASSERT_FALSE(ev.empty());
        EXPECT_EQ(ev.back().code, CMD_CHIP_VERSION);
        EXPECT_EQ(ev.back().data, Bytes({0x42, 0x07}));
    }
}

TEST_F(IspWire, FlashSizeAnswerSetsTheSizeFromTheTable) {
    const std::pair<uint8_t, uint32_t> wire[] = {{0x05, 32}, {0x19, 768}, {0x80, 512}, {0x0B, 512}};
    for (auto [code, kb] : wire) {
        g_ISPCtrl.m_dwFlashSizeKB.store(512);
        g_ISPCtrl.GetFlashSize();
        dev.ReadFrame();
        Send(Answer(CMD_FLASH_SIZE, {code, 0x00}));
        EXPECT_EQ(g_ISPCtrl.m_dwFlashSizeKB.load(), kb) << "code " << int(code);
        auto codes = rec.Codes();
        ASSERT_FALSE(codes.empty());
        EXPECT_EQ(codes.back(), CMD_FLASH_SIZE);
    }
    const std::pair<uint8_t, uint32_t> table[21] = {
        {0x00, 2},   {0x11, 4},   {0x01, 6},   {0x03, 8},   {0x23, 10},  {0x13, 12},  {0x04, 16},
        {0x24, 20},  {0x14, 24},  {0x05, 32},  {0x25, 40},  {0x15, 48},  {0x06, 64},  {0x16, 96},
        {0x07, 128}, {0x17, 192}, {0x08, 256}, {0x18, 384}, {0x09, 512}, {0x19, 768}, {0x0A, 1024},
    };
    for (auto [code, kb] : table) {
        g_ISPCtrl.m_dwFlashSizeKB.store(1);
        EXPECT_EQ(g_ISPCtrl.LookupFlashSize(&code), kb) << "code " << int(code);
        EXPECT_EQ(g_ISPCtrl.m_dwFlashSizeKB.load(), kb);
    }
}

TEST_F(IspWire, NoiseNeitherHidesTheNextFrameNorPilesUp) {
    Frame noise(300), flood(70000);
    uint32_t seed = 12345;
    for (Frame* f : {&noise, &flood})
        for (uint8_t& b : *f) b = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
    Frame answer = Answer(CMD_ERASE_CHIP, {});
    for (const Frame& junk : {noise, flood}) {
        // The junk itself must hold no frame, nor swallow the answer behind it.
        CRawString s;
        s.Append(junk.data(), static_cast<int32_t>(junk.size()));
        s.Append(answer.data(), static_cast<int32_t>(answer.size()));
        int start = 0, end = 0;
        ASSERT_TRUE(FindFrame(s, start, end));
        ASSERT_EQ(start, static_cast<int>(junk.size()) + 1);

        rec.Clear();
        g_ISPCtrl.EraseChip();
        EXPECT_EQ(dev.ReadFrame(), Bytes({0xAC, 0x05, 0x00, 0x13, 0x13}));
        Send(junk);
        EXPECT_TRUE(rec.Events().empty());
        EXPECT_LT(g_ISPCtrl.m_rxStream.m_nLen, 256);
        EXPECT_LE(g_ISPCtrl.m_rxReply.m_nLen, CISPCtrl::MAX_REPLY_BYTES);
        Send(answer);
        EXPECT_EQ(rec.Codes(), Bytes({NOTIFY_REPLY, CMD_ERASE_CHIP}));
        EXPECT_EQ(Manager().GetQueueSize(), 0u);
    }
}

// The device follows a write's answer at once with the verify answer; both may come in one read.
TEST_F(IspWire, AnswersSharingAChunkEachGetTheirOwnData) {
    const Frame verify = Data(17, 5), version = {0x42, 0x07};
    const Frame next = Answer(CMD_CHIP_VERSION, version);
    struct Case {
        const char* name;
        std::vector<Frame> chunks;
        Frame codes;
        Frame lastData;
    } cases[] = {
        {"write answer and verify answer",
         {Cat({Answer(CMD_WRITE_HEX, {}), Answer(CMD_VERIFY, verify)})},
         {NOTIFY_REPLY, CMD_WRITE_HEX, NOTIFY_REPLY, CMD_VERIFY},
         verify},
        {"junk behind an answer",
         {Cat({Answer(CMD_ERASE_CHIP, {}), Data(5)}), next},
         {NOTIFY_REPLY, CMD_ERASE_CHIP, NOTIFY_REPLY, CMD_CHIP_VERSION},
         version},
        {"next answer begun behind an answer",
         {Cat({Answer(CMD_ERASE_CHIP, {}), Frame(next.begin(), next.begin() + 4)}),
          Frame(next.begin() + 4, next.end())},
         {NOTIFY_REPLY, CMD_ERASE_CHIP, NOTIFY_REPLY, CMD_CHIP_VERSION},
         version},
        {"short answer and a device frame",
         {Cat({Answer(CMD_CHIP_VERSION, {0x42}), Dev(CMD_LOADER_STARTED, {0, 0})})},
         {CMD_LOADER_STARTED},
         {}},
    };
    for (const Case& c : cases) {
        Settle();
        for (const Frame& chunk : c.chunks) Send(chunk);
        ASSERT_EQ(rec.Codes(), c.codes) << c.name;
        auto ev = rec.Events();
        if (ev.size() < 4) continue;
        EXPECT_EQ(ev[1].len, 0) << c.name;
        EXPECT_EQ(ev[3].data, c.lastData) << c.name;
        EXPECT_EQ(ev[3].len, static_cast<int32_t>(c.lastData.size())) << c.name;
    }
}

TEST_F(IspWire, FailedWriteIsReported) {
    close(dev.master);  // the line is gone: writes on the port fail
    dev.master = -1;
    g_ISPCtrl.EraseChip();
    ASSERT_TRUE(rec.WaitCount(NOTIFY_WRITE_FAILED, 1));
    EXPECT_EQ(rec.Codes(true), Bytes({NOTIFY_SENDING, NOTIFY_WRITE_FAILED}));
    EXPECT_FALSE(g_ISPCtrl.GetWriteError().empty());
}

TEST_F(IspWire, ReadFlashDumpsEveryBlockAndReportsProgress) {
    // Six KiB of flash whose records and check bytes hold no start byte.
    Frame flash(6 * 1024), answers[3];
    for (size_t r = 0; r < flash.size() / 16; ++r) {
        uint8_t sum = 0;
        for (size_t k = 0; k < 16; ++k) {
            uint8_t b = static_cast<uint8_t>(r * 31 + k * 5);
            while (b == 0xAC || (k == 15 && static_cast<uint8_t>(sum + b) == 0xAC)) ++b;
            flash[r * 16 + k] = b;
            sum = static_cast<uint8_t>(sum + b);
        }
        Frame& a = answers[r / 128];
        a.insert(a.end(), flash.begin() + static_cast<long>(r * 16),
                 flash.begin() + static_cast<long>(r * 16 + 16));
        a.push_back(sum);
    }
    testsupport::TempDir dir;
    const std::string dump = dir.File("flash.bin");
    struct Case {
        int badBlock;
        Frame progress;
    } cases[] = {{-1, {33, 66, 100}}, {1, {33, 0xFF, 100}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.badBlock);
        rec.Clear();
        g_ISPCtrl.m_dwFlashSizeKB.store(6);
        g_ISPCtrl.ReadFlash();
        for (uint8_t b = 0; b < 3; ++b) {
            EXPECT_EQ(dev.ReadFrame(),
                      Sealed({0xAC, 0x0B, 0x00, 0x05, 0x00, static_cast<uint8_t>(b * 8), 0x00, 0x08,
                              0x00, 0x08}));
            Frame data = answers[b];
            if (b == c.badBlock) data[5 * 17 + 16] += data[5 * 17 + 16] == 0xAB ? 2 : 1;
            Send(Answer(CMD_READ_BLOCK, data));
            // Stored as the page does with the answer passed (here a copy of it).
            auto ev = rec.Events();
            ASSERT_FALSE(ev.empty());
            ASSERT_EQ(ev.back().code, CMD_READ_BLOCK);
            EXPECT_EQ(g_ISPCtrl.SaveReadBlock(dump, ev.back().data.data(), ev.back().len), 1);
        }
        Frame progress;
        for (const Event& e : rec.Events())
            if (e.code == NOTIFY_READ_PROGRESS) progress.push_back(e.data.at(0));
        EXPECT_EQ(progress, c.progress);
        EXPECT_EQ(testsupport::ReadFile(dump), flash);
    }
}

TEST_F(IspWire, SaveReadBlockSaysWhatItCannotStore) {
    testsupport::TempDir dir;
    Frame answer(2176);
    struct Case {
        std::string name;
        int32_t len;
        std::string reason;
    } cases[] = {
        {dir.File("no/such/dir/flash.bin"), 2176, "cannot create"},
        {"/dev/full", 2176, "cannot write"},
        {dir.File("flash.bin"), 2175, "short answer"},
    };
    for (const Case& c : cases) {
        if (!std::filesystem::exists(c.name) && c.name == "/dev/full") continue;
        EXPECT_EQ(g_ISPCtrl.SaveReadBlock(c.name, answer.data(), c.len), 0) << c.name;
        EXPECT_NE(g_ISPCtrl.GetReadError().find(c.reason), std::string::npos)
            << c.name << ": " << g_ISPCtrl.GetReadError();
    }
    EXPECT_TRUE(rec.Events().empty());
}

class IspProbe : public IspWire {
protected:
    void SetUp() override {
        IspWire::SetUp();
        serialports::SetPortTable({a.slave, "/nonexistent/tty-isp-test", b.slave});
    }
    static void List(const std::vector<uint8_t>& ports) {
        uint8_t n = 0;
        for (uint8_t p : ports) g_pComPortList[n++] = p;
        g_byComPortCount.store(n);
    }
    static std::string Probe(uint8_t port, const Pty& pty) {
        return "add 172 6 0 69 " + std::to_string(port) + " @" + pty.slave;
    }
    Pty a, b;
};

TEST_F(IspProbe, StartUpProbeQueuesOnEveryPortThatOpens) {
    struct Case {
        std::vector<uint8_t> list;
        std::vector<std::string> ops;
        const Pty* left;
    } cases[] = {
        {{1, 2, 3}, {"clear", Probe(1, a), "clear", Probe(3, b)}, &b},
        {{3, 1, 2}, {"clear", Probe(3, b), "clear", Probe(1, a)}, nullptr},
        {{}, {}, nullptr},
    };
    for (const Case& c : cases) {
        CQueueProbe queue;
        List(c.list);
        g_ISPCtrl.ProbeAllPorts(&rec);
        EXPECT_EQ(queue.m_ops, c.ops);
        EXPECT_EQ(g_ISPCtrl.IsPortOpen(), c.left != nullptr);
        if (c.left) {
            EXPECT_EQ(g_ISPCtrl.m_serial.GetPath(), c.left->slave);
        }
    }
}

TEST_F(IspProbe, LastPortKeepsTheLinkAndGetsItsProbe) {
    List({1, 2, 3});
    g_ISPCtrl.ProbeAllPorts(&rec);
    Frame probe = b.ReadFrame();
    // A probe taken for port 1 may go out only after port 3 opened: the loop does not wait.
    if (probe == Bytes({0xAC, 0x06, 0x00, 0x45, 0x01, 0x46})) probe = b.ReadFrame();
    EXPECT_EQ(probe, Bytes({0xAC, 0x06, 0x00, 0x45, 0x03, 0x48}));
    ASSERT_TRUE(g_ISPCtrl.IsPortOpen());
    b.Write(Dev(CMD_PROBE_ACK, {CMD_PROBE, 0x07}));
    ASSERT_TRUE(rec.WaitCount(CMD_PROBE_ACK, 1));
    EXPECT_EQ(g_ISPCtrl.m_nSelectNum.load(), 7);
    EXPECT_EQ(Manager().GetQueueSize(), 0u);
}

TEST_F(IspProbe, CheckPortJobClosesThePortAfterTheAnswer) {
    List({2, 1});
    Frame probe;
    std::thread device([&] {
        probe = a.ReadFrame();
        a.Write(Dev(CMD_PROBE_ACK, {CMD_PROBE, 0x05}));
    });
    EXPECT_EQ(g_ISPCtrl.ProbePorts(), 1);
    device.join();
    EXPECT_EQ(probe, Bytes({0xAC, 0x06, 0x00, 0x45, 0x01, 0x46}));
    EXPECT_TRUE(rec.WaitCount(CMD_PROBE_ACK, 1));
    EXPECT_EQ(g_ISPCtrl.m_nSelectNum.load(), 5);
    EXPECT_FALSE(g_ISPCtrl.IsPortOpen());
}

TEST_F(IspProbe, CheckPortJobGivesUpWithoutAnAnswer) {
    plat::SetTimeScale(0.01);
    List({1});
    EXPECT_EQ(g_ISPCtrl.ProbePorts(), 1);
    plat::SetTimeScale(1.0);
    EXPECT_FALSE(g_ISPCtrl.IsPortOpen());
    EXPECT_FALSE(g_ISPCtrl.m_bProbeAnswered.load());
    for (uint8_t code : rec.Codes()) EXPECT_NE(code, CMD_PROBE_ACK);
}

}  // namespace
