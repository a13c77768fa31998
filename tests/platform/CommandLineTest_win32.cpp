// The Windows path habits: how a command line is split, and the port names users type.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/PortName.h"
#include "platform/Process.h"

using Args = std::vector<std::string>;

TEST(CommandLine, SplitsAsWindowsProgramsDoButKeepsTheBackslashOfAQuotedPath) {
    struct Case {
        const wchar_t* line;
        Args want;
    } cases[] = {
        // Tab completion writes a folder with a trailing backslash inside the quotes.
        {LR"("C:\Program Files\k.exe" --payload-dir "C:\My files\" --log)",
         {R"(C:\Program Files\k.exe)", "--payload-dir", R"(C:\My files\)", "--log"}},
        {LR"(k.exe --payload-dir "D:\")", {"k.exe", "--payload-dir", R"(D:\)"}},
        {LR"(k.exe --payload-dir "C:\a\\")", {"k.exe", "--payload-dir", R"(C:\a\)"}},
        // The usual rules otherwise: escaped quotes, backslashes before a quote, "" inside quotes.
        {LR"(k.exe a\"b "c \"d\"e" \\\"x "" "a""b")",
         {"k.exe", R"(a"b)", R"(c "d"e)", R"(\"x)", "", R"(a"b)"}},
        {LR"(k.exe C:\dir\ plain	tab)", {"k.exe", R"(C:\dir\)", "plain", "tab"}},
        {L"k.exe --payload-dir \"C:\\Папка 固件\\\"",
         {"k.exe", "--payload-dir", "C:\\Папка 固件\\"}},
    };
    for (const Case& c : cases) EXPECT_EQ(plat::SplitCommandLine(c.line), c.want);
}

TEST(CommandLine, PortNamesWithTheDosColonAreTheComPort) {
    EXPECT_EQ(plat::CanonicalPortName("COM3:"), "COM3");
    EXPECT_EQ(plat::CanonicalPortName("com12"), "COM12");
    EXPECT_EQ(plat::CanonicalPortName("COM12"), "COM12");
    EXPECT_EQ(plat::CanonicalPortName("loop:sim"), "loop:sim");
    EXPECT_EQ(plat::CanonicalPortName("COMX:"), "COMX:");
}
