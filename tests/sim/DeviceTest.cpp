#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "sim/Device.h"
#include "sim/HostParser.h"
#include "sim/Sha256.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Frame(uint8_t code, const Bytes& payload = {}) {
    return sim::BuildFrame(code, payload);
}
Bytes Status(uint8_t code, uint8_t result) {
    return Frame(0x0D, {code, result});
}
Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// The updater's end of the line: the pty slave driven with plain POSIX calls.
class DeviceTest : public ::testing::Test {
protected:
    void Open(sim::Options o = {}) {
        m_dev = std::make_unique<sim::CDevice>(o);
        std::string path, error;
        ASSERT_TRUE(m_dev->CreatePty(&path, &error)) << error;
        ASSERT_TRUE(m_dev->Start());
        m_fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(m_fd, 0);
        termios t;
        ASSERT_EQ(tcgetattr(m_fd, &t), 0);
        cfmakeraw(&t);
        ASSERT_EQ(tcsetattr(m_fd, TCSANOW, &t), 0);
    }
    void TearDown() override {
        if (m_fd >= 0) ::close(m_fd);
    }
    void Send(const Bytes& b) { ASSERT_EQ(::write(m_fd, b.data(), b.size()), ssize_t(b.size())); }
    // Reads n bytes; stops early only when the line stays silent for a long time or hangs up.
    Bytes Read(size_t n) {
        Bytes out;
        while (out.size() < n) {
            pollfd p{m_fd, POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0) break;
            uint8_t buf[4096];
            ssize_t got = ::read(m_fd, buf, std::min(sizeof buf, n - out.size()));
            if (got <= 0) break;
            ++m_reads;
            out.insert(out.end(), buf, buf + got);
        }
        return out;
    }
    Bytes Exchange(const Bytes& frame, size_t answer) {
        Send(frame);
        return Read(answer);
    }
    // Lets the device finish everything, then tells whether anything is waiting to be read.
    bool Quiet() {
        EXPECT_TRUE(m_dev->WaitIdle(50, 10000));
        pollfd p{m_fd, POLLIN, 0};
        return poll(&p, 1, 0) == 0;
    }
    void BeginFirmware() {
        EXPECT_EQ(Exchange(Frame(0x1C, {0x01, 0x02}), 15),
                  Cat({Frame(0x1C, {0x00, 0x01, 0x03}), Frame(0x1B, {0x00, 0x00})}));
        EXPECT_EQ(Exchange(Status(0x1B, 0x02), 7), Frame(0x19, {0x00, 0x00}));
    }

    std::unique_ptr<sim::CDevice> m_dev;
    int m_fd = -1;
    int m_reads = 0;
};

TEST_F(DeviceTest, FullLengthDataFramesAreTakenInOrderAndReported) {
    Open();
    EXPECT_EQ(Exchange(Frame(0x45, {0x03}), 7), Frame(0x46, {0x45, 0x01}));
    EXPECT_EQ(Exchange(Frame(0x21), 7), Frame(0x22, {0x00, 0x00}));
    Bytes edog;
    for (int i = 0; i < 4096 + 100; ++i) edog.push_back(uint8_t(i * 7 + (i >> 8)));
    Bytes first(edog.begin(), edog.begin() + 4096), rest(edog.begin() + 4096, edog.end());
    ASSERT_EQ(Frame(0x23, first).size(), 4101u);
    EXPECT_EQ(Exchange(Frame(0x23, first), 6), Frame(0x24, {0x23}));
    EXPECT_EQ(Exchange(Frame(0x23, rest), 6), Frame(0x24, {0x23}));
    EXPECT_EQ(Exchange(Frame(0x20), 14), Cat({Status(0x20, 1), Status(0x20, 2)}));

    EXPECT_EQ(m_dev->RawPayload(0x23), edog);
    sim::Report r = m_dev->GetReport();
    EXPECT_EQ(r.commands, Bytes({0x45, 0x21, 0x23, 0x23, 0x20}));
    EXPECT_EQ(r.edog.bytes, edog.size());
    EXPECT_EQ(r.edog.sha256, sim::Sha256Hex(edog));
    EXPECT_EQ(r.edog.frames, 2);
    EXPECT_TRUE(r.edog.begun && r.edog.ended && !r.music.begun && !r.radar.begun);
    EXPECT_EQ(r.bytesIn, 6u + 5 + 4101 + 105 + 5);
    EXPECT_EQ(r.bytesOut, 7u + 7 + 6 + 6 + 14);
    EXPECT_TRUE(r.violations.empty());
    EXPECT_TRUE(m_dev->PayloadsComplete());
}

