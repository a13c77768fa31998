// The service station end to end: simulated devices on pseudo-terminals, a child updater process
// for each, the rows, the record, and one device pulled in the middle of its firmware.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

#include "app/PayloadTable.h"
#include "image/HexWriter.h"
#include "platform/Time.h"
#include "serial/PortTable.h"
#include "sim/Device.h"
#include "support/TestMain.h"
#include "ui/Options.h"
#include "ui/station/ChildOutput.h"
#include "ui/station/Station.h"
#include "ui/station/StationRecord.h"

namespace {

// The children's pauses (7 s after the firmware) and time-outs at a fifth: a loaded machine
// still gets 500 ms for an answer.
constexpr const char* CHILD_SCALE = "0.2";

std::vector<uint8_t> Bytes(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
    return v;
}

std::string PrintedLineLost() {
    return "串口连接已断开，请检查连接!";
}

class StationTest : public testing::Test {
protected:
    void SetUp() override {
        firmware = Bytes(24 * 1024, 7);
        radar = Bytes(5000, 9);
        dir.Write(kPayloads[PAYLOAD_FW].file, WriteIntelHex(firmware, 0x08000000, "0103"));
        dir.Write(kPayloads[PAYLOAD_RADAR].file, radar);
    }
    void TearDown() override {
        for (auto& d : devs) d->Stop();
        serialports::SetPortTable({});
    }
    void AddDevice(sim::Faults faults = {}, bool lineRate = false) {
        sim::Options o;
        o.faults = faults;
        o.lineRate = lineRate;
        devs.push_back(std::make_unique<sim::CDevice>(o));
        std::string port;
        ASSERT_TRUE(devs.back()->CreatePty(&port));
        ASSERT_TRUE(devs.back()->Start());
        ports.push_back(port);
    }
    StationConfig Config() {
        StationConfig cfg;
        cfg.ports = ports;
        cfg.payloadDir = dir.Path();
        cfg.recordPath = dir.File("record.csv");
        cfg.jsonRecord = true;
        cfg.once = true;
        cfg.logDir = dir.File("logs");
        cfg.childCommand = {std::string(KALVO_BIN_DIR) + "/kalvo-station-child", CHILD_SCALE};
        cfg.childExtra = {"--wait", "60"};
        // Plenty for a loaded machine: nothing waits for it but the start.
        cfg.probeWaitMs = 2000;
        cfg.scanPeriodMs = 500;
        return cfg;
    }
    // Runs the station until every device has ended; the rows in the order of the ports.
    std::vector<StationRow> RunOnce(CStation& station) {
        std::string error;
        EXPECT_TRUE(station.Start(error)) << error;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (!station.Finished() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_TRUE(station.Finished());
        std::vector<StationRow> rows = station.Rows();
        std::sort(rows.begin(), rows.end(), [&](const StationRow& a, const StationRow& b) {
            return std::find(ports.begin(), ports.end(), a.port) <
                   std::find(ports.begin(), ports.end(), b.port);
        });
        return rows;
    }
    void ExpectIntact(size_t i) {
        SCOPED_TRACE("device on " + ports[i]);
        std::vector<uint8_t> flash = devs[i]->Flash();
        ASSERT_GE(flash.size(), firmware.size());
        EXPECT_TRUE(std::equal(firmware.begin(), firmware.end(), flash.begin()));
        EXPECT_EQ(devs[i]->RawPayload(kPayloads[PAYLOAD_RADAR].dataCode), radar);
        EXPECT_TRUE(devs[i]->GetReport().violations.empty());
    }
    // The record's lines without the header, by port.
    std::string RecordLineOf(const std::string& port) {
        std::string csv(
            reinterpret_cast<const char*>(testsupport::ReadFile(dir.File("record.csv")).data()),
            testsupport::ReadFile(dir.File("record.csv")).size());
        size_t at = csv.find("," + port + ",");
        if (at == std::string::npos) return "";
        size_t start = csv.rfind('\n', at) + 1;
        return csv.substr(start, csv.find('\n', at) - start);
    }

    testsupport::TempDir dir;
    std::vector<uint8_t> firmware, radar;
    std::vector<std::unique_ptr<sim::CDevice>> devs;
    std::vector<std::string> ports;
};

TEST_F(StationTest, ThreeDevicesAreUpdatedSideBySideAndRecorded) {
    for (int i = 0; i < 3; ++i) AddDevice();
    CStation station(Config());
    std::vector<std::string> jsonLines;
    station.onRecord = [&](const std::string& line) { jsonLines.push_back(line); };
    std::vector<StationRow> rows = RunOnce(station);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(station.ExitCode(), 0);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(rows[i].port, ports[i]);
        EXPECT_EQ(rows[i].exitCode, 0);
        EXPECT_EQ(rows[i].outcome, TEXT_RUN_DONE_RADAR) << rows[i].outcome;
        EXPECT_EQ(rows[i].payload, PAYLOAD_RADAR);
        EXPECT_EQ(rows[i].percent, 100);
        ExpectIntact(i);
        std::string line = RecordLineOf(ports[i]);
        EXPECT_NE(line.find(",0x0103,firmware+radar firmware," +
                            std::to_string(firmware.size() + radar.size()) + ","),
                  std::string::npos)
            << line;
        EXPECT_NE(line.find(",升级完成,0," + rows[i].logPath), std::string::npos) << line;
        // The run's log holds the page's texts.
        std::vector<uint8_t> log = testsupport::ReadFile(rows[i].logPath);
        EXPECT_NE(std::string(log.begin(), log.end()).find("升级完成"), std::string::npos);
    }
    std::vector<uint8_t> csv = testsupport::ReadFile(dir.File("record.csv"));
    EXPECT_EQ(std::string(csv.begin(), csv.end()).rfind(station::RECORD_HEADER, 0), 0u);
    EXPECT_EQ(jsonLines.size(), 3u);
    std::vector<uint8_t> jsonl = testsupport::ReadFile(dir.File("record.csv.jsonl"));
    EXPECT_EQ(std::count(jsonl.begin(), jsonl.end(), '\n'), 3);
}

// The second device's line hangs up in the middle of its firmware: its row and record say so
// with exit code 2, the other two are written whole.
TEST_F(StationTest, ADevicePulledMidFirmwareEndsOnlyItsOwnRow) {
    AddDevice();
    // Frame 1 is the station's probe, 2 the child's, then the begin command: well inside the
    // firmware's 1536 write frames.
    AddDevice({.hangupAfter = 400});
    AddDevice();
    CStation station(Config());
    std::vector<StationRow> rows = RunOnce(station);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[1].exitCode, 2);
    EXPECT_EQ(rows[1].payload, PAYLOAD_FW);
    EXPECT_LT(rows[1].percent, 100);
    EXPECT_EQ(rows[1].outcome.rfind(PrintedLineLost(), 0), 0u) << rows[1].outcome;
    std::string line = RecordLineOf(ports[1]);
    EXPECT_NE(line.find(",0x0103,,0,"), std::string::npos) << line;  // nothing written whole
    EXPECT_NE(line.find("," + PrintedLineLost() + ",2,"), std::string::npos) << line;
    for (size_t i : {0u, 2u}) {
        EXPECT_EQ(rows[i].exitCode, 0);
        ExpectIntact(i);
    }
    EXPECT_EQ(station.ExitCode(), 2);
}

