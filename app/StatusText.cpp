// The status text model: setting, appending and replacing text as a multi-line edit control does.
#include "app/StatusText.h"

#include "core/Utf.h"

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
        m_text += add;
    } else if (mode < 128) {
        int line = LineCount(m_text) - mode;
        size_t start = LineIndex(m_text, line);
        size_t end = std::min(start + 9, m_text.size());
        m_text.replace(start, end - start, add);
    } else {
        m_text = add;
    }
}

std::string CStatusText::GetText() const {
    std::lock_guard<std::mutex> lock(m_mtx);
    return Utf16ToUtf8(m_text);
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
}
