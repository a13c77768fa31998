// Shared by the Windows files of platform/ only: windows.h without the macros that clash with the
// program's names, and UTF-8 <-> UTF-16 for the wide calls.
#pragma once

#include <windows.h>

#include <cwctype>
#include <string>

namespace plat::win {

inline std::wstring Wide(const std::string& s) {
    if (s.empty()) return std::wstring();
    int n = ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

inline std::string Narrow(const wchar_t* w, size_t len) {
    if (len == 0) return std::string();
    int n =
        ::WideCharToMultiByte(CP_UTF8, 0, w, static_cast<int>(len), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, w, static_cast<int>(len), s.data(), n, nullptr, nullptr);
    return s;
}

inline std::string Narrow(const std::wstring& w) {
    return Narrow(w.data(), w.size());
}

// The system's text for a Windows error code, without its line break.
inline std::string ErrorText(DWORD code) {
    wchar_t* buf = nullptr;
    DWORD n = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buf), 0, nullptr);
    std::string text = n > 0 ? Narrow(buf, n) : "error " + std::to_string(code);
    if (buf != nullptr) ::LocalFree(buf);
    while (!text.empty() &&
           (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    return text;
}

inline std::wstring Upper(std::wstring s) {
    for (auto& c : s) c = static_cast<wchar_t>(std::towupper(c));
    return s;
}

// "COM12" (any case) -> 12, anything else -> 0.
inline unsigned ComNumber(const std::wstring& name) {
    std::wstring u = Upper(name);
    if (u.size() < 4 || u.compare(0, 3, L"COM") != 0) return 0;
    unsigned n = 0;
    for (size_t i = 3; i < u.size(); ++i) {
        if (u[i] < L'0' || u[i] > L'9' || n > 100000) return 0;
        n = n * 10 + static_cast<unsigned>(u[i] - L'0');
    }
    return n;
}

// The device name of a port: "COM3", "com3" and "\\.\COM3" all name \\.\COM3.
inline std::wstring DeviceName(const std::string& path) {
    std::wstring w = Wide(path);
    if (w.compare(0, 4, L"\\\\.\\") == 0) w = w.substr(4);
    if (ComNumber(w) != 0) w = Upper(w);
    return L"\\\\.\\" + w;
}

}  // namespace plat::win