TEST_F(DeviceTest, FramesItCannotAcceptAreRefusedAndRecorded) {
    Open();
    Bytes bad = Frame(0x21);
    bad.back() ^= 0x55;
    EXPECT_EQ(Exchange(bad, 14), Cat({Status(0x21, 1), Status(0x21, 3)}));
    // Garbage before a frame is skipped; the frame behind it is taken.
    EXPECT_EQ(Exchange(Cat({{0x00, 0x13, 0x55}, Frame(0x45, {0x01})}), 7),
              Frame(0x46, {0x45, 0x01}));
    EXPECT_EQ(Exchange(Frame(0x23, {1, 2, 3}), 14), Cat({Status(0x23, 1), Status(0x23, 3)}));
    EXPECT_EQ(Exchange(Frame(0x77), 14), Cat({Status(0x77, 1), Status(0x77, 3)}));
    EXPECT_EQ(Exchange(Frame(0x06, {0, 0, 0, 8, 1, 0xAA}), 14),
              Cat({Status(0x06, 1), Status(0x06, 3)}));
    EXPECT_EQ(Exchange(Frame(0x45), 14), Cat({Status(0x45, 1), Status(0x45, 7)}));
    // A length no host frame can have: refused, then the line resynchronises.
    EXPECT_EQ(Exchange({0xAC, 0xFF, 0xFF, 0x23}, 14), Cat({Status(0x23, 1), Status(0x23, 7)}));
    EXPECT_EQ(Exchange(Frame(0x45, {0x02}), 7), Frame(0x46, {0x45, 0x01}));
    // A frame cut short is given up once the line stays quiet.
    EXPECT_EQ(Exchange({0xAC, 0x20, 0x00, 0x41, 0x00}, 14),
              Cat({Status(0x41, 1), Status(0x41, 7)}));

    sim::Report r = m_dev->GetReport();
    ASSERT_EQ(r.violations.size(), 9u);
    EXPECT_NE(r.violations[0].find("checksum"), std::string::npos);
    EXPECT_NE(r.violations[1].find("3 stray bytes"), std::string::npos);
    EXPECT_NE(r.violations[2].find("before its begin"), std::string::npos);
    EXPECT_EQ(r.commands, Bytes({0x45, 0x23, 0x77, 0x06, 0x45, 0x45}));
    EXPECT_FALSE(r.edog.begun);
}

