// Each fault the simulated device can inject, per phase of the update where it makes sense, with
// the outcome decided for it: the pane's text, the state back to idle, the port, the terminal
// face's exit code, what reached the device, and no thread left behind.
#include <atomic>
#include <thread>

#include "FaultHarness.h"
#include "isp/IspCtrl.h"
#include "platform/Time.h"
#include "ui/Options.h"

namespace {

const char* const kTimeout = "Тайм-аут, пожалуйста,\r\nзаново откройте программу.\r\n";
const char* const kLinkLost = "串口写入失败，请检查连接!\r\n";
const char* const kFileError = "Ошибка чтения файла.\r\n";
const char* const kDone = "Готово";
const char* const kRadarDone = "升级完成";

enum class Fault {
    Garble,       // the answer to the second data frame arrives with a bad checksum
    Drop,         // the second data frame is carried out but not answered
    Silence,      // the device answers the first data frame and nothing after it
    SilentBegin,  // the device answers the probe and nothing after it
    SilentNext,   // with the firmware and the camera database: silence after the firmware's end
    Error,        // the second data frame is refused with an error code
    Hangup,       // the line hangs up after the first data frame's answer
    HangupIdle,   // the line hangs up after the probe's answer, before the button is pressed
    SingleByte,   // every answer byte comes in a write of its own
    Garbage,      // noise before every answer
    OldVersion,   // the device runs version 0x0104
    ShortRead,    // the payload file is cut while its frames are being read and queued
    Shrunk,       // the payload file is cut after its frames were queued
};

constexpr int ALL = 99;  // every data frame of the phase

struct Row {
    Fault fault;
    Phase phase;  // PH_COUNT: all four payloads in one run
    uint8_t code;
    const char* text;  // the status pane at the end
    PageEvent event;
    int exitCode;  // of the terminal face
    int frames;    // data frames the device carried out; -1: any, as long as they are a prefix
    bool portOpen;
    bool console;  // run through the terminal face instead of the bare page
};

// A garbled answer is no answer: like a dropped one and like silence it ends in the time-out,
// which closes the port. A device error keeps the port open. A hang-up mid-payload ends in the
// time-out, or in the failed write when the next frame is written after it; a hang-up before the
// press fails the first write. Split and noisy answers must not matter at all.
const Row kRows[] = {
    {Fault::Garble, PH_FW, 0, kTimeout, PageEvent::Timeout, EXIT_LINK, 2, false, true},
    {Fault::Garble, PH_EDOG, 0, kTimeout, PageEvent::Timeout, EXIT_LINK, 2, false, false},
    {Fault::Garble, PH_MUSIC, 0, kTimeout, PageEvent::Timeout, EXIT_LINK, 2, false, false},
    {Fault::Garble, PH_RADAR, 0, kTimeout, PageEvent::Timeout, EXIT_LINK, 2, false, false},
    {Fault::Drop, PH_FW, 0, kTimeout, PageEvent::Timeout, EXIT_LINK, 2, false, false},
    {Fault::Drop, PH_EDOG, 0, kTimeout, PageEvent::Timeout, EXIT_LINK, 2, false, true},
    {Fault::Drop, PH_MUSIC, 0, kTimeout, PageEvent::Timeout, EXIT_LINK, 2, false, false},
    {Fault::Drop, PH_RADAR, 0, kTimeout, PageEvent::Timeout, EXIT_LINK, 2, false, false},
    {Fault::Silence, PH_FW, 0, kTimeout, PageEvent::Timeout, EXIT_LINK, 1, false, false},
    {Fault::Silence, PH_EDOG, 0, kTimeout, PageEvent::Timeout, EXIT_LINK, 1, false, false},
    {Fault::Silence, PH_MUSIC, 0, kTimeout, PageEvent::Timeout, EXIT_LINK, 1, false, true},
    {Fault::Silence, PH_RADAR, 0, kTimeout, PageEvent::Timeout, EXIT_LINK, 1, false, false},
    {Fault::SilentBegin, PH_FW, 0, kTimeout, PageEvent::Timeout, EXIT_LINK, 0, false, false},
    {Fault::SilentBegin, PH_RADAR, 0, kTimeout, PageEvent::Timeout, EXIT_LINK, 0, false, true},
    {Fault::SilentNext, PH_COUNT, 0, kTimeout, PageEvent::Timeout, EXIT_LINK, -1, false, false},
    {Fault::Hangup, PH_FW, 0, kTimeout, PageEvent::Timeout, EXIT_LINK, -1, false, false},
    {Fault::Hangup, PH_EDOG, 0, kTimeout, PageEvent::Timeout, EXIT_LINK, -1, false, false},
    {Fault::Hangup, PH_MUSIC, 0, kTimeout, PageEvent::Timeout, EXIT_LINK, -1, false, false},
    {Fault::Hangup, PH_RADAR, 0, kTimeout, PageEvent::Timeout, EXIT_LINK, -1, false, true},
    {Fault::HangupIdle, PH_EDOG, 0, kLinkLost, PageEvent::LinkLost, EXIT_LINK, 0, false, false},
    {Fault::Error, PH_FW, 3, "命令无效，请重试!\n", PageEvent::DeviceError, EXIT_DEVICE_ERROR, 1,
     true, false},
    {Fault::Error, PH_EDOG, 4, "Flash硬件忙!\n", PageEvent::DeviceError, EXIT_DEVICE_ERROR, 1, true,
     false},
    {Fault::Error, PH_MUSIC, 5, "Flash读保护!\n", PageEvent::DeviceError, EXIT_DEVICE_ERROR, 1,
     true, false},
    {Fault::Error, PH_RADAR, 6, "Flash写保护!\n", PageEvent::DeviceError, EXIT_DEVICE_ERROR, 1,
     true, true},
    {Fault::Error, PH_FW, 7, "参数不足或错误!\n", PageEvent::DeviceError, EXIT_DEVICE_ERROR, 1,
     true, false},
    {Fault::Error, PH_EDOG, 8, "目标地址边界错误!\n", PageEvent::DeviceError, EXIT_DEVICE_ERROR, 1,
     true, false},
    {Fault::Error, PH_MUSIC, 9, "源地址边界错误!\n", PageEvent::DeviceError, EXIT_DEVICE_ERROR, 1,
     true, false},
    {Fault::Error, PH_RADAR, 10, "MCU参数错误! \n", PageEvent::DeviceError, EXIT_DEVICE_ERROR, 1,
     true, false},
    {Fault::Error, PH_FW, 0, "MCU参数错误! \n", PageEvent::DeviceError, EXIT_DEVICE_ERROR, 1, true,
     false},
    {Fault::SingleByte, PH_COUNT, 0, kRadarDone, PageEvent::RunComplete, EXIT_DONE, ALL, true,
     true},
    {Fault::Garbage, PH_COUNT, 0, kRadarDone, PageEvent::RunComplete, EXIT_DONE, ALL, true, false},
    {Fault::OldVersion, PH_FW, 0, kDone, PageEvent::RunComplete, EXIT_DONE, ALL, true, false},
    {Fault::ShortRead, PH_EDOG, 0, kFileError, PageEvent::FileError, EXIT_PAYLOAD, -1, true, false},
    {Fault::ShortRead, PH_MUSIC, 0, kFileError, PageEvent::FileError, EXIT_PAYLOAD, -1, true, true},
    {Fault::ShortRead, PH_RADAR, 0, kFileError, PageEvent::FileError, EXIT_PAYLOAD, -1, true,
     false},
    {Fault::Shrunk, PH_EDOG, 0, kDone, PageEvent::RunComplete, EXIT_DONE, ALL, true, false},
    {Fault::Shrunk, PH_MUSIC, 0, kDone, PageEvent::RunComplete, EXIT_DONE, ALL, true, false},
    {Fault::Shrunk, PH_RADAR, 0, kRadarDone, PageEvent::RunComplete, EXIT_DONE, ALL, true, false},
};

const char* const kFaultNames[] = {
    "Garble",     "Drop",       "Silence", "SilentBegin", "SilentNext", "Error", "Hangup",
    "HangupIdle", "SingleByte", "Garbage", "OldVersion",  "ShortRead",  "Shrunk"};
static_assert(std::size(kFaultNames) == static_cast<size_t>(Fault::Shrunk) + 1);

std::string RowName(const testing::TestParamInfo<Row>& info) {
    const Row& r = info.param;
    std::string name = kFaultNames[static_cast<int>(r.fault)];
    if (r.fault == Fault::Error) name += std::to_string(r.code);
    name += std::string("_") + (r.phase == PH_COUNT ? "AllPhases" : kPhases[r.phase].name);
    return r.console ? name + "_Console" : name;
}

void PrintTo(const Row& r, std::ostream* os) {
    *os << RowName(testing::TestParamInfo<Row>(r, 0));
}

sim::Options OptionsFor(const Row& r) {
    sim::Options o;
    int d = r.phase == PH_COUNT ? 0 : kPhases[r.phase].firstData;
    // Probe, firmware begin, loader answer, five writes, end.
    const int fwEnd = 9;
    switch (r.fault) {
        case Fault::Garble:
            o.faults.garbleAnswer = d + 1;
            break;
        case Fault::Drop:
            o.faults.dropAnswerTo = d + 1;
            break;
        case Fault::Silence:
            o.faults.silenceAfter = d;
            break;
        case Fault::SilentBegin:
            o.faults.silenceAfter = 1;
            break;
        case Fault::SilentNext:
            o.faults.silenceAfter = fwEnd;
            break;
        case Fault::Error:
            o.faults.errorAt = d + 1;
            o.faults.errorCode = r.code;
            break;
        case Fault::Hangup:
            o.faults.hangupAfter = d;
            break;
        case Fault::HangupIdle:
            o.faults.hangupAfter = 1;
            break;
        case Fault::SingleByte:
            o.faults.singleByteWrites = true;
            break;
        case Fault::Garbage:
            o.faults.garbageBetween = 7;
            break;
        case Fault::OldVersion:
            o.fwVersion = 0x0104;
            break;
        case Fault::ShortRead:
            o.procMicros = 1000;
            break;
        case Fault::Shrunk:
            o.procMicros = 20000;  // the transfer outlasts the queueing by far
            break;
    }
    return o;
}

// Cuts the payload file to nothing once `when` holds, from a thread of its own so that the cut
// lands while the page's threads are busy with the payload.
class CCutter {
public:
    CCutter(std::string path, std::function<bool()> when)
        : m_thread([this, path, when] {
              while (!m_stop.load() && !when()) std::this_thread::yield();
              if (!m_stop.load() && truncate(path.c_str(), 0) == 0) m_cut.store(true);
          }) {}
    ~CCutter() {
        m_stop.store(true);
        m_thread.join();
    }
    bool Cut() const { return m_cut.load(); }

private:
    std::atomic<bool> m_stop{false}, m_cut{false};
    std::thread m_thread;
};

class FaultTest : public testing::TestWithParam<Row> {
protected:
    void SetUp() override {
        plat::SetTimeScale(0.1);
        m_nThreads = ThreadCount();
    }
    void TearDown() override {
        rig.reset();
        plat::SetTimeScale(1.0);
        EXPECT_LE(SettleThreads(m_nThreads), m_nThreads) << "threads left behind";
    }

