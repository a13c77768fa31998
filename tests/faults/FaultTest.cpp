// The page and the terminal face against the simulated device over a pseudo-terminal: every fault
// the device can inject with its decided outcome, many updates in a row, recovery after failures.
#include <atomic>
#include <filesystem>
#include <thread>
#include <tuple>

#include "FaultRig.h"
#include "serial/PortTable.h"
#include "serial/Serial.h"

namespace {

using namespace faultrig;

// ---- The fault table ----

const char* const kTimeout = "Тайм-аут, пожалуйста,\r\nзаново откройте программу.\r\n";
const char* const kLinkLost = "串口写入失败，请检查连接!\r\n";
const char* const kLineLost = "串口连接已断开，请检查连接!\r\n";
const char* const kFileError = "Ошибка чтения файла.\r\n";
const char* const kDone = "Готово";
const char* const kRadarDone = "升级完成";

enum class Fault {
    Garble,
    Drop,
    Silence,
    SilentBegin,
    SilentNext,
    Error,
    Hangup,
    Stray,
    SlowReady,
    NeverReady,
    SingleByte,
    Garbage,
    OldVersion,
    ShortRead,
    Shrunk,
    Noise,
    StatusForAck,
    StrayStatus,
    EndRefused,
    SilentEnd
};
const char* const kFaultNames[] = {
    "Garble", "Drop",      "Silence",      "SilentBegin", "SilentNext", "Error",      "Hangup",
    "Stray",  "SlowReady", "NeverReady",   "SingleByte",  "Garbage",    "OldVersion", "ShortRead",
    "Shrunk", "Noise",     "StatusForAck", "StrayStatus", "EndRefused", "SilentEnd"};

constexpr int ALL = 99;  // every data frame

struct Row {
    Fault fault;
    Phase phase;       // PH_COUNT: all four payloads in one run
    const char* text;  // the status pane at the end
    int frames;        // data frames of each payload carried out; -1: any prefix
    bool face;         // run through the terminal face instead of the page
    uint8_t code;      // the device's error code; the code a stray status names
    int noise = -1;    // the line noise of kNoises ahead of answers
};

// Line noise: how many bytes, ahead of which answer (0: each), which byte (-1: random, start bytes
// among them), in a read of its own or not.
struct Noise {
    int len, at, byte;
    bool apart;
};
const Noise kNoises[] = {{1, 0, 0x00, false}, {1, 0, 0xFF, true}, {1, 0, 0xAC, false},
                         {3, 0, -1, false},   {7, 0, -1, true},   {300, 5, -1, true},
                         {64, 0, -1, false},  {1, 2, 0x00, false}};

// The message decides the event, the exit code and whether the port stays open.
std::tuple<PageEvent, int, bool> OutcomeOf(const std::string& text) {
    if (text == kTimeout) return {PageEvent::Timeout, EXIT_LINK, false};
    if (text == kLinkLost || text == kLineLost) return {PageEvent::LinkLost, EXIT_LINK, false};
    if (text == kFileError) return {PageEvent::FileError, EXIT_PAYLOAD, true};
    if (text == kDone || text == kRadarDone) return {PageEvent::RunComplete, EXIT_DONE, true};
    return {PageEvent::DeviceError, EXIT_DEVICE_ERROR, true};
}

std::vector<Row> Rows() {
    std::vector<Row> rows;
    for (Phase p : kAll) {
        rows.push_back({Fault::Garble, p, kTimeout, 2, p == PH_FW, 0});
        rows.push_back({Fault::Drop, p, kTimeout, 2, p == PH_EDOG, 0});
        rows.push_back({Fault::Silence, p, kTimeout, 1, p == PH_MUSIC, 0});
        rows.push_back({Fault::Hangup, p, kLineLost, -1, p == PH_RADAR, 0});
        rows.push_back({Fault::Stray, p, kTimeout, 2, p == PH_MUSIC, 0});
    }
    const std::pair<uint8_t, const char*> errors[] = {
        {3, "命令无效，请重试!\n"}, {4, "Flash硬件忙!\n"},    {5, "Flash读保护!\n"},
        {6, "Flash写保护!\n"},      {7, "参数不足或错误!\n"}, {8, "目标地址边界错误!\n"},
        {9, "源地址边界错误!\n"},   {10, "MCU参数错误! \n"},  {0, "MCU参数错误! \n"}};
    for (size_t i = 0; i < std::size(errors); ++i) {
        auto [code, text] = errors[i];
        rows.push_back({Fault::Error, kAll[i % 4], text, 1, code == 6, code});
    }
    for (Phase p : {PH_EDOG, PH_MUSIC, PH_RADAR}) {
        // The run sends the bytes read before its begin command, whatever the file does later.
        rows.push_back(
            {Fault::ShortRead, p, p == PH_RADAR ? kRadarDone : kDone, ALL, p == PH_MUSIC, 0});
        rows.push_back({Fault::Shrunk, p, p == PH_RADAR ? kRadarDone : kDone, ALL, false, 0});
    }
    rows.insert(rows.end(), {{Fault::SilentBegin, PH_FW, kTimeout, 0, false, 0},
                             {Fault::SilentBegin, PH_RADAR, kTimeout, 0, true, 0},
                             {Fault::SilentNext, PH_COUNT, kTimeout, -1, false, 0},
                             {Fault::SlowReady, PH_COUNT, kRadarDone, ALL, false, 0},
                             {Fault::SlowReady, PH_EDOG, kDone, ALL, true, 0},
                             {Fault::NeverReady, PH_MUSIC, kTimeout, 0, false, 0},
                             {Fault::SingleByte, PH_COUNT, kRadarDone, ALL, true, 0},
                             {Fault::Garbage, PH_COUNT, kRadarDone, ALL, false, 0},
                             {Fault::OldVersion, PH_FW, kDone, ALL, false, 0},
                             // One noise byte ahead of the version answer.
                             {Fault::OldVersion, PH_FW, kDone, ALL, false, 0, 7}});
    for (int n = 0; n < 7; ++n) {
        rows.push_back({Fault::Noise, n == 5 ? PH_FW : PH_COUNT, n == 5 ? kDone : kRadarDone, ALL,
                        n % 3 == 1, 0, n});
    }
    for (Phase p : {PH_EDOG, PH_MUSIC, PH_RADAR})
        rows.push_back({Fault::StatusForAck, p, kTimeout, ALL, p == PH_MUSIC, 0});
    // The end command of the last payload refused, or never answered.
    rows.push_back({Fault::EndRefused, PH_FW, "Flash写保护!\n", ALL, false, 6});
    rows.push_back({Fault::EndRefused, PH_EDOG, "命令无效，请重试!\n", ALL, true, 3});
    rows.push_back({Fault::SilentEnd, PH_MUSIC, kTimeout, ALL, false, 0});
    rows.push_back({Fault::SilentEnd, PH_FW, kTimeout, ALL, true, 0});
    // A status for a command never sent, named by a code the controller also uses for its own
    // notices.
    const uint8_t strays[] = {0x10, 0x11, 0x15, 0x16, 0x17, 0x18};
    for (size_t i = 0; i < std::size(strays); ++i) {
        Phase p = kAll[i % 4];
        rows.push_back(
            {Fault::StrayStatus, p, p == PH_RADAR ? kRadarDone : kDone, ALL, i == 1, strays[i]});
    }
    return rows;
}

std::string RowName(const testing::TestParamInfo<Row>& info) {
    const Row& r = info.param;
    std::string name = kFaultNames[static_cast<int>(r.fault)];
    if (r.fault == Fault::Error) name += std::to_string(r.code);
    if (r.fault == Fault::StrayStatus) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%02X", r.code);
        name += hex;
    }
    if (r.noise >= 0) name += "Noise" + std::to_string(r.noise);
    return name + "_" + (r.phase == PH_COUNT ? "AllPhases" : kPhases[r.phase].name);
}
void PrintTo(const Row& r, std::ostream* os) {
    *os << RowName({r, 0});
}