// Ending the station (Ctrl-C) in the middle of three runs ends every child: each row and record
// says "interrupted", and no device gets another frame afterwards.
TEST_F(StationTest, EndingTheStationEndsEveryChildCleanly) {
    for (int i = 0; i < 3; ++i) AddDevice({}, true);
    StationConfig cfg = Config();
    cfg.once = false;
    CStation station(cfg);
    std::string error;
    ASSERT_TRUE(station.Start(error)) << error;
    auto writing = [&] {
        std::vector<StationRow> rows = station.Rows();
        return rows.size() == 3 && std::all_of(rows.begin(), rows.end(), [](const StationRow& r) {
                   return r.payload == PAYLOAD_FW && r.percent > 0;
               });
    };
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!writing() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(writing());
    station.Stop(2);
    std::vector<int> framesAtStop;
    for (auto& d : devs) framesAtStop.push_back(d->GetReport().framesIn);
    for (const StationRow& r : station.Rows()) {
        EXPECT_FALSE(r.running);
        EXPECT_EQ(r.outcome, "interrupted");
        EXPECT_NE(RecordLineOf(r.port).find(",interrupted,"), std::string::npos);
    }
    EXPECT_EQ(station.ExitCode(), 130);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (size_t i = 0; i < devs.size(); ++i)
        EXPECT_EQ(devs[i]->GetReport().framesIn, framesAtStop[i]);
}