    std::unique_ptr<CRig> rig = std::make_unique<CRig>();
    int m_nThreads = 0;
};

TEST_P(FaultTest, EndsAsDecided) {
    const Row& r = GetParam();
    std::vector<Phase> phases = {r.phase};
    if (r.phase == PH_COUNT) phases = {PH_FW, PH_EDOG, PH_MUSIC, PH_RADAR};
    if (r.fault == Fault::SilentNext) phases = {PH_FW, PH_EDOG};
    const size_t bigFile = 8u << 20;
    rig->WritePayloads(phases, r.fault == Fault::ShortRead ? bigFile : 0);
    ASSERT_TRUE(rig->StartDevice(OptionsFor(r)));

    std::unique_ptr<CCutter> cutter;
    if (r.fault == Fault::ShortRead || r.fault == Fault::Shrunk) {
        // The download has taken the file's length and starts reading.
        g_ISPCtrl.m_dwRawFrames.store(0);
        std::function<bool()> when = [] { return g_ISPCtrl.m_dwRawFrames.load() != 0; };
        if (r.fault == Fault::Shrunk) {
            Phase ph = r.phase;
            when = [this, ph] {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                sim::Report rep = rig->dev->GetReport();
                return (ph == PH_EDOG    ? rep.edog
                        : ph == PH_MUSIC ? rep.music
                                         : rep.radar)
                           .frames >= 1;
            };
        }
        cutter = std::make_unique<CCutter>(rig->dir.File(kPhases[r.phase].file), when);
    }

    // Which of its two ends a hang-up mid-payload takes depends on when the next frame goes out.
    auto lostLink = [&r](const std::string& seen) {
        return r.fault == Fault::Hangup && seen.find(ForTerminal(kLinkLost)) != std::string::npos;
    };
    if (r.console) {
        std::string out;
        EXPECT_EQ(RunConsole(*rig, out), r.exitCode) << out;
        EXPECT_TRUE(out.find(ForTerminal(r.text)) != std::string::npos || lostLink(out)) << out;
    } else {
        ASSERT_TRUE(rig->StartPage());
        if (r.fault == Fault::HangupIdle) {
            ASSERT_TRUE(rig->RunUntil([this] { return rig->dev->GetReport().hungUp; }));
        }
        rig->Press();
        PageEvent outcome = rig->WaitOutcome();
        // One reply period more: nothing may show over the outcome.
        rig->RunUntil([] { return false; }, 3000);
        std::string text = rig->page->Status().GetText();
        if (lostLink(text)) {
            EXPECT_EQ(outcome, PageEvent::LinkLost);
        } else {
            EXPECT_EQ(outcome, r.event);
            EXPECT_EQ(text, r.text);
        }
        EXPECT_EQ(rig->page->m_byState.load(), STATE_IDLE);
        EXPECT_EQ(g_ISPCtrl.IsPortOpen(), r.portOpen);
        EXPECT_EQ(rig->wnd.Saw(PageEvent::Timeout), outcome == PageEvent::Timeout);
        if (r.fault == Fault::OldVersion) {
            EXPECT_EQ(rig->wnd.Boxes(),
                      std::vector<std::string>({"ERROR: This is not Q9-Dornvex program"}));
        }
    }
    if (cutter) {
        EXPECT_TRUE(cutter->Cut());
        cutter.reset();
    }

    sim::Report rep = rig->dev->GetReport();
    EXPECT_TRUE(rep.violations.empty()) << rep.violations.front();
    EXPECT_EQ(rep.hungUp, r.fault == Fault::Hangup || r.fault == Fault::HangupIdle);
    for (Phase ph : phases) {
        int got = rig->ReceivedPrefix(ph);
        int all = ph == PH_FW ? 5 : 3;
        EXPECT_GE(got, 0) << kPhases[ph].name << ": not a prefix of the payload";
        if (r.frames >= 0) {
            EXPECT_EQ(got, r.frames == ALL ? all : r.frames) << kPhases[ph].name;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultTest, testing::ValuesIn(kRows), RowName);

}  // namespace
