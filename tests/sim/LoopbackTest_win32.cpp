// The loopback port opened through CSerial, as the updater opens "loop:sim" under --simulate: the
// serial layer finds it through the simulator's port opener.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "serial/Serial.h"
#include "sim/Loopback.h"

namespace {

struct Receiver : CSerialObject {
    int OnReceive(const uint8_t* data, uint32_t count) override {
        std::lock_guard<std::mutex> lock(mtx);
        got.insert(got.end(), data, data + count);
        return 1;
    }
    std::vector<uint8_t> Got() {
        std::lock_guard<std::mutex> lock(mtx);
        return got;
    }
    std::mutex mtx;
    std::vector<uint8_t> got;
};

void Forward(void* r, const uint8_t* d, uint32_t n) {
    static_cast<Receiver*>(r)->OnReceive(d, n);
}

template <class F>
bool Eventually(F done) {
    for (int i = 0; i < 500 && !done(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return done();
}

TEST(LoopbackPort, CarriesBytesIsExclusiveAndHangsUp) {
    sim::ServeLoopbackPorts();
    auto line = sim::CLoopback::Create("serial-test");
    ASSERT_TRUE(line && line->Claim(sim::CLoopback::DEVICE));
    Receiver rx;
    CSerial port;
    port.m_pfnReceive.store(Forward);
    port.m_pReceiver.store(&rx);
    ASSERT_EQ(port.OpenPath(line->Path()), 1);
    CSerial second;
    EXPECT_EQ(second.OpenPath(line->Path()), 0);
    EXPECT_EQ(second.GetLastError(), PortError::Busy);

    const uint8_t out[] = {0xAC, 0x05, 0x00, 0x45, 0x01, 0x4B};
    ASSERT_TRUE(port.Write(out, sizeof out));
    uint8_t buf[16] = {};
    EXPECT_EQ(line->Read(sim::CLoopback::DEVICE, buf, sizeof buf), long(sizeof out));
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + sizeof out), std::vector<uint8_t>(out, out + 6));
    line->Write(sim::CLoopback::DEVICE, out, sizeof out);
    EXPECT_TRUE(Eventually([&] { return rx.Got().size() == sizeof out; }));

    line->HangUp();
    EXPECT_TRUE(Eventually([&] { return port.IsHungUp(); }));
    EXPECT_FALSE(port.Write(out, sizeof out));
    port.Close();
    EXPECT_FALSE(port.IsOpen());
}

}  // namespace