TEST_F(DeviceTest, FirmwareWritesBuildTheFlashAndTheMemoryMap) {
    sim::Options o;
    o.verify = true;
    Open(o);
    BeginFirmware();
    Bytes rec(16);
    for (int i = 0; i < 16; ++i) rec[i] = uint8_t(0x30 + i);
    auto write = [&](uint32_t addr, const Bytes& data) {
        Bytes p = {uint8_t(addr), uint8_t(addr >> 8), uint8_t(addr >> 16), uint8_t(addr >> 24),
                   uint8_t(data.size())};
        p.insert(p.end(), data.begin(), data.end());
        return Frame(0x06, p);
    };
    Bytes back = rec;
    back.resize(17);
    Bytes pair = Cat({Status(0x06, 1), Status(0x06, 2)});
    Bytes verify = Cat({Status(0x0E, 1), back, Status(0x0E, 2)});
    EXPECT_EQ(Exchange(write(0x08001000, rec), 14 + 31), Cat({pair, verify}));
    EXPECT_EQ(Exchange(write(0x08001010, rec), 14 + 31), Cat({pair, verify}));
    EXPECT_EQ(Exchange(write(0x08080000, rec), 14), Cat({Status(0x06, 1), Status(0x06, 8)}));
    EXPECT_EQ(Exchange(Frame(0x1A), 14), Cat({Status(0x1A, 1), Status(0x1A, 2)}));

    // Read the block back: 128 records of 16 bytes and their sums.
    Bytes block = Exchange(Frame(0x05, {0x00, 0x10, 0x00, 0x08, 0x00, 0x08}), 7 + 2176 + 7);
    ASSERT_EQ(block.size(), 7u + 2176 + 7);
    EXPECT_EQ(Bytes(block.begin(), block.begin() + 7), Status(0x05, 1));
    EXPECT_EQ(Bytes(block.begin() + 7, block.begin() + 23), rec);
    EXPECT_EQ(block[23], uint8_t(0x30 * 16 + 120));
    EXPECT_EQ(block[24 + 16], block[23]);
    EXPECT_EQ(Bytes(block.begin() + 41, block.begin() + 57), Bytes(16, 0xFF));

    sim::Report r = m_dev->GetReport();
    ASSERT_EQ(r.firmware.size(), 1u);
    EXPECT_EQ(r.firmware[0].address, 0x08001000u);
    EXPECT_EQ(r.firmware[0].length, 32u);
    EXPECT_EQ(r.firmware[0].sha256, sim::Sha256Hex(Cat({rec, rec})));
    EXPECT_EQ(r.fwFrames, 2);
    EXPECT_TRUE(r.fwBegun && r.fwEnded);
    EXPECT_EQ(m_dev->Flash()[0x1010], 0x30);
    ASSERT_EQ(r.violations.size(), 1u);
}

TEST_F(DeviceTest, QueriesBaudChangeAndRadarLength) {
    sim::Options o;
    o.flashSizeCode = 0x05;
    Open(o);
    Bytes ver = Exchange(Frame(0x01), 16);
    EXPECT_EQ(Bytes(ver.begin() + 9, ver.end()), Status(0x01, 2));
    EXPECT_EQ(Exchange(Frame(0x03), 16), Cat({Status(0x03, 1), {0x05, 0x00}, Status(0x03, 2)}));
    EXPECT_EQ(Exchange(Frame(0x0F, {0xAC}), 16),
              Cat({Status(0x0F, 1), {0xAC, 0x00}, Status(0x0F, 2)}));
    EXPECT_EQ(Exchange(Frame(0x04, {0x00, 0x10, 0x0E}), 14),
              Cat({Status(0x04, 1), Status(0x04, 2)}));
    EXPECT_EQ(m_dev->GetReport().baud, 921600u);
    // 32 KiB of flash: the last block reads, the one past it does not.
    EXPECT_EQ(Exchange(Frame(0x05, {0x00, 0x80, 0x00, 0x08, 0x00, 0x08}), 14),
              Cat({Status(0x05, 1), Status(0x05, 9)}));

    EXPECT_EQ(Exchange(Frame(0x41, {0x03, 0x00, 0x00, 0x00}), 7), Frame(0x42, {0x00, 0x00}));
    EXPECT_EQ(Exchange(Frame(0x43, {1, 2}), 6), Frame(0x44, {0x43}));
    EXPECT_FALSE(m_dev->PayloadsComplete());
    EXPECT_EQ(Exchange(Frame(0x43, {3, 4}), 14), Cat({Status(0x43, 1), Status(0x43, 7)}));
    EXPECT_EQ(Exchange(Frame(0x43, {3}), 6), Frame(0x44, {0x43}));
    EXPECT_TRUE(m_dev->PayloadsComplete());
    EXPECT_EQ(Exchange(Frame(0x43, {4}), 14), Cat({Status(0x43, 1), Status(0x43, 3)}));
    EXPECT_EQ(m_dev->RawPayload(0x43), Bytes({1, 2, 3}));
}

