// The terminal face and the command line: exit codes, messages, and the service options.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "app/PayloadTable.h"
#include "isp/IspCtrl.h"
#include "platform/Time.h"
#include "serial/PortTable.h"
#include "serial/Serial.h"
#include "sim/Device.h"
#include "support/ResetController.h"
#include "support/TestMain.h"
#include "ui/Options.h"
#include "ui/PortList.h"
#include "ui/Session.h"
#include "ui/console/ConsoleFace.h"

namespace {

struct Outcome {
    int code;
    std::string out;  // standard output, then the error of a session that did not start
    std::string err;
};

class ConsoleFaceTest : public testing::Test {
protected:
    void SetUp() override { plat::SetTimeScale(0.1); }
    void TearDown() override {
        if (dev) dev->Stop();
        testsupport::ResetController();
        serialports::SetPortTable({});
        plat::SetTimeScale(1.0);
    }
    void StartDevice(sim::Options o = {}) {
        dev = std::make_unique<sim::CDevice>(o);
        ASSERT_TRUE(dev->CreatePty(&port));
        ASSERT_TRUE(dev->Start());
    }
    Outcome Run(std::vector<std::string> args) {
        std::vector<const char*> argv = {"kalvo-updater"};
        for (auto& a : args) argv.push_back(a.c_str());
        UpdaterOptions opts;
        std::string error;
        EXPECT_TRUE(ParseOptions(static_cast<int>(argv.size()), argv.data(), opts, error)) << error;
        opts.headless = true;
        CSession session(opts);
        int code = 0;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        if (session.Prepare(error, code)) code = RunConsoleFace(session);
        std::string err = testing::internal::GetCapturedStderr();
        return {code, testing::internal::GetCapturedStdout() + error, err};
    }
    std::vector<std::string> WithPayloads(std::vector<std::string> extra) {
        extra.insert(extra.begin(), {"--port", port, "--payload-dir", dir.Path()});
        return extra;
    }

