// The log's echo against a standard output that nobody reads (a POSIX pipe).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "core/Log.h"
#include "platform/Console.h"
#include "support/TestMain.h"

namespace {

// Standard output becomes a pipe that nobody reads: the echo writer blocks on it at once.
TEST(Log, AStalledStandardOutputHoldsUpNoCallerAndTheFileGetsEveryLine) {
    plat::IgnoreBrokenPipe();
    testsupport::TempDir dir;
    std::string path = dir.File("KalvoLog.txt");
    g_bLogEnable = 1;
    ASSERT_TRUE(OpenLogFile(path));
    g_bLogEnable = 0;
    std::fflush(stdout);
    int saved = ::dup(STDOUT_FILENO);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::dup2(fds[1], STDOUT_FILENO);
    ::close(fds[1]);

    // Far more than the pipe and the echo queue hold: a caller that waited for the echo would
    // never get through.
    constexpr int kLines = 40000;
    constexpr size_t kLineChars = 74;
    std::atomic<bool> finished{false};
    g_bLogEnable = 1;
    std::thread caller([&] {
        for (int i = 0; i < kLines; ++i)
            WriteLog("[line]%05d %s\r\n", i, std::string(60, 'x').c_str());
        finished.store(true);
    });
    for (int i = 0; i < 6000 && !finished.load(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    bool heldUp = !finished.load();
    // Now read what was echoed: the lines from the first on, and a note for those that did not
    // fit. (Held up, the caller gets a write error once the reader goes.)
    std::string echoed;
    ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    for (int idle = 0, done = 0; !heldUp && idle < 2000;) {
        char buf[65536];
        ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n > 0) {
            echoed.append(buf, static_cast<size_t>(n));
            idle = 0;
        } else if (done != 0) {
            break;
        } else if (FlushLogEcho(0)) {
            done = 1;  // what it wrote before it went idle is still to be read
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            ++idle;
        }
    }
    ::close(fds[0]);
    caller.join();
    g_bLogEnable = 0;
    FlushLogEcho(10000);
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    CloseLogFile();

    ASSERT_FALSE(heldUp) << "WriteLog waited for standard output";
    EXPECT_EQ(echoed.rfind("[line]00000 ", 0), 0u);
    EXPECT_NE(echoed.find("lines not echoed: standard output did not keep up\r\n"),
              std::string::npos);
    auto bytes = testsupport::ReadFile(path);
    ASSERT_EQ(bytes.size(), kLines * 2 * kLineChars);
    std::string text;
    for (size_t i = 0; i < bytes.size(); i += 2) text += static_cast<char>(bytes[i]);
    for (int i = 0; i < kLines; i += 997) {
        char want[16];
        std::snprintf(want, sizeof want, "[line]%05d ", i);
        EXPECT_EQ(text.substr(static_cast<size_t>(i) * kLineChars, 12), want);
    }
}

}  // namespace
