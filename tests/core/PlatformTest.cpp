// The file and path services of platform/ with names beyond ASCII (UTF-16 on Windows) and bytes
// that a text mode would change.
#include <gtest/gtest.h>

#include "platform/File.h"
#include "platform/Paths.h"
#include "support/TestMain.h"

namespace {

TEST(Platform, FilesWithNonAsciiNamesKeepEveryByte) {
    testsupport::TempDir dir;
    const std::string path = dir.Path() + "/прошивка-固件.bin";
    const std::vector<uint8_t> bytes = {0x0D, 0x0A, 0x1A, 0x00, 0xFF, 0x0A, 0x0D};
    {
        plat::CFile out;
        ASSERT_TRUE(out.Open(path, plat::CFile::modeCreate | plat::CFile::modeWrite));
        ASSERT_TRUE(out.Write(bytes.data(), uint32_t(bytes.size())));
    }
    plat::CFile in;
    ASSERT_TRUE(in.Open(path, plat::CFile::modeRead)) << in.LastError();
    EXPECT_EQ(in.GetLength(), bytes.size());
    std::vector<uint8_t> got(16);
    got.resize(in.Read(got.data(), uint32_t(got.size())));
    EXPECT_EQ(got, bytes);

    EXPECT_TRUE(plat::IsRegularFile(path));
    EXPECT_FALSE(plat::IsDirectory(path));
    EXPECT_TRUE(plat::IsDirectory(dir.Path()));
    EXPECT_FALSE(plat::IsRegularFile(dir.Path()));
    EXPECT_FALSE(plat::IsRegularFile(dir.Path() + "/missing"));
    plat::CFile none;
    EXPECT_FALSE(none.Open(dir.Path() + "/missing", plat::CFile::modeRead));
    EXPECT_FALSE(none.LastError().empty());
}

TEST(Platform, ExecutableDirHoldsTheTestProgram) {
    std::string dir = plat::ExecutableDir();
    ASSERT_TRUE(plat::IsDirectory(dir)) << dir;
    EXPECT_NE(dir.back(), '/');
    EXPECT_NE(dir.back(), '\\');
    EXPECT_TRUE(plat::IsRegularFile(dir + "/test_core") ||
                plat::IsRegularFile(dir + "/test_core.exe"));
}

}  // namespace
