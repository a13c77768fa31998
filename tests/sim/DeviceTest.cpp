// The simulated device, driven over a pseudo-terminal with plain POSIX calls, and its report.
#include <asm/termbits.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
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
// The status pair of a command: accepted, then its result (2 done, else an error code).
Bytes Outcome(uint8_t code, uint8_t result) {
    return Cat({Status(code, 1), Status(code, result)});
}

class DeviceTest : public ::testing::Test {
protected:
    // ownTty: the device serves the slave of a pty made here, and so sets its line speed.
    void Open(sim::Options o = {}, bool ownTty = false) {
        m_dev = std::make_unique<sim::CDevice>(o);
        std::string path, error;
        if (ownTty) {
            m_fd = posix_openpt(O_RDWR | O_NOCTTY);
            ASSERT_TRUE(m_fd >= 0 && grantpt(m_fd) == 0 && unlockpt(m_fd) == 0);
            ASSERT_TRUE(m_dev->ServePath(ptsname(m_fd), &error)) << error;
        } else {
            ASSERT_TRUE(m_dev->CreatePty(&path, &error)) << error;
            m_fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
            ASSERT_GE(m_fd, 0);
        }
        ASSERT_TRUE(m_dev->Start());
    }
    void TearDown() override { ::close(m_fd); }
    void Send(const Bytes& b) { ASSERT_EQ(::write(m_fd, b.data(), b.size()), ssize_t(b.size())); }
    // Reads n bytes; stops early only when the line stays silent for a long time or hangs up.
    Bytes Read(size_t n) {
        Bytes out;
        uint8_t buf[4096];
        for (pollfd p{m_fd, POLLIN, 0}; out.size() < n && poll(&p, 1, 5000) > 0;) {
            ssize_t got = ::read(m_fd, buf, std::min(sizeof buf, n - out.size()));
            if (got <= 0) break;
            ++m_reads;
            out.insert(out.end(), buf, buf + got);
        }
        return out;
    }
    Bytes Exchange(const Bytes& frame, size_t answer) { return Send(frame), Read(answer); }
    // Lets the device finish everything, then tells whether nothing is waiting to be read.
    bool Quiet() {
        EXPECT_TRUE(m_dev->WaitIdle(50, 10000));
        pollfd p{m_fd, POLLIN, 0};
        return poll(&p, 1, 0) == 0;
    }
    uint32_t LineSpeed() {
        termios2 t{};
        EXPECT_EQ(ioctl(m_fd, TCGETS2, &t), 0);
        return t.c_ospeed;
    }

    std::unique_ptr<sim::CDevice> m_dev;
    int m_fd = -1;
    int m_reads = 0;
};

TEST_F(DeviceTest, FullLengthDataFramesAreStoredInOrder) {
    Open();
    EXPECT_EQ(Exchange(Frame(0x21), 7), Frame(0x22, {0x00, 0x00}));
    Bytes edog(4096 + 100);
    for (size_t i = 0; i < edog.size(); ++i) edog[i] = uint8_t(i * 7 + (i >> 8));
    Bytes first(edog.begin(), edog.begin() + 4096), rest(edog.begin() + 4096, edog.end());
    ASSERT_EQ(Frame(0x23, first).size(), 4101u);
    EXPECT_EQ(Exchange(Frame(0x23, first), 6), Frame(0x24, {0x23}));
    EXPECT_EQ(Exchange(Frame(0x23, rest), 6), Frame(0x24, {0x23}));
    EXPECT_EQ(Exchange(Frame(0x20), 14), Outcome(0x20, 2));

    EXPECT_EQ(m_dev->RawPayload(0x23), edog);
    sim::Report r = m_dev->GetReport();
    EXPECT_EQ(r.commands, Bytes({0x21, 0x23, 0x23, 0x20}));
    EXPECT_EQ(r.edog.sha256, sim::Sha256Hex(edog));
    EXPECT_EQ(r.edog.frames, 2);
    EXPECT_TRUE(r.edog.ended && r.violations.empty() && m_dev->PayloadsComplete());
}

TEST_F(DeviceTest, FramesItCannotAcceptAreRefusedAndRecorded) {
    Open();
    Bytes bad = Frame(0x21);
    bad.back() ^= 0x55;
    EXPECT_EQ(Exchange(bad, 14), Outcome(0x21, 3));
    // Garbage before a frame is skipped; the frame behind it is taken.
    EXPECT_EQ(Exchange(Cat({{0x00, 0x13, 0x55}, Frame(0x45, {0x01})}), 7),
              Frame(0x46, {0x45, 0x01}));
    EXPECT_EQ(Exchange(Frame(0x23, {1, 2, 3}), 14), Outcome(0x23, 3));  // data before its begin
    EXPECT_EQ(Exchange(Frame(0x77), 14), Outcome(0x77, 3));
    // A length no host frame can have is refused, then the line resynchronises.
    EXPECT_EQ(Exchange({0xAC, 0xFF, 0xFF, 0x23}, 14), Outcome(0x23, 7));
    EXPECT_EQ(Exchange(Frame(0x45, {0x02}), 7), Frame(0x46, {0x45, 0x01}));
    // A frame cut short is given up once the line stays quiet.
    EXPECT_EQ(Exchange({0xAC, 0x20, 0x00, 0x41, 0x00}, 14), Outcome(0x41, 7));

    sim::Report r = m_dev->GetReport();
    ASSERT_EQ(r.violations.size(), 7u);
    EXPECT_NE(r.violations[0].find("checksum"), std::string::npos);
    EXPECT_NE(r.violations[1].find("3 stray bytes"), std::string::npos);
    EXPECT_NE(r.violations[2].find("before its begin"), std::string::npos);
    EXPECT_EQ(r.commands, Bytes({0x45, 0x23, 0x77, 0x45}));
}