sim::Options OptionsFor(const Row& r) {
    sim::Options o;
    sim::Faults& f = o.faults;
    const int d = r.phase == PH_COUNT ? 0 : kPhases[r.phase].firstData;  // data frame 1
    const Fault x = r.fault;
    if (x == Fault::Garble) f.garbleAnswer = d + 1;  // the answer to data frame 2 garbled
    if (x == Fault::Drop) f.dropAnswerTo = d + 1;
    if (x == Fault::Silence) f.silenceAfter = d;
    if (x == Fault::SilentBegin) f.silenceAfter = 1;  // only the probe is answered
    if (x == Fault::SilentNext) f.silenceAfter = 9;   // probe, begin, loader, 5 writes, end
    if (x == Fault::Error) f.errorAt = d + 1;
    f.errorCode = r.code;
    if (x == Fault::Hangup) f.hangupAfter = d + 1;              // after two data frames
    if (x == Fault::Stray) f.strayAt = f.silenceAfter = d + 1;  // a stray answer, then silence
    // Seconds of preparing before each ready frame; never ready within the bound.
    if (x == Fault::SlowReady) o.readyDelayMs = 4000;
    if (x == Fault::NeverReady) o.readyDelayMs = 10 * READY_WAIT_MS;
    f.singleByteWrites = x == Fault::SingleByte;
    if (x == Fault::Garbage) f.garbageBetween = 7;
    if (x == Fault::OldVersion) o.fwVersion = 0x0104;
    if (x == Fault::ShortRead) o.procMicros = 1000;  // cut while its frames are read and queued
    if (x == Fault::Shrunk) o.procMicros = 20000;    // cut after its frames were queued
    if (r.noise >= 0) {
        const Noise& n = kNoises[r.noise];
        f.noiseLen = n.len;
        f.noiseAt = n.at;
        f.noiseByte = n.byte;
        f.noiseApart = n.apart;
    }
    if (x == Fault::StatusForAck) f.statusForAckAt = d + 1;
    // The end command follows the five firmware records or the three raw data frames.
    const int end = r.phase == PH_FW ? d + 5 : d + 3;
    if (x == Fault::EndRefused) f.errorAt = end;
    if (x == Fault::SilentEnd) f.silenceAfter = end - 1;
    if (x == Fault::StrayStatus) {
        f.strayStatusAt = d + 1;
        f.strayStatusCode = r.code;
    }
    return o;
}

