// The terminal face asked to stop from outside (Ctrl-C, SIGTERM), its plain lines on a dumb
// terminal, and an update without a payload file.
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "app/PayloadTable.h"
#include "platform/Console.h"
#include "platform/Time.h"
#include "serial/PortTable.h"
#include "sim/Device.h"
#include "support/ResetController.h"
#include "support/TestMain.h"
#include "ui/Options.h"
#include "ui/Session.h"
#include "ui/console/ConsoleFace.h"

namespace {

using namespace std::chrono_literals;

struct Outcome {
    int code;
    std::string out, err;
};

class TerminalTest : public testing::Test {
protected:
    void SetUp() override { plat::SetTimeScale(0.1); }
    void TearDown() override {
        if (m_helper.joinable()) m_helper.join();
        if (m_dev) m_dev->Stop();
        testsupport::ResetController();
        serialports::SetPortTable({});
        plat::SetTimeScale(1.0);
    }
    // The device writes a frame in 4 ms: the sample firmware takes two seconds.
    void StartDevice() {
        m_dev = std::make_unique<sim::CDevice>(sim::Options{.procMicros = 4000, .faults = {}});
        ASSERT_TRUE(m_dev->CreatePty(&m_port) && m_dev->Start());
        std::string error;
        ASSERT_TRUE(WriteSamplePayloads(m_dir.Path(), error)) << error;
    }
    Outcome Run(std::vector<std::string> args) {
        std::vector<const char*> argv = {"kalvo-updater", "--headless"};
        for (auto& a : args) argv.push_back(a.c_str());
        UpdaterOptions opts;
        std::string error;
        EXPECT_TRUE(ParseOptions(static_cast<int>(argv.size()), argv.data(), opts, error)) << error;
        CSession session(opts);
        int code = 0;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        if (session.Prepare(error, code)) code = RunConsoleFace(session);
        std::string err = testing::internal::GetCapturedStderr();
        return {code, testing::internal::GetCapturedStdout(), err};
    }
    // Once the device holds this many firmware records, signals are raised as steps says.
    void RaiseDuringFirmware(int records, std::function<void()> steps) {
        m_helper = std::thread([this, records, steps] {
            for (int i = 0; i < 20000 && m_dev->GetReport().fwFrames < records; ++i)
                std::this_thread::sleep_for(1ms);
            steps();
        });
    }
    int Frames() { return m_dev->GetReport().fwFrames; }