TEST_F(DeviceTest, EachFaultShowsOnTheWire) {
    sim::Options o;
    o.fwVersion = 0x0104;
    o.faults.garbleAnswer = 1;
    o.faults.dropAnswerTo = 2;
    o.faults.errorAt = 4;
    o.faults.errorCode = 6;
    Open(o);
    Bytes probe = Frame(0x45, {0x01}), ack = Frame(0x46, {0x45, 0x01});
    Bytes garbled = Exchange(probe, 7);
    ASSERT_EQ(garbled.size(), 7u);
    EXPECT_EQ(Bytes(garbled.begin(), garbled.end() - 1), Bytes(ack.begin(), ack.end() - 1));
    EXPECT_NE(garbled.back(), ack.back());

    Send(probe);  // frame 2: carried out, not answered
    EXPECT_TRUE(Quiet());
    EXPECT_EQ(Exchange(Frame(0x1C, {0x01, 0x04}), 15),
              Cat({Frame(0x1C, {0x00, 0x01, 0x04}), Frame(0x1B, {0x00, 0x00})}));
    EXPECT_EQ(Exchange(Frame(0x21), 14), Cat({Status(0x21, 1), Status(0x21, 6)}));

    sim::Faults f;
    f.garbageBetween = 9;
    m_dev->SetFaults(f);
    Bytes noisy = Exchange(probe, 9 + 7);
    ASSERT_EQ(noisy.size(), 16u);
    EXPECT_EQ(Bytes(noisy.begin() + 9, noisy.end()), ack);
    EXPECT_EQ(std::count(noisy.begin(), noisy.begin() + 9, 0xAC), 0);

    f = {};
    f.singleByteWrites = true;
    f.silenceAfter = 8;
    m_dev->SetFaults(f);
    m_reads = 0;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Exchange(probe, 7), ack);
    EXPECT_GT(m_reads, 3);
    Send(probe);  // frame 9: silence from here on
    EXPECT_TRUE(Quiet());

    f = {};
    f.hangupAfter = 10;
    m_dev->SetFaults(f);
    EXPECT_EQ(Exchange(probe, 7), ack);
    ASSERT_TRUE(m_dev->WaitIdle(20, 10000));
    uint8_t b;
    EXPECT_LE(::read(m_fd, &b, 1), 0);
    EXPECT_LT(::write(m_fd, probe.data(), probe.size()), 0);

    sim::Report r = m_dev->GetReport();
    EXPECT_TRUE(r.hungUp);
    EXPECT_EQ(r.framesIn, 10);
    EXPECT_EQ(r.commands.size(), 10u);
    EXPECT_EQ(r.answersOut, 8);
    EXPECT_FALSE(r.edog.begun);
}

TEST_F(DeviceTest, LineRateEmulationKeepsTheBytesAndMeasuresTurnaround) {
    sim::Options o;
    o.lineRate = true;
    o.baud = 921600;
    o.procMicros = 50;
    Open(o);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(Exchange(Frame(0x45, {uint8_t(i)}), 7), Frame(0x46, {0x45, 0x01}));
    }
    ASSERT_TRUE(m_dev->WaitIdle(20, 10000));
    sim::Report r = m_dev->GetReport();
    EXPECT_EQ(r.turnaroundMicros.size(), 4u);
    for (double t : r.turnaroundMicros) EXPECT_GE(t, 0.0);
    EXPECT_EQ(r.bytesIn, 30u);
    EXPECT_EQ(r.bytesOut, 35u);
}

}  // namespace