// A device updated stays plugged in: it is not taken up again. Pulled, and another plugged in on
// the same port (here a link that comes to name another device's line), it is a new row.
TEST_F(StationTest, AnotherDeviceOnTheSamePortIsANewRow) {
    AddDevice();
    AddDevice();
    std::string link = dir.File("ttyStation");
    ASSERT_EQ(symlink(ports[0].c_str(), link.c_str()), 0);
    StationConfig cfg = Config();
    cfg.ports = {link};
    cfg.once = false;
    cfg.scanPeriodMs = 200;
    CStation station(cfg);
    std::string error;
    ASSERT_TRUE(station.Start(error)) << error;
    auto ended = [&](size_t n) {
        std::vector<StationRow> rows = station.Rows();
        return rows.size() == n && !rows.back().running;
    };
    auto waitFor = [&](const std::function<bool()>& pred) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!pred() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return pred();
    };
    ASSERT_TRUE(waitFor([&] { return ended(1); }));
    // Several passes over the port with the updated device still there.
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_EQ(station.Rows().size(), 1u);
    devs[0]->Stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_EQ(unlink(link.c_str()), 0);
    ASSERT_EQ(symlink(ports[1].c_str(), link.c_str()), 0);
    ASSERT_TRUE(waitFor([&] { return ended(2); }));
    station.Stop(0);
    for (const StationRow& r : station.Rows()) {
        EXPECT_EQ(r.port, link);
        EXPECT_EQ(r.exitCode, 0);
    }
    EXPECT_EQ(station.ExitCode(), 0);
    ExpectIntact(1);
}

TEST(StationOptions, StationOptionsAreCheckedTogether) {
    auto parse = [](std::vector<const char*> args, std::string& error) {
        args.insert(args.begin(), "kalvo-updater");
        UpdaterOptions opts;
        return ParseOptions(static_cast<int>(args.size()), args.data(), opts, error);
    };
    std::string error;
    EXPECT_FALSE(parse({"--once"}, error));
    EXPECT_EQ(error, "--once needs --station");
    EXPECT_FALSE(parse({"--record", "r.csv"}, error));
    EXPECT_EQ(error, "--record needs --station");
    EXPECT_FALSE(parse({"--station", "--record"}, error));
    EXPECT_EQ(error, "--record needs a value");
    for (const char* other : {"--simulate", "--log", "--erase"}) {
        EXPECT_FALSE(parse({"--station", other}, error)) << other;
        EXPECT_NE(error.find("--station cannot be combined"), std::string::npos) << error;
    }
    EXPECT_TRUE(parse({"--station", "--once", "--json", "--record=r.csv", "--verify"}, error));
}

// A child's output is another program's: a report cut short, a stranger's JSON and lines of
// anything are passed over without harm.
TEST(StationChildOutput, OutputThatDoesNotFitIsPassedOver) {
    EXPECT_FALSE(station::ParseChildReport("").valid);
    EXPECT_FALSE(station::ParseChildReport("{\"payloads\": [{\"name\": \"x").valid);
    station::ChildReport r = station::ParseChildReport(
        "{\"payloads\": [{\"name\": \"firmware\", \"bytes\": 12, \"outcome\": \"written\"}, "
        "{\"name\": \"sounds\", \"bytes\": 99, \"outcome\": \"failed\"}, {\"name\": \"radar fi");
    EXPECT_FALSE(r.valid);
    r = station::ParseChildReport(
        "{\"device_version\": \"0x0103\", \"payloads\": [{\"name\": \"firmware\", \"bytes\": 12, "
        "\"outcome\": \"written\"}, {\"name\": \"sounds\", \"bytes\": 99, \"outcome\": "
        "\"failed\"}], \"exit_code\": 1, \"reason\": \"a \\\"b\\\"\"}");
    EXPECT_TRUE(r.valid);
    EXPECT_EQ(r.payloads, "firmware");
    EXPECT_EQ(r.bytes, 12u);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.reason, "a \"b\"");
    EXPECT_EQ(station::ParseChildReport("{\"exit_code\": 99999999999999999999}").exitCode, -1);

    station::ChildStatus s;
    for (const char* line : {"Обновление ПО...: 45 %", "Обновление ПО...: x %", "\xff\xfe garbage",
                             "Тайм-аут, пожалуйста,", "заново откройте программу.", ""})
        s.TakeLine(line);
    EXPECT_EQ(s.payload, PAYLOAD_FW);
    EXPECT_EQ(s.percent, 0);  // "x" reads as 0, still within 0..100
    EXPECT_EQ(s.outcome, "Тайм-аут, пожалуйста,\nзаново откройте программу.");
    s.TakeLine("Обновление ПО радар…: 999 %");
    EXPECT_EQ(s.payload, PAYLOAD_RADAR);
    EXPECT_EQ(s.percent, 100);
}

}  // namespace
