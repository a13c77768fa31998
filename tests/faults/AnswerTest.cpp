// Answers taken from where they are, against the simulated device: line noise ahead of the
// read-out answers, read blocks that fail their check, a send that hangs and a write that fails in
// the pause between two payloads.
#include <filesystem>

#include "FaultRig.h"
#include "serial/PortTable.h"

namespace {

using namespace faultrig;

const char* const kLinkLost = "串口写入失败，请检查连接!\r\n";

// The command task manager with hooks before each queueing and each send, as a port whose writes
// block or fail would make it act.
class CHookedManager : public CCmdTaskManager {
public:
    CHookedManager() : CCmdTaskManager(&g_ISPCtrl) {}
    ~CHookedManager() override { Stop(); }
    int AddTask(CISPPacket& task) override {
        if (beforeAdd) beforeAdd(task.GetCode());
        return CCmdTaskManager::AddTask(task);
    }
    int ExecuteTask(CISPPacket& task) override {
        if (beforeSend) beforeSend(task.GetCode());
        return CCmdTaskManager::ExecuteTask(task);
    }
    std::function<void(uint8_t)> beforeAdd, beforeSend;
};

using AnswerTest = RigTest;

TEST_F(AnswerTest, ReadOutAsksAgainForABadBlockAndEndsFailedWhenItStaysBad) {
    const uint32_t kSecond = 0x08000800, kLast = 0x0807F800;
    struct Case {
        uint32_t at;
        int badTimes;
        bool json;
    };
    for (const Case& c : {Case{kSecond, 1, false}, Case{kSecond, 2, true}, Case{kSecond, 3, false},
                          Case{kLast, 9, true}}) {
        SCOPED_TRACE(std::to_string(c.badTimes) + " bad answers at " + std::to_string(c.at));
        NewRig(0.1);
        sim::Options o;
        o.faults.badReadAt = c.at;
        o.faults.badReadTimes = c.badTimes;
        ASSERT_TRUE(rig->StartDevice(o));
        const std::string dump = rig->dir.File("flash.bin");
        std::string out;
        const int code = rig->RunFace(out, [&](UpdaterOptions& u) {
            u.readFlash = dump;
            u.json = c.json;
            u.waitSeconds = 60;
        });
        char where[16];
        std::snprintf(where, sizeof where, "0x%08X", c.at);
        if (c.badTimes <= CISPCtrl::READ_RETRIES) {
            EXPECT_EQ(code, EXIT_DONE) << out;
            EXPECT_EQ(testsupport::ReadFile(dump), rig->dev->Flash());
        } else {
            EXPECT_EQ(code, EXIT_DEVICE_ERROR) << out;
            EXPECT_NE(out.find(where), std::string::npos) << out;
            EXPECT_NE(out.find("incomplete"), std::string::npos) << out;
            if (c.json) {
                EXPECT_NE(out.find("\"exit_code\": 1"), std::string::npos) << out;
            } else {
                EXPECT_NE(out.find("当前数据读取错误"), std::string::npos) << out;
                EXPECT_EQ(out.find("当前数据读取完成"), std::string::npos) << out;
            }
        }
        rig.reset();
    }
}

TEST_F(AnswerTest, VerifyOfAnIntactDeviceWithNoiseAheadOfEveryAnswerMatches) {
    NewRig(0.1);
    rig->WritePayloads({PH_FW}, 0);
    sim::Options o;
    o.faults.noiseLen = 1;
    o.faults.noiseByte = 0xFF;
    ASSERT_TRUE(rig->StartDevice(o));
    std::string out;
    EXPECT_EQ(rig->RunFace(out,
                           [](UpdaterOptions& u) {
                               u.verify = true;
                               u.waitSeconds = 60;
                           }),
              EXIT_DONE)
        << out;
    EXPECT_NE(out.find("bytes read back, all match"), std::string::npos) << out;
}

// A send that hangs past the task manager's bound while the download still queues: the run ends
// as a failed write, and no later frame reaches the device after the lost one.
TEST_F(AnswerTest, ASendGivenUpEndsTheRunAndNoFrameFollowsTheGap) {
    NewRig(0.1, 4.0);  // the reply timer out of the way of the 2000 ms bound
    rig->WritePayloads({PH_EDOG});
    ASSERT_TRUE(rig->StartDevice({}));
    CHookedManager tasks;
    std::atomic<int> sent{0}, added{0};
    std::atomic<bool> stalled{false}, stallOver{false};
    tasks.beforeSend = [&](uint8_t code) {
        if (code != CMD_EDOG_DATA || ++sent != 2) return;
        stalled = true;
        plat::Sleep(2600);
        stallOver = true;
    };
    tasks.beforeAdd = [&](uint8_t code) {
        if (code != CMD_EDOG_DATA || ++added != 3) return;
        // A big file: the next frame is read and queued only after the hung send's bound.
        while (!stalled) plat::Sleep(1);
        plat::Sleep(2100);
    };
    ASSERT_TRUE(rig->StartPage());
    EXPECT_EQ(rig->Run(), PageEvent::LinkLost);
    EXPECT_EQ(rig->Text(), kLinkLost);
    rig->WaitFor([&] { return stallOver.load(); }, 20000);
    rig->loop.RunUntil([] { return false; }, 500);
    // The device holds the payload's start, without a gap (the hung frame may still have come).
    const long got = rig->Received(PH_EDOG);
    EXPECT_GE(got, long(Chunk(PH_EDOG)));
    EXPECT_LT(got, long(rig->data[PH_EDOG].size()));
    rig.reset();
}

// The first payload is at 100 % and its end command cannot be written: the run ends with the link
// text, and once the device is back one press writes both payloads and ends with "Готово".
TEST_F(AnswerTest, AFailedWriteInThePauseEndsTheRunAndTheNextPressWritesEverything) {
    NewRig(0.1);
    rig->WritePayloads({PH_FW, PH_EDOG});
    const std::string link = rig->dir.File("ttyKALVO");
    std::string pty;
    auto plugIn = [&] {
        rig->dev = std::make_unique<sim::CDevice>(sim::Options{});
        ASSERT_TRUE(rig->dev->CreatePty(&pty) && rig->dev->Start());
        std::filesystem::remove(link);
        std::filesystem::create_symlink(pty, link);
    };
    plugIn();
    serialports::SetPortTable({link});
    CHookedManager tasks;
    std::atomic<bool> pulled{false};
    tasks.beforeSend = [&](uint8_t code) {
        if (code != CMD_FW_END || pulled.exchange(true)) return;
        rig->dev->PullCable();
        // Gone once its terminal is.
        for (int i = 0; i < 2000 && std::filesystem::exists(pty); ++i) plat::Sleep(1);
    };
    ASSERT_TRUE(rig->StartPage());
    EXPECT_EQ(rig->Run(), PageEvent::LinkLost);
    EXPECT_EQ(rig->Text(), kLinkLost);
    EXPECT_FALSE(rig->page->IsButtonEnabled());

    rig->wnd.ForgetEvents();
    plugIn();
    ASSERT_TRUE(rig->WaitEvent(PageEvent::ProbeAnswered, 20000));
    ASSERT_EQ(rig->Run(), PageEvent::RunComplete) << rig->Text();
    EXPECT_EQ(rig->Text(), "Готово");
    rig->ExpectIntact({PH_FW, PH_EDOG});
    rig.reset();
}

}  // namespace
