// The status pane's text, kept the way a multi-line edit control keeps it: lines end at CR LF
// (a lone LF is an ordinary character), positions count UTF-16 units. The views only display it.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

class CStatusText {
public:
    // mode 0 appends; 1..127 replaces up to 9 characters at the start of the line `mode` lines
    // from the end; 128..255 replaces everything.
    void Show(const std::string& utf8, uint8_t mode);

    std::string GetText() const;  // UTF-8
    std::u16string GetText16() const;
    int GetLineCount() const;
    void Clear();

private:
    static int LineCount(const std::u16string& text);

    mutable std::mutex m_mtx;
    std::u16string m_text;
    // The UTF-8 form the views get after every change, kept along as the text changes: converting
    // the whole text for each appended line made a long run quadratic.
    std::string m_utf8;
};
