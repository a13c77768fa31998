#include "platform/win32_util.h"
// After windows.h, whose types it uses.
#include <shellapi.h>

#include <filesystem>
#include <vector>

#include "platform/Process.h"

namespace plat {

std::string ExecutableDir() {
    // Long paths exceed MAX_PATH: grow until the name fits.
    std::vector<wchar_t> buf(MAX_PATH);
    for (;;) {
        DWORD n = ::GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0) return "./";
        if (n < buf.size()) {
            std::wstring path(buf.data(), n);
            size_t slash = path.find_last_of(L"\\/");
            if (slash == std::wstring::npos) return "./";
            return win::Narrow(path.substr(0, slash + 1));
        }
        if (buf.size() >= 32768) return "./";
        buf.resize(buf.size() * 2);
    }
}

bool IsRegularFile(const std::string& path) {
    DWORD a = ::GetFileAttributesW(win::Wide(path).c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool IsDirectory(const std::string& path) {
    DWORD a = ::GetFileAttributesW(win::Wide(path).c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::string MakeTempDir(const std::string& prefix) {
    wchar_t base[MAX_PATH + 2];
    DWORD n = ::GetTempPathW(MAX_PATH + 1, base);
    if (n == 0 || n > MAX_PATH) return "";
    std::wstring dir(base, n);
    std::wstring wprefix = win::Wide(prefix);
    // Unique by process, tick and attempt; CreateDirectory fails on a name that exists.
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        wchar_t tail[40];
        ::swprintf(tail, 40, L"%lu-%llu-%u", ::GetCurrentProcessId(), ::GetTickCount64(), attempt);
        std::wstring path = dir + wprefix + tail;
        if (::CreateDirectoryW(path.c_str(), nullptr)) return win::Narrow(path);
        if (::GetLastError() != ERROR_ALREADY_EXISTS) return "";
    }
    return "";
}

bool RemoveTree(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove_all(std::filesystem::path(win::Wide(path)), ec);
    return !ec;
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
    int n = 0;
    wchar_t** wargv = ::CommandLineToArgvW(::GetCommandLineW(), &n);
    if (wargv == nullptr || n != argc) {
        if (wargv != nullptr) ::LocalFree(wargv);
        return std::vector<std::string>(argv, argv + argc);
    }
    std::vector<std::string> out;
    for (int i = 0; i < n; ++i) out.push_back(win::Narrow(std::wstring(wargv[i])));
    ::LocalFree(wargv);
    return out;
}

}  // namespace plat
