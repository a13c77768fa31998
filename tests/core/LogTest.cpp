// The diagnostic log: the file's format and when anything is written.
#include <gtest/gtest.h>

#include <string>

#include "core/Log.h"
#include "support/TestMain.h"

namespace {

TEST(Log, WritesUtf16LeOnlyWhenEnabledAndLongLinesWhole) {
    testsupport::TempDir dir;
    std::string path = dir.File("KalvoLog.txt");
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

}  // namespace