class FaultTest : public RigTest, public testing::WithParamInterface<Row> {};

TEST_P(FaultTest, EndsAsDecided) {
    const Row& r = GetParam();
    const auto [event, exitCode, portOpen] = OutcomeOf(r.text);
    // A hang-up must end the run by itself: the reply timer is stretched out of its way.
    NewRig(0.1, r.fault == Fault::Hangup ? 20.0 : 1.0);
    std::vector<Phase> phases = r.phase == PH_COUNT ? kAll : std::vector<Phase>{r.phase};
    if (r.fault == Fault::SilentNext) phases = {PH_FW, PH_EDOG};
    rig->WritePayloads(phases);
    ASSERT_TRUE(rig->StartDevice(OptionsFor(r)));

    // The file is cut from a thread of its own while the page's threads are busy with it.
    std::atomic<bool> cut{false};
    std::jthread cutter;
    if (r.fault == Fault::ShortRead || r.fault == Fault::Shrunk) {
        g_ISPCtrl.m_dwRawFrames.store(0);  // set once the download has taken the file's length
        const std::string path = rig->PayloadPath(r.phase);
        cutter = std::jthread([&, path](std::stop_token stop) {
            auto ready = [&] {
                if (r.fault == Fault::ShortRead) return g_ISPCtrl.m_dwRawFrames.load() != 0;
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                return !rig->dev->RawPayload(kPayloads[r.phase].dataCode).empty();
            };
            while (!stop.stop_requested() && !ready()) std::this_thread::yield();
            cut = !stop.stop_requested() && truncate(path.c_str(), 0) == 0;
        });
    }
    if (r.face) {
        std::string out;
        EXPECT_EQ(rig->RunFace(out), exitCode) << out;
        EXPECT_NE(out.find(ForTerminal(r.text)), std::string::npos) << out;
        if (r.fault == Fault::SlowReady) {
            EXPECT_NE(out.find("Waiting for the device to get ready..."), std::string::npos);
        }
    } else {
        ASSERT_TRUE(rig->StartPage());
        const PageEvent outcome = rig->Run();
        rig->loop.RunUntil([] { return false; }, 3000);  // nothing may show over the outcome
        const std::string text = rig->Text();
        EXPECT_EQ(outcome, event);
        if (r.fault == Fault::ShortRead || r.fault == Fault::Shrunk) {
            // Written from what was read at the press; the emptied file is refused for the next.
            EXPECT_EQ(text, std::string(r.text) + "\r\n" + TEXT_PAYLOAD_REFUSED +
                                kPayloads[r.phase].file + ": empty\r\n");
        } else {
            EXPECT_EQ(text, r.text);
        }
        if (r.fault == Fault::NeverReady) {
            // Ended by the ready bound, not by the reply timer.
            EXPECT_EQ(rig->wnd.LastTimer(TIMER_REPLY), READY_WAIT_MS);
        }
        EXPECT_EQ(rig->page->m_byState.load(), STATE_IDLE);
        EXPECT_EQ(g_ISPCtrl.IsPortOpen(), portOpen);
        EXPECT_EQ(rig->wnd.Saw(PageEvent::Timeout), outcome == PageEvent::Timeout);
        EXPECT_EQ(rig->wnd.Boxes(),
                  std::vector<std::string>(r.fault == Fault::OldVersion,
                                           "ERROR: This is not Q9-Dornvex program"));
    }
    if (cutter.joinable()) {
        cutter.request_stop();
        cutter.join();
        EXPECT_TRUE(cut);
    }

    sim::Report rep = rig->dev->GetReport();
    EXPECT_TRUE(rep.violations.empty()) << rep.violations.front();
    EXPECT_EQ(rep.hungUp, r.fault == Fault::Hangup);
    for (Phase ph : phases) {
        const long got = rig->Received(ph), all = static_cast<long>(rig->data[ph].size());
        EXPECT_GE(got, 0) << kPhases[ph].name << ": not a prefix of the payload";
        if (r.frames >= 0) {
            EXPECT_EQ(got, r.frames == ALL ? all : std::min<long>(all, r.frames * Chunk(ph)))
                << kPhases[ph].name;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultTest, testing::ValuesIn(Rows()), RowName);

// ---- Soak and recovery ----

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kMeasureMemory = false;  // quarantine and shadow memory grow; the leak checker rules
#else
constexpr bool kMeasureMemory = true;
#endif

using SoakTest = RigTest;

TEST_F(SoakTest, FiftyUpdatesInARowKeepThreadsAndMemoryFlat) {
    NewRig(0.02, 5.0);  // pauses fifty times faster, the reply timer stretched back to 250 ms
    rig->WritePayloads(kAll, 1500);
    ASSERT_TRUE(rig->StartDevice({}));
    ASSERT_TRUE(rig->StartPage());
    int threads = 0;
    size_t rssKiB = 0;
    for (int run = 1; run <= 50; ++run) {
        ASSERT_EQ(rig->Run(), PageEvent::RunComplete) << "run " << run << ": " << rig->Text();
        ASSERT_EQ(rig->Text(), kRadarDone);
        if (run == 5) threads = ThreadCount(), rssKiB = ResidentKiB();
        if (run > 5) {
            ASSERT_LE(SettleThreads(threads), threads) << "run " << run;
        }
    }
    if (kMeasureMemory) {
        EXPECT_LE(ResidentKiB(), rssKiB + 4096);
    }
    rig->ExpectIntact(kAll);
}

TEST_F(SoakTest, AnUpdateSucceedsAfterADeviceErrorAndAfterATimeout) {
    NewRig(0.1);
    rig->WritePayloads(kAll);
    sim::Options o;
    o.faults.errorAt = 2;  // the firmware's begin command
    o.faults.errorCode = 4;
    ASSERT_TRUE(rig->StartDevice(o));
    ASSERT_TRUE(rig->StartPage());
    ASSERT_EQ(rig->Run(), PageEvent::DeviceError);
    EXPECT_EQ(rig->Text(), "Flash硬件忙!\n");
    EXPECT_TRUE(g_ISPCtrl.IsPortOpen());

    rig->dev->SetFaults({});  // the same page, port still open, goes again
    ASSERT_EQ(rig->Run(), PageEvent::RunComplete) << rig->Text();
    rig->ExpectIntact(kAll);
    const int threads = ThreadCount();

    sim::Faults silent;
    silent.silenceAfter = rig->dev->GetReport().framesIn;  // the next begin command goes unheard
    rig->dev->SetFaults(silent);
    ASSERT_EQ(rig->Run(), PageEvent::Timeout);
    EXPECT_FALSE(g_ISPCtrl.IsPortOpen());

    rig->dev->SetFaults({});  // the port stays closed: the program is started again
    rig->StopPage();
    ASSERT_TRUE(rig->StartPage());
    ASSERT_EQ(rig->Run(), PageEvent::RunComplete) << rig->Text();
    rig->ExpectIntact(kAll);
    EXPECT_LE(SettleThreads(threads), threads);
}

// The device's port named by a link that appears when it is plugged in, as the links under
// /dev/serial/by-id do: found without a restart, and found again after a hang-up while idle.
TEST_F(SoakTest, ADevicePluggedInLaterIsFoundAndFoundAgainAfterAnIdleHangUp) {
    NewRig(0.1);
    rig->WritePayloads({PH_EDOG});
    const std::string link = rig->dir.File("ttyKALVO");
    serialports::SetPortTable({link});
    ASSERT_TRUE(rig->CPageRig::StartPage(0));
    rig->loop.RunUntil([] { return false; }, 3000);  // nothing plugged in for 3 s
    EXPECT_FALSE(rig->wnd.Saw(PageEvent::ProbeAnswered));
    auto plugIn = [&](const sim::Options& o) {
        rig->dev = std::make_unique<sim::CDevice>(o);
        std::string pty;
        ASSERT_TRUE(rig->dev->CreatePty(&pty) && rig->dev->Start());
        std::filesystem::remove(link);
        std::filesystem::create_symlink(pty, link);
    };
    sim::Options pulled;
    pulled.faults.hangupAfter = 1;  // pulled right after answering the probe
    plugIn(pulled);
    ASSERT_TRUE(rig->WaitEvent(PageEvent::ProbeAnswered, 20000));
    ASSERT_TRUE(rig->WaitFor([&] {
        return rig->dev->GetReport().hungUp && !g_ISPCtrl.IsPortOpen() &&
               !rig->page->IsButtonEnabled();
    }));
    EXPECT_FALSE(rig->wnd.Saw(PageEvent::LinkLost));
    EXPECT_EQ(rig->Text(), "");

    rig->wnd.ForgetEvents();
    plugIn({});  // plugged in again: the same link, a new line
    ASSERT_TRUE(rig->WaitEvent(PageEvent::ProbeAnswered, 20000));
    ASSERT_EQ(rig->Run(), PageEvent::RunComplete) << rig->Text();
    rig->ExpectIntact({PH_EDOG});
}

}  // namespace
