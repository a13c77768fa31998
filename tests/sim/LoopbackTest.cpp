// The simulated device over the in-process loopback port, the line --simulate uses where there
// are no pseudo-terminals (Windows); the port's side is driven through the loopback directly.
#include <gtest/gtest.h>

#include "sim/Device.h"
#include "sim/HostParser.h"
#include "sim/Loopback.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr auto HOST = sim::CLoopback::HOST;

Bytes ReadFrom(sim::CLoopback& line, size_t n) {
    Bytes out;
    uint8_t buf[256];
    while (out.size() < n) {
        sim::CLoopback::WaitState w = line.Wait(HOST, std::chrono::seconds(5));
        long got = line.Read(HOST, buf, std::min(sizeof buf, n - out.size()));
        if (got <= 0 || !w.readable) break;
        out.insert(out.end(), buf, buf + got);
    }
    return out;
}

TEST(Loopback, DeviceAnswersOnItAndHangsItUp) {
    sim::Options o;
    o.faults.hangupAfter = 2;
    sim::CDevice dev(o);
    std::string path, error;
    ASSERT_TRUE(dev.CreateLoopback("test-line", &path, &error)) << error;
    EXPECT_EQ(path, "loop:test-line");
    sim::CDevice other(o);
    EXPECT_FALSE(other.CreateLoopback("test-line", nullptr)) << "a name serves one device";
    ASSERT_TRUE(dev.Start());

    std::shared_ptr<sim::CLoopback> line = sim::CLoopback::Find(path);
    ASSERT_TRUE(line);
    ASSERT_TRUE(line->Claim(HOST));
    EXPECT_FALSE(line->Claim(HOST)) << "a port is opened once";

    Bytes probe = sim::BuildFrame(0x45, {0x01});
    ASSERT_EQ(line->Write(HOST, probe.data(), probe.size()), long(probe.size()));
    EXPECT_EQ(ReadFrom(*line, 7), sim::BuildFrame(0x46, {0x45, 0x01}));

    // A wake ends a wait that has nothing to wait for, and keeps doing so until released.
    line->Wake(HOST);
    EXPECT_TRUE(line->Wait(HOST, std::chrono::seconds(5)).woken);
    EXPECT_TRUE(line->Wait(HOST, std::chrono::seconds(5)).woken);
    line->Release(HOST);
    ASSERT_TRUE(line->Claim(HOST));

    // The second frame is answered, then the line is gone for both sides.
    ASSERT_EQ(line->Write(HOST, probe.data(), probe.size()), long(probe.size()));
    EXPECT_EQ(ReadFrom(*line, 7), sim::BuildFrame(0x46, {0x45, 0x01}));
    EXPECT_TRUE(line->Wait(HOST, std::chrono::seconds(5)).hungUp);
    uint8_t b = 0;
    EXPECT_EQ(line->Read(HOST, &b, 1), -1);
    EXPECT_EQ(line->Write(HOST, probe.data(), probe.size()), -1);
    EXPECT_TRUE(dev.GetReport().hungUp);
    dev.Stop();
}

}  // namespace
