// The serial port over real pseudo-terminal pairs: the kernel's tty layer is in the path.
#include <asm/termbits.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <thread>

#include "platform/Time.h"
#include "platform/ports_posix.h"
#include "serial/PortTable.h"
#include "serial/Serial.h"
#include "support/TestMain.h"

namespace {

using namespace std::chrono_literals;

// A failsafe against hangs, not a speed goal.
bool WaitFor(const std::function<bool()>& done) {
    for (auto end = std::chrono::steady_clock::now() + 20s; !done();) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(200us);
    }
    return true;
}

// Counts the threads named by the read loop; a joined one may linger a moment, so it waits.
bool ReadThreadsBecome(size_t n) {
    return WaitFor([n] {
        size_t count = 0;
        for (auto& e : std::filesystem::directory_iterator("/proc/self/task")) {
            // A thread that ends meanwhile (an open's own thread) leaves nothing to read.
            std::ifstream in(e.path() / "comm");
            std::string comm;
            std::getline(in, comm);
            count += comm == "serial-read";
        }
        return count == n;
    });
}

struct Pty {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    std::string slave = grantpt(master) == 0 && unlockpt(master) == 0 ? ptsname(master) : "";
    int observer = open(slave.c_str(), O_RDWR | O_NOCTTY);  // before the port takes the line
    ~Pty() {
        close(observer);
        close(master);
    }
    termios2 Line() const {
        termios2 t{};
        EXPECT_EQ(ioctl(observer, TCGETS2, &t), 0);
        return t;
    }
};

struct Collector {
    std::mutex mtx;
    std::vector<uint8_t> bytes;
    int calls = 0;
    std::function<void()> onReceive;
    static void Receive(void* self, const uint8_t* data, uint32_t count) {
        auto* c = static_cast<Collector*>(self);
        EXPECT_NE(count, 0u) << "an empty read is never delivered";
        {
            std::lock_guard<std::mutex> lock(c->mtx);
            c->calls++;
            c->bytes.insert(c->bytes.end(), data, data + count);
        }
        if (c->onReceive) c->onReceive();
    }
    bool Has(size_t n) {
        std::lock_guard<std::mutex> lock(mtx);
        return bytes.size() >= n;
    }
    void Attach(CSerial& port) {
        port.m_pfnReceive = &Receive;
        port.m_pReceiver = this;
    }
};

class SerialTest : public testing::Test {
protected:
    void SetUp() override {
        plat::SetTimeScale(0.01);
        ASSERT_GE(pty.observer, 0) << "no pseudo-terminal";
        rx.Attach(port);
    }
    void TearDown() override { plat::SetTimeScale(1.0); }
    Pty pty;
    Collector rx;
    CSerial port;
};

void ExpectLine(const termios2& t, uint32_t baud) {
    EXPECT_EQ(t.c_ospeed, baud);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD),
              static_cast<tcflag_t>(CS8 | CLOCAL | CREAD));
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cc[VMIN] + t.c_cc[VTIME], 0);
}

TEST_F(SerialTest, LineSettingsBaudChangesAndReopenWithOneReadThread) {
    serialports::SetPortTable({"/dev/null-not-this", pty.slave});
    ASSERT_EQ(port.Open(2), 1) << port.GetLastErrorText();
    EXPECT_TRUE(ReadThreadsBecome(1));
    ExpectLine(pty.Line(), 256000);
    EXPECT_NE(port.SetBaudRate(115200), 0);
    ExpectLine(pty.Line(), 115200);
    EXPECT_EQ(port.GetBaudRate(), 115200u);

    ASSERT_EQ(port.Open(2), 1);
    ExpectLine(pty.Line(), 256000);
    EXPECT_TRUE(ReadThreadsBecome(1));

    port.Close();
    EXPECT_FALSE(port.IsOpen());
    EXPECT_TRUE(ReadThreadsBecome(0));
}

TEST_F(SerialTest, ChunksArriveCompleteAndInOrder) {
    ASSERT_EQ(port.OpenPath(pty.slave), 1) << port.GetLastErrorText();
    std::mt19937 rng(7);
    std::vector<uint8_t> sent(100 * 1024);
    for (auto& b : sent) b = static_cast<uint8_t>(rng());
    for (size_t off = 0; off < sent.size();) {
        ssize_t w = write(pty.master, sent.data() + off,
                          std::min<size_t>(sent.size() - off, 1 + rng() % 3000));
        ASSERT_GT(w, 0);
        off += static_cast<size_t>(w);
    }
    ASSERT_TRUE(WaitFor([&] { return rx.Has(sent.size()); }));
    std::lock_guard<std::mutex> lock(rx.mtx);
    EXPECT_EQ(rx.bytes, sent);
    EXPECT_GT(rx.calls, 1);
}

