// windows.h for the native window, without the macros that clash with the program's names, and
// the window's text conversions (UTF-8 sources through the core's conversion).
#pragma once

#include <windows.h>
// After windows.h, whose types they use.
#include <commctrl.h>

#undef MessageBox

#include <string>

#include "core/Utf.h"

namespace win32ui {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "the window's wide strings are UTF-16");

inline std::wstring Wide(const std::string& utf8) {
    std::u16string text = Utf8ToUtf16(utf8);
    return std::wstring(text.begin(), text.end());
}

inline std::string Utf8(const std::wstring& text) {
    return Utf16ToUtf8(std::u16string(text.begin(), text.end()));
}

// The module the resources are in.
inline HINSTANCE Instance() {
    return ::GetModuleHandleW(nullptr);
}

}  // namespace win32ui
