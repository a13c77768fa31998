#include <gtest/gtest.h>

#include "app/StatusText.h"

namespace {

TEST(StatusText, ModesLikeAMultiLineEditControl) {
    struct Step {
        const char* text;
        uint8_t mode;
        const char* expect;
    } steps[] = {
        {"Разбор ...\r\n", 128, "Разбор ...\r\n"},
        // The last line is empty: mode 1 writes at the end.
        {"已校验:1 % ", 1, "Разбор ...\r\n已校验:1 % "},
        // Nine characters of the last line are replaced: the old percentage goes.
        {"已校验:10 % ", 1, "Разбор ...\r\n已校验:10 % "},
        {"\r\nA", 0, "Разбор ...\r\n已校验:10 % \r\nA"},
        // Mode 2: the line before the last.
        {"已读出:5 % ", 2, "Разбор ...\r\n已读出:5 % \r\nA"},
        {"x\ny", 128, "x\ny"},
    };
    CStatusText t;
    for (const Step& s : steps) {
        t.Show(s.text, s.mode);
        EXPECT_EQ(t.GetText(), s.expect) << s.text;
    }
    // A lone LF does not end a line.
    EXPECT_EQ(t.GetLineCount(), 1);
}

TEST(StatusText, LongTextsAndCharactersCountedAsUtf16Units) {
    CStatusText t;
    std::string longLine(300, 'a');
    t.Show("head\r\n" + longLine, 128);
    t.Show("BBBBBBBBBBBB", 1);
    EXPECT_EQ(t.GetText(), "head\r\nBBBBBBBBBBBB" + std::string(291, 'a'));
    // A character outside the basic plane is two units: nine units end inside the third emoji.
    t.Show("x\r\n\U0001F600\U0001F600\U0001F600\U0001F600\U0001F600", 128);
    t.Show("Z", 1);
    std::u16string w = t.GetText16();
    EXPECT_EQ(w.size(), 3u + 1u + 1u);
    EXPECT_EQ(w[3], u'Z');
}

}  // namespace