TEST_F(DeviceTest, BaudChangeIsAnsweredAtTheOldRateThenTheLineSwitches) {
    Open({}, true);
    EXPECT_EQ(LineSpeed(), 256000u);
    EXPECT_EQ(Exchange(Frame(0x04, {0x00, 0x10, 0x0E}), 14), Outcome(0x04, 2));
    EXPECT_EQ(LineSpeed(), 921600u);
    EXPECT_EQ(m_dev->GetReport().baud, 921600u);
}

TEST_F(DeviceTest, EachFaultShowsOnTheWire) {
    sim::Options o;
    o.fwVersion = 0x0104;
    o.faults.garbleAnswer = 1;
    o.faults.dropAnswerTo = 2;
    o.faults.errorAt = 4;
    o.faults.errorCode = 6;
    Open(o);
    const Bytes probe = Frame(0x45, {0x01}), ack = Frame(0x46, {0x45, 0x01});
    Bytes garbled = Exchange(probe, 7);
    ASSERT_EQ(garbled.size(), 7u);
    EXPECT_TRUE(std::equal(ack.begin(), ack.end() - 1, garbled.begin()));
    EXPECT_NE(garbled.back(), ack.back());
    Send(probe);  // frame 2: carried out, not answered
    EXPECT_TRUE(Quiet());
    EXPECT_EQ(Exchange(Frame(0x1C, {0x01, 0x04}), 15),
              Cat({Frame(0x1C, {0x00, 0x01, 0x04}), Frame(0x1B, {0x00, 0x00})}));
    EXPECT_EQ(Exchange(Frame(0x21), 14), Outcome(0x21, 6));

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
    EXPECT_EQ(r.answersOut, 8);
}

// Consumes one value of strict JSON (quoted keys, no trailing commas, proper escapes).
bool JsonValue(const std::string& s, size_t& i) {
    auto ws = [&] {
        while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
    };
    auto eat = [&](char c) { return ws(), i < s.size() && s[i] == c ? (++i, true) : false; };
    if (eat('{') || eat('[')) {
        const bool object = s[i - 1] == '{';
        const char close = object ? '}' : ']';
        if (eat(close)) return true;
        do {
            if (object && !(ws(), i < s.size() && s[i] == '"' && JsonValue(s, i) && eat(':')))
                return false;
            if (!JsonValue(s, i)) return false;
        } while (eat(','));
        return eat(close);
    }
    if (eat('"')) {
        for (; i < s.size() && s[i] != '"'; ++i) {
            if (static_cast<unsigned char>(s[i]) < 0x20) return false;
            if (s[i] == '\\' && !std::strchr("\"\\/bfnrtu", s[++i])) return false;
        }
        return eat('"');
    }
    for (std::string w : {"true", "false", "null"})
        if (s.compare(i, w.size(), w) == 0) return i += w.size(), true;
    size_t start = i;
    while (i < s.size() && std::strchr("+-.eE0123456789", s[i]) && s[i]) ++i;
    return i > start;
}

bool ValidJson(const std::string& s) {
    size_t i = 0;
    return JsonValue(s, i) && s.find_first_not_of(" \t\r\n", i) == std::string::npos;
}

std::string Sha(const std::string& s) {
    return sim::Sha256Hex(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

TEST(Report, JsonIsWellFormedAndCarriesTheDigests) {
    sim::Report r;
    r.commands = {0x45, 0x1C};
    r.edog = {3, Sha("abc"), 1, true, true, 0};
    r.firmware = {
        {0x08001000, 56, Sha("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")}};
    r.violations = {"quote \" backslash \\ and\ttab", "second"};
    for (int i = 1; i <= 100; ++i) r.turnaroundMicros.push_back(i);
    const std::string json = r.ToJson();
    EXPECT_TRUE(ValidJson(json)) << json;
    for (const char* field :
         {"\"commands\": [69, 28]", "\"address\": 134221824",
          "\"sha256\": \"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\"",
          "\"sha256\": \"248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1\"",
          "\"count\": 100, \"medianMicros\": 50.5, \"p99Micros\": 99.0"}) {
        EXPECT_NE(json.find(field), std::string::npos) << field;
    }
    EXPECT_TRUE(ValidJson(sim::Report{}.ToJson()));
    EXPECT_FALSE(ValidJson("{\"a\": [1, 2,]}"));
    EXPECT_FALSE(ValidJson("{\"a\": \"tab\there\"}"));
}

}  // namespace
