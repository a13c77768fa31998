// The diagnostic log: the file's format, when anything is written, and what becomes of the files
// already there.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/Log.h"
#include "support/TestMain.h"

namespace {

TEST(Log, WritesUtf16LeOnlyWhenEnabledAndLongLinesWhole) {
    testsupport::TempDir dir;
    std::string path = dir.File("KalvoLog.txt");
    g_bLogEnable = 1;
    ASSERT_TRUE(OpenLogFile(path));
    g_bLogEnable = 0;
    WriteLog("[Elapsed]%d\r\n", 15);
    EXPECT_TRUE(testsupport::ReadFile(path).empty());

    g_bLogEnable = 1;
    testing::internal::CaptureStdout();
    WriteLog("[Elapsed]%d\r\n", 15);
    WriteLog("Готово%s", std::string(3000, 'x').c_str());
    FlushLogEcho(10000);
    EXPECT_EQ(testing::internal::GetCapturedStdout().substr(0, 13), "[Elapsed]15\r\n");
    g_bLogEnable = 0;
    CloseLogFile();
    auto bytes = testsupport::ReadFile(path);
    ASSERT_EQ(bytes.size(), 26u + 2 * (6 + 3000));
    EXPECT_EQ(bytes[0], '[');
    EXPECT_EQ(bytes[1], 0);
    EXPECT_EQ(bytes[24], '\n');
    EXPECT_EQ(bytes[26], 0x13);  // 'Г' is U+0413
    EXPECT_EQ(bytes[27], 0x04);
}

// Logging off touches no file; on, the log of the run before becomes the one old generation, and
// a link under the log's name is moved aside, not written through.
TEST(Log, TheFileIsMadeOnlyWithLoggingOnAndThePreviousLogIsKept) {
    testsupport::TempDir dir;
    const std::string path = dir.File("KalvoLog.txt"), old = dir.File("KalvoLog.1.txt");
    EXPECT_EQ(OldLogPath(path), old);
    EXPECT_EQ(OldLogPath("logs.d/KalvoLog"), "logs.d/KalvoLog.1");
    const std::vector<uint8_t> captured = {'c', 0, 'a', 0, 'p', 0};
    dir.Write("KalvoLog.txt", captured);
    g_bLogEnable = 0;
    EXPECT_FALSE(OpenLogFile(path));
    EXPECT_EQ(testsupport::ReadFile(path), captured);
    EXPECT_FALSE(std::filesystem::exists(old));
    EXPECT_FALSE(OpenLogFile(dir.File("elsewhere.txt")));
    EXPECT_FALSE(std::filesystem::exists(dir.File("elsewhere.txt")));

    g_bLogEnable = 1;
    testing::internal::CaptureStdout();
    for (int run = 0; run < 2; ++run) {
        ASSERT_TRUE(OpenLogFile(path));
        WriteLog("run %d\r\n", run);
        FlushLogEcho(10000);
    }
    CloseLogFile();
    EXPECT_EQ(testsupport::ReadFile(path).size(), 14u);
    EXPECT_EQ(testsupport::ReadFile(old).size(), 14u);  // the first run's, not the capture

#ifndef _WIN32
    const std::string target = dir.File("target.txt");
    dir.Write("target.txt", captured);
    std::filesystem::remove(path);
    std::filesystem::create_symlink(target, path);
    ASSERT_TRUE(OpenLogFile(path));
    WriteLog("through?\r\n");
    FlushLogEcho(10000);
    CloseLogFile();
    EXPECT_EQ(testsupport::ReadFile(target), captured);
    EXPECT_FALSE(std::filesystem::is_symlink(path));
    EXPECT_TRUE(std::filesystem::is_symlink(old));
#endif
    g_bLogEnable = 0;
    testing::internal::GetCapturedStdout();
}

// A log that cannot be made is said once an opening, on standard error and to the handler (the
// window's line); the caller goes on.
TEST(Log, ALogThatCannotBeWrittenIsSaidOnce) {
    testsupport::TempDir dir;
    dir.Write("file", std::vector<uint8_t>{1});
    const std::string path = dir.File("file") + "/KalvoLog.txt";  // a file is no directory
    std::vector<std::string> told;
    int owner = 0;
    SetLogProblemHandler(&owner, [&](const std::string& p, const std::string& reason) {
        told.push_back(p + " | " + reason);
    });
    g_bLogEnable = 1;
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    EXPECT_FALSE(OpenLogFile(path));
    WriteLog("lost\r\n");
    FlushLogEcho(10000);
    testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0].rfind(path + " | ", 0), 0u) << told[0];
    EXPECT_NE(err.find("the log file " + path + " cannot be written"), std::string::npos) << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << err;

    ClearLogProblemHandler(nullptr);  // not the owner: stays
    testing::internal::CaptureStderr();
    EXPECT_FALSE(OpenLogFile(path));  // said again for the new opening
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(told.size(), 2u);
    ClearLogProblemHandler(&owner);
    FlushLogEcho(10000);
    CloseLogFile();
    g_bLogEnable = 0;
}

}  // namespace
