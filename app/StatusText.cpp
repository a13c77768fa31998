// The status text model: setting, appending and replacing text as a multi-line edit control does.
#include "app/StatusText.h"

#include "core/Utf.h"

namespace {

bool IsHighSurrogate(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLowSurrogate(char16_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

}  // namespace

int CStatusText::LineCount(const std::u16string& text) {
    int n = 1;
    for (size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] == u'\r' && text[i + 1] == u'\n') {
            ++n;
            ++i;
        }
    }
    return n;
}

size_t CStatusText::LineIndex(const std::u16string& text, int line) {
    if (line <= 0) return 0;
    int seen = 0;
    for (size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] == u'\r' && text[i + 1] == u'\n') {
            if (++seen == line) return i + 2;
            ++i;
        }
    }
    return text.size();
}

void CStatusText::Show(const std::string& utf8, uint8_t mode) {
    std::u16string add = Utf8ToUtf16(utf8);
    std::lock_guard<std::mutex> lock(m_mtx);
    if (mode == 0) {
        // A surrogate pair that the join would complete converts differently as a whole.
        bool joins = !m_text.empty() && !add.empty() && IsHighSurrogate(m_text.back()) &&
                     IsLowSurrogate(add.front());
        if (!m_bUtf8Stale && !joins) m_utf8 += Utf16ToUtf8(add);
        m_bUtf8Stale = m_bUtf8Stale || joins;
        m_text += add;
    } else if (mode < 128) {
        int line = LineCount(m_text) - mode;
        size_t start = LineIndex(m_text, line);
        size_t end = std::min(start + 9, m_text.size());
        m_text.replace(start, end - start, add);
        m_bUtf8Stale = true;
    } else {
        m_text = add;
        m_utf8 = Utf16ToUtf8(m_text);
        m_bUtf8Stale = false;
    }
}

std::string CStatusText::GetText() const {
    std::lock_guard<std::mutex> lock(m_mtx);
    if (m_bUtf8Stale) {
        m_utf8 = Utf16ToUtf8(m_text);
        m_bUtf8Stale = false;
    }
    return m_utf8;
}

std::u16string CStatusText::GetText16() const {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_text;
}

int CStatusText::GetLineCount() const {
    std::lock_guard<std::mutex> lock(m_mtx);
    return LineCount(m_text);
}

void CStatusText::Clear() {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_text.clear();
    m_utf8.clear();
    m_bUtf8Stale = false;
}
