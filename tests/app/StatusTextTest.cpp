// The pane's status text model: edit-control modes, UTF-16 counts, its UTF-8 form kept along.
#include <gtest/gtest.h>

#include "app/StatusText.h"
#include "core/Utf.h"

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

// The UTF-8 form is kept along with the text; after every kind of change it must be what
// converting the whole text gives, a pair split by a replacement included.
TEST(StatusText, TheUtf8FormFollowsEveryChange) {
    const std::pair<const char*, uint8_t> steps[] = {
        {"x\r\n\U0001F600\U0001F600\U0001F600\U0001F600\U0001F600", 128},
        {"\r\nmore", 0},
        {"Z", 2},  // nine units into the emojis: a lone low surrogate stays
        {"\xED\xA0\x80 bad", 0},
        {"\r\n已下载:1 % ", 0},
        {"已下载:99 % ", 1},
        {"\r\r\nb\r\n", 0},
        {"Q", 2},
        {"R", 9},  // more lines back than there are: the first line
        {"\r\n", 0},
        {"", 128},
        {"tail", 0},
    };
    CStatusText t;
    for (const auto& [text, mode] : steps) {
        t.Show(text, mode);
        EXPECT_EQ(t.GetText(), Utf16ToUtf8(t.GetText16())) << text;
        t.Show("+", 0);
        EXPECT_EQ(t.GetText(), Utf16ToUtf8(t.GetText16())) << text;
    }
    t.Show("aaaaaaaaaaaa\r\r\nbbbbbbbbbbbb\r\nc", 128);
    t.Show("Q", 2);
    t.Show("R", 7);
    EXPECT_EQ(t.GetText(), "Raaa\r\r\nQbbb\r\nc");
    t.Clear();
    t.Show("a", 0);
    EXPECT_EQ(t.GetText(), "a");
}

}  // namespace
