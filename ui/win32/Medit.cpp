// The native status pane: the text it shows and the mouse presses it ignores.
#include "ui/win32/Medit.h"

#include <algorithm>
#include <vector>

namespace {

std::wstring WindowText(HWND hwnd) {
    int len = ::GetWindowTextLengthW(hwnd);
    if (len <= 0) return std::wstring();
    std::vector<wchar_t> buf(static_cast<size_t>(len) + 1);
    int got = ::GetWindowTextW(hwnd, buf.data(), len + 1);
    return std::wstring(buf.data(), static_cast<size_t>(std::max(got, 0)));
}

}  // namespace

void CMedit::Subclass(HWND edit) {
    // Status texts pile up over long sessions: no length limit.
    ::SendMessageW(edit, EM_SETLIMITTEXT, 0, 0);
    ::SetWindowSubclass(edit, &CMedit::Proc, 1, 0);
}

LRESULT CALLBACK CMedit::Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                              DWORD_PTR /*data*/) {
    switch (msg) {
        case WM_LBUTTONDOWN:
        case WM_LBUTTONDBLCLK:  // would select a word
            return 0;
        case WM_NCDESTROY:
            ::RemoveWindowSubclass(hwnd, &CMedit::Proc, id);
            break;
        default:
            break;
    }
    return ::DefSubclassProc(hwnd, msg, wParam, lParam);
}

std::wstring CMedit::ToDisplay(const std::string& utf8) {
    std::wstring text = win32ui::Wide(utf8);
    std::wstring out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        wchar_t c = text[i];
        if (c == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') {
            out += L"\r\n";
            ++i;
        } else if (c != L'\r' && c != L'\n') {
            out += c;
        }
    }
    return out;
}

void CMedit::SetStatusText(HWND edit, const std::string& utf8) {
    std::wstring shown = WindowText(edit);
    std::wstring text = ToDisplay(utf8);
    if (text == shown) return;
    size_t prefix = 0;
    size_t common = std::min(shown.size(), text.size());
    while (prefix < common && shown[prefix] == text[prefix]) ++prefix;
    size_t suffix = 0;
    while (suffix < common - prefix &&
           shown[shown.size() - 1 - suffix] == text[text.size() - 1 - suffix])
        ++suffix;
    // The whole text, as the page writes it: replacing a selection instead would be refused
    // once the text has more lines than the pane shows (it does not scroll by itself).
    ::SetWindowTextW(edit, text.c_str());
    if (prefix == 0) return;
    auto end = static_cast<WPARAM>(text.size() - suffix);
    ::SendMessageW(edit, EM_SETSEL, end, static_cast<LPARAM>(end));
    ::SendMessageW(edit, EM_SCROLLCARET, 0, 0);
}