    testsupport::TempDir m_dir;
    std::unique_ptr<sim::CDevice> m_dev;
    std::string m_port;
    std::thread m_helper;
};

// The first Ctrl-C during the firmware only warns, and the update goes on once its 3 s (program
// time) are over; two in a row stop it, with what was left unfinished, in the report too.
TEST_F(TerminalTest, OneCtrlCDuringAWriteWarnsTwoStopIt) {
    StartDevice();
    std::atomic<int> afterFirst{0}, beforeSecond{0};
    RaiseDuringFirmware(20, [&] {
        std::raise(SIGINT);
        std::this_thread::sleep_for(100ms);
        afterFirst = Frames();
        std::this_thread::sleep_for(500ms);  // past the 300 ms the warning waits
        beforeSecond = Frames();
        std::raise(SIGINT);
        std::this_thread::sleep_for(20ms);
        std::raise(SIGINT);
    });
    Outcome r = Run({"--port", m_port, "--payload-dir", m_dir.Path(), "--json"});
    EXPECT_EQ(r.code, EXIT_INTERRUPTED) << r.err;
    EXPECT_GT(beforeSecond.load(), afterFirst.load() + 20);
    EXPECT_LT(Frames(), 512);
    const std::string warning =
        "The device is being updated: stopping now means it will need the update again.\n"
        "Press Ctrl-C again within 3 s to stop; otherwise the update goes on.\n";
    const size_t first = r.err.find(warning);
    ASSERT_NE(first, std::string::npos) << r.err;
    const size_t goesOn = r.err.find("Not stopped: the update goes on.\n", first);
    const size_t second = r.err.find(warning, goesOn);
    const std::string stop =
        "stopped by Ctrl-C: the firmware was not completed: run the update again";
    const size_t stopped = r.err.find("kalvo-updater: " + stop + "\n", second);
    EXPECT_TRUE(goesOn != std::string::npos && second != std::string::npos &&
                stopped != std::string::npos)
        << r.err;
    EXPECT_NE(r.out.find("\"exit_code\": 130,\n  \"reason\": \"" + stop + "\""), std::string::npos)
        << r.out;
}

// SIGTERM stops at once, whatever is being written; so does Ctrl-C while nothing is.
TEST_F(TerminalTest, SigtermStopsAtOnceAndCtrlCOutsideAWriteToo) {
    StartDevice();
    RaiseDuringFirmware(20, [] { std::raise(SIGTERM); });
    Outcome r = Run({"--port", m_port, "--payload-dir", m_dir.Path()});
    EXPECT_EQ(r.code, EXIT_TERMINATED);
    EXPECT_LT(Frames(), 100);
    EXPECT_NE(r.err.find("kalvo-updater: stopped by SIGTERM: the firmware was not completed: run "
                         "the update again\n"),
              std::string::npos)
        << r.err;
    m_helper.join();

    // No device anywhere: the face waits for one, and a single Ctrl-C ends the wait.
    m_helper = std::thread([] {
        std::this_thread::sleep_for(300ms);
        std::raise(SIGINT);
    });
    const auto start = std::chrono::steady_clock::now();
    r = Run({"--port", m_dir.File("ttyUSB7"), "--payload-dir", m_dir.Path(), "--wait", "600"});
    EXPECT_EQ(r.code, EXIT_INTERRUPTED);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_NE(r.err.find("kalvo-updater: stopped by Ctrl-C\n"), std::string::npos) << r.err;
}

// Without a payload file the face says so at once and ends with 4, device or not.
TEST_F(TerminalTest, NoPayloadIsSaidAtOnceWithoutADevice) {
    const auto start = std::chrono::steady_clock::now();
    Outcome r =
        Run({"--port", m_dir.File("ttyUSB7"), "--payload-dir", m_dir.Path(), "--wait", "600"});
    EXPECT_EQ(r.code, EXIT_PAYLOAD);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_NE(r.out.find("No payload file found in " + m_dir.Path()), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("No device answered"), std::string::npos) << r.out;
}

// A dumb terminal gets plain lines: the progress line is redrawn only where TERM allows it.
TEST(Terminal, ADumbTerminalIsNoTerminalForTheLiveLine) {
    int master = -1, slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    std::fflush(stdout);
    const int saved = ::dup(STDOUT_FILENO);
    ::dup2(slave, STDOUT_FILENO);
    const char* term = std::getenv("TERM");
    const std::string before = term != nullptr ? term : "";
    ::setenv("TERM", "xterm", 1);
    const bool xterm = plat::StdoutIsTerminal();
    ::setenv("TERM", "dumb", 1);
    const bool dumb = plat::StdoutIsTerminal();
    if (term != nullptr)
        ::setenv("TERM", before.c_str(), 1);
    else
        ::unsetenv("TERM");
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    ::close(slave);
    ::close(master);
    EXPECT_TRUE(xterm);
    EXPECT_FALSE(dumb);
}

TEST(Terminal, TheStopCodesAreListedInTheHelp) {
    EXPECT_NE(UsageText().find("130 stopped by Ctrl-C, 143 stopped by SIGTERM"), std::string::npos);
}

// The program itself, ended by SIGTERM in the middle of a simulated update: the status the shell
// sees is 143. Without --log, the log captured by an earlier run stays as it was.
TEST(Terminal, TheProgramEndedBySigtermExitsWith143) {
    testsupport::TempDir dir;
    dir.Write("KalvoLog.txt", std::string("captured"));
    const std::string bin = std::string(KALVO_BIN_DIR) + "/kalvo-updater";
    dir.Write("run.sh", "cd '" + dir.Path() + "'\n'" + bin +
                            "' --simulate --headless --payload-dir . >out 2>err & pid=$!\n"
                            "for i in $(seq 1000); do grep -q 'Обновление ПО' out && break; "
                            "sleep 0.01; done\n"
                            "kill -TERM $pid; wait $pid; echo $? >rc\n");
    ASSERT_EQ(std::system(("bash '" + dir.File("run.sh") + "'").c_str()), 0);
    std::vector<uint8_t> rc = testsupport::ReadFile(dir.File("rc"));
    std::vector<uint8_t> err = testsupport::ReadFile(dir.File("err"));
    EXPECT_EQ(std::string(rc.begin(), rc.end()), "143\n");
    EXPECT_NE(std::string(err.begin(), err.end()).find("kalvo-updater: stopped by SIGTERM"),
              std::string::npos);
    std::vector<uint8_t> log = testsupport::ReadFile(dir.File("KalvoLog.txt"));
    EXPECT_EQ(std::string(log.begin(), log.end()), "captured");
    EXPECT_FALSE(std::filesystem::exists(dir.File("KalvoLog.1.txt")));
}

}  // namespace
