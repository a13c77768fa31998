// The status text model: setting, appending and replacing text as a multi-line edit control does.
#include "app/StatusText.h"

#include "core/Utf.h"

namespace {

// Where the line `back` lines before the last one starts: after the back-th CR LF from the end,
// or 0 when there are fewer. CR LF pairs cannot overlap, so this is the line the count from the
// start gives, found in the last lines only.
template <class Text>
size_t StartOfLineFromEnd(const Text& text, int back) {
    for (size_t i = text.size(); i >= 2 && back > 0; --i) {
        if (text[i - 2] == '\r' && text[i - 1] == '\n' && --back == 0) return i;
    }
    return 0;
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

void CStatusText::Show(const std::string& utf8, uint8_t mode) {
    std::u16string add = Utf8ToUtf16(utf8);
    std::lock_guard<std::mutex> lock(m_mtx);
    if (mode == 0) {
        // The converter never yields a lone surrogate, so the added part starts no pair with what
        // is there and converts on its own as it would within the whole.
        m_utf8 += Utf16ToUtf8(add);
        m_text += add;
    } else if (mode < 128) {
        size_t start = StartOfLineFromEnd(m_text, mode);
        size_t end = std::min(start + 9, m_text.size());
        m_text.replace(start, end - start, add);
        // Line ends are the same bytes in both forms, and a line start splits no pair: only the
        // last lines are converted again.
        m_utf8.resize(StartOfLineFromEnd(m_utf8, mode));
        m_utf8 += Utf16ToUtf8(m_text.substr(start));
    } else {
        m_text = add;
        m_utf8 = Utf16ToUtf8(m_text);
    }
}

std::string CStatusText::GetText() const {
    std::lock_guard<std::mutex> lock(m_mtx);
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
}
