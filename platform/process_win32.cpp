// The process on Windows: the UTF-16 command line as UTF-8, and removing a directory tree.
#include "platform/win32_util.h"
// After windows.h, whose types it uses.
#include <shellapi.h>

#include <filesystem>

#include "platform/Process.h"

namespace plat {

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

bool RemoveTree(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove_all(std::filesystem::path(win::Wide(path)), ec);
    return !ec;
}

}  // namespace plat