    testsupport::TempDir dir;
    std::unique_ptr<sim::CDevice> dev;
    std::string port;
};

TEST_F(ConsoleFaceTest, UpdateEndsWithZeroAndTheTextsInOrder) {
    std::string error;
    ASSERT_TRUE(WriteSamplePayloads(dir.Path(), error)) << error;
    StartDevice();
    Outcome r = Run(WithPayloads({}));
    EXPECT_EQ(r.code, EXIT_DONE) << r.out;
    size_t fw = r.out.find("Обновление ПО прошло успешно.");
    size_t edog = r.out.find("Обновление базы камер прошло успешно.");
    size_t done = r.out.find("升级完成");
    EXPECT_TRUE(fw < edog && edog < done && done != std::string::npos) << r.out;
    EXPECT_EQ(dev->RawPayload(0x23), testsupport::ReadFile(dir.File(kPayloads[PAYLOAD_EDOG].file)));
}

TEST_F(ConsoleFaceTest, ExitCodesForEachWayARunEnds) {
    struct Case {
        const char* name;
        sim::Faults faults;
        bool payloads;
        int expect;
        const char* text;
    } cases[] = {
        {"no payload", {}, false, EXIT_PAYLOAD, "No payload file found"},
        {"device error", {.errorAt = 3, .errorCode = 6}, true, EXIT_DEVICE_ERROR, "Flash写保护!"},
        {"silence", {.silenceAfter = 2}, true, EXIT_LINK, "Тайм-аут, пожалуйста,"},
        {"no answer", {.dropAnswerTo = 1}, true, EXIT_NO_DEVICE, "No device answered"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TempDir payloads;
        if (c.payloads)
            payloads.Write(kPayloads[PAYLOAD_EDOG].file, std::vector<uint8_t>(9000, 0x5A));
        sim::Options o;
        o.faults = c.faults;
        StartDevice(o);
        Outcome r = Run({"--port", port, "--payload-dir", payloads.Path(), "--wait", "3"});
        EXPECT_EQ(r.code, c.expect) << r.out;
        EXPECT_NE(r.out.find(c.text), std::string::npos) << r.out;
        dev->Stop();
        dev.reset();
    }
}

// The device on any of the ports given, beside one that stays silent and one that is gone; a
// port that cannot be opened is reported once however often the search comes by.
TEST_F(ConsoleFaceTest, TheDeviceIsFoundOnAnyPortBesideASilentOne) {
    const std::vector<uint8_t> edog(9000, 0x3C);
    dir.Write(kPayloads[PAYLOAD_EDOG].file, edog);
    StartDevice();
    sim::Options quiet;
    quiet.faults.silenceAfter = 0;
    sim::CDevice silent(quiet);
    std::string silentPort;
    ASSERT_TRUE(silent.CreatePty(&silentPort));
    ASSERT_TRUE(silent.Start());
    const std::string gone = dir.File("no-such-tty");
    const std::vector<std::vector<std::string>> orders = {
        {port, silentPort}, {silentPort, port}, {gone, silentPort, port}, {gone, silentPort}};
    for (const auto& ports : orders) {
        SCOPED_TRACE(ports.front() + " first of " + std::to_string(ports.size()));
        std::vector<std::string> args = {"--payload-dir", dir.Path(), "--wait", "5"};
        for (const std::string& p : ports) args.insert(args.end(), {"--port", p});
        Outcome r = Run(args);
        const bool found = ports.back() == port || ports.front() == port;
        EXPECT_EQ(r.code, found ? EXIT_DONE : EXIT_NO_DEVICE) << r.out;
        if (found) {
            EXPECT_EQ(dev->RawPayload(CMD_EDOG_DATA), edog);
        }
        size_t reports = 0;
        for (size_t at = r.out.find("Port not usable: " + gone); at != std::string::npos;
             at = r.out.find("Port not usable: " + gone, at + 1))
            ++reports;
        EXPECT_EQ(reports, ports.front() == gone ? 1u : 0u) << r.out;
        EXPECT_EQ(r.out.find("already open in this program"), std::string::npos) << r.out;
    }
    EXPECT_TRUE(silent.GetReport().violations.empty());
}

TEST_F(ConsoleFaceTest, NoPortAtAllSaysWhy) {
    // A payload to write: without one the face ends before it looks for a port.
    dir.Write(kPayloads[PAYLOAD_RADAR].file, std::vector<uint8_t>(100, 1));
    Outcome r =
        Run({"--port", dir.File("no-such-tty"), "--payload-dir", dir.Path(), "--wait", "1"});
    EXPECT_EQ(r.code, EXIT_NO_DEVICE);
    EXPECT_NE(r.out.find("no serial port could be opened"), std::string::npos) << r.out;
}

TEST_F(ConsoleFaceTest, VerifyReadsTheFirmwareBackAndFindsTheOneWrongByte) {
    std::string error;
    ASSERT_TRUE(WriteSamplePayloads(dir.Path(), error)) << error;
    struct Case {
        uint32_t badCell;
        int expect;
        const char* text;
    } cases[] = {
        {0, EXIT_DONE, "Verify: 8192 bytes read back, all match"},
        {0x08001235, EXIT_DEVICE_ERROR,
         "Verify: first difference at 0x08001235, 1 of 8192 bytes differ"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.badCell);
        sim::Options o;
        o.badCellAt = c.badCell;
        StartDevice(o);
        Outcome r = Run(WithPayloads({"--verify"}));
        EXPECT_EQ(r.code, c.expect) << r.out;
        EXPECT_NE(r.out.find(c.text), std::string::npos) << r.out;
        // The four blocks of the 8 KiB image, read after the whole update.
        std::vector<uint8_t> cmds = dev->GetReport().commands;
        EXPECT_EQ(std::count(cmds.begin(), cmds.end(), CMD_READ_BLOCK), 4);
        EXPECT_EQ(cmds.back(), CMD_READ_BLOCK);
        dev->Stop();
        dev.reset();
        testsupport::ResetController();
    }
}

// What a shell command prints on standard output.
std::string Shell(const std::string& cmd) {
    std::string out;
    if (std::FILE* p = popen(cmd.c_str(), "r")) {
        char buf[256];
        while (std::fgets(buf, sizeof buf, p) != nullptr) out += buf;
        pclose(p);
    }
    return out;
}

// The report parsed by python3's json module, each field on a line of its own.
std::string ParseReport(const std::string& json, const testsupport::TempDir& dir) {
    dir.Write("report.json", json);
    std::string file = dir.File("report.json");
    std::string cmd =
        "python3 -c 'import json,sys\n"
        "d = json.load(open(sys.argv[1]))\n"
        "print(d[\"exit_code\"], d[\"reason\"][:14], d[\"port\"] is not None)\n"
        "v = d[\"verify\"]\n"
        "print(v[\"result\"], v[\"bytes\"], v[\"differing\"], v[\"first_difference\"])\n"
        "for p in d[\"payloads\"]:\n"
        " print(p[\"name\"], p[\"bytes\"], p[\"frames\"], p[\"seconds\"] >= 0, p[\"outcome\"])"
        "' " +
        file + " 2>&1";
    return Shell(cmd);
}

TEST_F(ConsoleFaceTest, JsonReportOnStandardOutputTextsOnStandardError) {
    std::string error;
    ASSERT_TRUE(WriteSamplePayloads(dir.Path(), error)) << error;
    std::remove(dir.File(kPayloads[PAYLOAD_MUSIC].file).c_str());
    sim::Options o;
    o.badCellAt = 0x08000010;
    StartDevice(o);
    Outcome r = Run(WithPayloads({"--verify", "--json"}));
    EXPECT_EQ(r.code, EXIT_DEVICE_ERROR) << r.err;
    EXPECT_NE(r.err.find("升级完成"), std::string::npos) << r.err;
    EXPECT_EQ(ParseReport(r.out, dir),
              "1 verify failed: True\n"
              "differ 8192 1 0x08000010\n"
              "firmware 8192 512 True written\n"
              "camera database 49275 13 True written\n"
              "sounds 0 0 True missing\n"
              "radar firmware 12800 13 True written\n")
        << r.out;

    // A port path that is not UTF-8, with a quote in it, still gives a report that parses.
    std::string bin = std::string(KALVO_BIN_DIR) + "/kalvo-updater";
    std::string report = dir.File("odd.json");
    int status = std::system((bin + " --json --wait 1 --payload-dir " + dir.Path() + " --port '" +
                              dir.File("tty\xff\"") + "' >" + report + " 2>/dev/null")
                                 .c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), EXIT_NO_DEVICE);
    std::string check =
        "python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))"
        "[\"exit_code\"])' " +
        report;
    EXPECT_EQ(Shell(check), "3\n") << testsupport::ReadFile(report).size();
}

TEST_F(ConsoleFaceTest, ReadFlashWritesTheDeviceFlash) {
    sim::Options o;
    o.flashSizeCode = 0x04;  // 16 KiB
    StartDevice(o);
    g_ISPCtrl.m_dwFlashSizeKB.store(16);
    std::string dump = dir.File("dump.bin");
    Outcome r = Run({"--port", port, "--read-flash", dump});
    EXPECT_EQ(r.code, EXIT_DONE) << r.out;
    std::vector<uint8_t> flash = dev->Flash();
    flash.resize(16 * 1024);
    EXPECT_EQ(testsupport::ReadFile(dump), flash);
}

TEST_F(ConsoleFaceTest, BaudChangeBeforeTheUpdate) {
    dir.Write(kPayloads[PAYLOAD_RADAR].file, std::vector<uint8_t>(3000, 0x11));
    StartDevice();
    Outcome r = Run(WithPayloads({"--baud", "921600"}));
    EXPECT_EQ(r.code, EXIT_DONE) << r.out;
    EXPECT_NE(r.out.find("初始波特率通信成功，开始传输数据!"), std::string::npos);
    EXPECT_EQ(dev->GetReport().baud, 921600u);
    EXPECT_EQ(dev->RawPayload(0x43).size(), 3000u);
}

TEST_F(ConsoleFaceTest, ListPortsSaysWhatEachPortIsAndWhetherItOpens) {
    StartDevice();
    sim::CDevice other({});
    std::string busy;
    ASSERT_TRUE(other.CreatePty(&busy));
    CSerial holder;  // another user of the second port
    ASSERT_EQ(holder.OpenPath(busy), 1);
    std::string missing = dir.File("ttyUSB9");
    EXPECT_EQ(PortListText({port, busy, missing}),
              "COM1  " + port + "  pseudo-terminal  opens\n" + "COM2  " + busy +
                  "  pseudo-terminal  does not open: port busy (already open in this program)\n" +
                  "COM3  " + missing +
                  "  serial device  does not open: no such port (No such file or directory)\n");
    holder.Close();
    std::string bin = std::string(KALVO_BIN_DIR) + "/kalvo-updater";
    int status = std::system((bin + " --list-ports --port " + port + " >/dev/null").c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(CommandLine, BadArgumentsAreRefusedWithAMessage) {
    const std::vector<std::vector<const char*>> bad = {
        {"--bogus"},
        {"--port"},
        {"--baud", "12x"},
        {"--baud", "-5"},
        {"--baud", "99999999"},
        {"--wait", "0"},
        {"--erase", "--chip-info"},
        {"--log=1"},
        {"--payload-dir="},
        {"--simulate", "--port", "/dev/null"},
        {"--json", "--log"},
        {"--verify", "--erase"},
    };
    for (const auto& args : bad) {
        std::vector<const char*> argv = {"kalvo-updater"};
        argv.insert(argv.end(), args.begin(), args.end());
        UpdaterOptions opts;
        std::string error;
        EXPECT_FALSE(ParseOptions(static_cast<int>(argv.size()), argv.data(), opts, error))
            << args[0];
        EXPECT_FALSE(error.empty());
    }
    UpdaterOptions opts;
    std::string error;
    const char* good[] = {"kalvo-updater", "--port", "/dev/ttyUSB0", "--port=/dev/ttyUSB1",
                          "--baud",        "921600", "--log"};
    ASSERT_TRUE(ParseOptions(7, good, opts, error)) << error;
    EXPECT_EQ(opts.ports, std::vector<std::string>({"/dev/ttyUSB0", "/dev/ttyUSB1"}));
    EXPECT_EQ(opts.baud, 921600u);
}

TEST(CommandLine, TheProgramExitsWith64OnBadArguments) {
    std::string bin = std::string(KALVO_BIN_DIR) + "/kalvo-updater";
    int status = std::system((bin + " --no-such-option >/dev/null 2>&1").c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 64);
    status = std::system((bin + " --help >/dev/null 2>&1").c_str());
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// The reader of the output goes after three lines, halfway through the log's first frames: the
// update still goes on to its end, and the simulated device (whose verdict sets the exit code)
// holds every payload intact. The log file still gets everything.
TEST(CommandLine, AnOutputPipeClosedEarlyEndsNeitherTheUpdateNorTheLog) {
    testsupport::TempDir dir;
    std::string bin = std::string(KALVO_BIN_DIR) + "/kalvo-updater";
    for (const char* log : {"", " --log"}) {
        SCOPED_TRACE(log);
        dir.Write("run.sh", "cd '" + dir.Path() + "' && '" + bin + "' --simulate --headless" + log +
                                " --payload-dir '" + dir.Path() +
                                "' 2>/dev/null | head -3 >/dev/null\nexit ${PIPESTATUS[0]}\n");
        int status = std::system(("bash '" + dir.File("run.sh") + "'").c_str());
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    EXPECT_GT(testsupport::ReadFile(dir.File("KalvoLog.txt")).size(), 100000u);
}

}  // namespace

namespace {

TEST_F(ConsoleFaceTest, ARefusedPayloadEndsTheRunBeforeTheDeviceIsTouched) {
    std::string error;
    ASSERT_TRUE(WriteSamplePayloads(dir.Path(), error)) << error;
    // One digit of the firmware's line 40 damaged, as a broken download leaves it.
    std::vector<uint8_t> raw = testsupport::ReadFile(dir.File(kPayloads[PAYLOAD_FW].file));
    std::string hex(raw.begin(), raw.end());
    size_t at = 0;
    for (int line = 1; line < 40; ++line) at = hex.find('\n', at) + 1;
    hex[at + 12] = hex[at + 12] == '7' ? '8' : '7';
    dir.Write(kPayloads[PAYLOAD_FW].file, hex);
    StartDevice();
    Outcome r = Run(WithPayloads({"--json"}));
    EXPECT_EQ(r.code, EXIT_PAYLOAD);
    EXPECT_NE(r.err.find("DE7811_project.hex, line 40: bad checksum"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("\"outcome\": \"refused\", \"problem\": \"line 40: bad checksum\""),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\"outcome\": \"not reached\""), std::string::npos) << r.out;
    // The search may have probed meanwhile; nothing else reached the device.
    for (uint8_t c : dev->GetReport().commands) EXPECT_EQ(c, CMD_PROBE);

    // With no file at all it says so at once, device or not.
    testsupport::TempDir empty;
    Outcome none = Run({"--port", dir.File("no-such-tty"), "--payload-dir", empty.Path()});
    EXPECT_EQ(none.code, EXIT_PAYLOAD);
    EXPECT_NE(none.out.find("No payload file found in " + empty.Path()), std::string::npos)
        << none.out;
}

}  // namespace