TEST_F(SerialTest, FailedOpensSayWhyAndLeaveNoThread) {
    testsupport::TempDir dir;
    serialports::SetPortTable({pty.slave});
    EXPECT_EQ(port.OpenPath(dir.File("absent")), 0);
    EXPECT_EQ(port.GetLastError(), PortError::NoSuchPort);
    EXPECT_NE(port.GetLastErrorText().find(dir.File("absent")), std::string::npos);
    EXPECT_EQ(port.Open(9), 0);
    EXPECT_EQ(port.GetLastError(), PortError::NoSuchPort);

    // In use by another program (a lock), then by another object of this one (root ignores
    // TIOCEXCL, so that must be refused anyway).
    int foreign = open(pty.slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(flock(foreign, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(port.Open(1), 0);
    EXPECT_EQ(port.GetLastError(), PortError::Busy);
    close(foreign);
    CSerial holder;
    ASSERT_EQ(holder.Open(1), 1);
    EXPECT_EQ(port.Open(1), 0);
    EXPECT_EQ(port.GetLastError(), PortError::Busy);
    EXPECT_FALSE(port.IsOpen() || port.IsRunning());
    holder.Close();
    EXPECT_TRUE(ReadThreadsBecome(0));
    EXPECT_EQ(port.Open(1), 1);
}

TEST_F(SerialTest, CloseFromOwnReceiverDoesNotDeadlock) {
    rx.onReceive = [&] { port.Close(); };
    ASSERT_EQ(port.OpenPath(pty.slave), 1);
    ASSERT_EQ(write(pty.master, "x", 1), 1);
    ASSERT_TRUE(WaitFor([&] { return !port.IsOpen(); }));
    EXPECT_TRUE(ReadThreadsBecome(0));

    rx.onReceive = nullptr;
    ASSERT_EQ(port.OpenPath(pty.slave), 1);
    ASSERT_EQ(write(pty.master, "y", 1), 1);
    EXPECT_TRUE(WaitFor([&] { return rx.Has(2); }));
}

TEST_F(SerialTest, HangUpIsReportedWithoutSpinningAndWritesFail) {
    ASSERT_EQ(port.OpenPath(pty.slave), 1);
    EXPECT_FALSE(port.IsHungUp());
    close(pty.master);
    pty.master = -1;
    ASSERT_TRUE(WaitFor([&] { return port.IsHungUp(); }));

    // Every pass after a hang-up pauses at least 500 us; a spinning loop makes thousands.
    uint32_t before = port.GetReadPasses();
    auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(50ms);
    uint32_t passes = port.GetReadPasses() - before;
    EXPECT_LE(passes, (std::chrono::steady_clock::now() - start) / 500us + 2);
    EXPECT_TRUE(port.IsRunning());

    const uint8_t byte = 0x55;
    EXPECT_FALSE(port.Write(&byte, 1));
    port.Close();
    EXPECT_FALSE(port.Write(&byte, 1));
}

TEST_F(SerialTest, WriteThatNobodyReadsFailsWithinItsBound) {
    ASSERT_EQ(port.OpenPath(pty.slave), 1);
    std::vector<uint8_t> big(1024 * 1024, 0xA5);
    EXPECT_FALSE(port.Write(big.data(), static_cast<uint32_t>(big.size())));
    EXPECT_NE(port.GetLastErrorText().find("timed out"), std::string::npos);
}

TEST(PortTable, DiscoveryOrderAndUartFilter) {
    testsupport::TempDir dir;
    std::filesystem::create_directories(dir.File("dev"));
    for (const char* name :
         {"ttyUSB10", "ttyS1", "ttyUSB2", "ttyS12", "ttyACM0", "ttyS0", "ttyUSBx", "console"}) {
        dir.Write(std::string("dev/") + name, std::string());
    }
    for (auto [name, type] : {std::pair{"ttyS0", "4"}, std::pair{"ttyS1", "0"}}) {
        std::filesystem::create_directories(dir.File("sys/") + name);
        dir.Write(std::string("sys/") + name + "/type", std::string(type));
    }
    std::string dev = dir.File("dev/");
    std::vector<std::string> expected = {dev + "ttyUSB2", dev + "ttyUSB10", dev + "ttyACM0",
                                         dev + "ttyS0"};
    EXPECT_EQ(plat::DiscoverSerialPortsIn(dir.File("dev"), dir.File("sys")), expected);

    serialports::SetPortTable({"/dev/a", "/dev/b"});
    EXPECT_EQ(serialports::PortPath(0), "");
    EXPECT_EQ(serialports::PortPath(2), "/dev/b");
    EXPECT_EQ(serialports::PortPath(3), "");
}

// A USB adapter as sysfs shows it: the tty's device is the adapter's interface, whose parent is
// the USB device with the ids and strings; an on-board UART has a type and no USB parent.
TEST(PortTable, DescribesUsbAdaptersAndUartsFromSysfs) {
    namespace fs = std::filesystem;
    testsupport::TempDir dir;
    std::string usb = dir.File("devices/usb1/1-2");
    fs::create_directories(usb + "/1-2:1.0/ttyUSB0");
    fs::create_directories(dir.File("drivers/ftdi_sio"));
    fs::create_directory_symlink(dir.File("drivers/ftdi_sio"), usb + "/1-2:1.0/driver");
    for (auto [name, value] : {std::pair{"idVendor", "0403\n"},
                               {"idProduct", "6001\n"},
                               {"manufacturer", "FTDI\n"},
                               {"product", "FT232R USB UART\n"},
                               {"serial", "A50285BI\n"}})
        dir.Write(std::string("devices/usb1/1-2/") + name, std::string(value));
    fs::create_directories(dir.File("class/ttyUSB0"));
    fs::create_directory_symlink(usb + "/1-2:1.0", dir.File("class/ttyUSB0/device"));
    fs::create_directories(dir.File("devices/platform/serial8250/tty/ttyS0"));
    fs::create_directories(dir.File("class/ttyS0"));
    fs::create_directory_symlink(dir.File("devices/platform/serial8250"),
                                 dir.File("class/ttyS0/device"));
    dir.Write("class/ttyS0/type", std::string("4\n"));
    dir.Write("ttyUSB0", std::string());
    dir.Write("ttyS0", std::string());

    plat::SerialPortInfo a = plat::DescribeSerialPortIn(dir.File("ttyUSB0"), dir.File("class"));
    EXPECT_EQ(a.kind, plat::SerialPortInfo::Kind::UsbAdapter);
    EXPECT_EQ(a.usbId, "0403:6001");
    EXPECT_EQ(a.vendor + "|" + a.product + "|" + a.serial, "FTDI|FT232R USB UART|A50285BI");
    EXPECT_EQ(a.driver, "ftdi_sio");
    plat::SerialPortInfo u = plat::DescribeSerialPortIn(dir.File("ttyS0"), dir.File("class"));
    EXPECT_EQ(u.kind, plat::SerialPortInfo::Kind::OnBoardUart);
    Pty pty;
    EXPECT_EQ(plat::DescribeSerialPortIn(pty.slave, dir.File("class")).kind,
              plat::SerialPortInfo::Kind::PseudoTerminal);
}

}  // namespace

// An open the driver holds up: bounded, it fails as slow and goes on by itself, and the next Open
// of the port takes the late port over; a Close from another thread ends an unbounded wait at
// once. The open's own thread is held by the test seam, as a driver would hold it.
TEST(SerialSlowOpen, BoundedOpenGivesUpTheNextTakesTheLatePortOverACloseEndsAWait) {
    Pty pty;
    std::mutex mtx;
    std::condition_variable cv;
    bool release = false;
    int opens = 0;
    serialports::SetOpenSeam([&](const std::string& p) {
        if (p != pty.slave) return;
        std::unique_lock<std::mutex> lock(mtx);
        ++opens;
        cv.wait(lock, [&] { return release; });
    });
    CSerial port;
    port.m_dwOpenBound = 50;
    EXPECT_EQ(port.OpenPath(pty.slave), 0);
    EXPECT_EQ(port.GetLastError(), PortError::Slow);

    // Unbounded now: a Close from another thread ends the wait.
    port.m_dwOpenBound = plat::INFINITE_WAIT;
    std::thread closer([&] {
        std::this_thread::sleep_for(50ms);
        port.Close();
    });
    EXPECT_EQ(port.OpenPath(pty.slave), 0);
    closer.join();
    EXPECT_FALSE(port.IsOpen());

    {
        std::lock_guard<std::mutex> lock(mtx);
        release = true;
    }
    cv.notify_all();
    EXPECT_EQ(port.OpenPath(pty.slave), 1) << port.GetLastErrorText();
    EXPECT_TRUE(port.IsOpen());
    port.Close();
    serialports::SetOpenSeam({});
    std::lock_guard<std::mutex> lock(mtx);
    EXPECT_EQ(opens, 1);  // one open of the device, taken over twice
}
