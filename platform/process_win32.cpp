// The process on Windows: DLLs from the system folder only, the UTF-16 command line as UTF-8
// with the Windows path habits, and removing a directory tree.
#include <filesystem>

#include "platform/Process.h"
#include "platform/win32_util.h"

namespace {

// Before any other code of the program: every DLL loaded from here on (the delay-loaded ones of
// cmake/windows-dlls.cmake included) comes from the system folder, never from the program's
// folder or the current one, where a downloaded file could lie.
__attribute__((constructor(101))) void RestrictDllSearch() {
    ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    ::SetDllDirectoryW(L"");
}

bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t';
}

}  // namespace

namespace plat {

std::vector<std::string> SplitCommandLine(const std::wstring& line) {
    std::vector<std::string> out;
    size_t i = 0, n = line.size();
    // The program name: up to the next blank, or quoted, without escapes.
    std::wstring arg;
    bool quoted = false;
    for (; i < n && (quoted || !IsBlank(line[i])); ++i) {
        if (line[i] == L'"') {
            quoted = !quoted;
        } else {
            arg += line[i];
        }
    }
    out.push_back(win::Narrow(arg));
    for (;;) {
        while (i < n && IsBlank(line[i])) ++i;
        if (i >= n) break;
        arg.clear();
        quoted = false;
        while (i < n && (quoted || !IsBlank(line[i]))) {
            if (line[i] == L'\\') {
                size_t slashes = 0;
                while (i < n && line[i] == L'\\') ++slashes, ++i;
                if (i >= n || line[i] != L'"') {
                    arg.append(slashes, L'\\');
                    continue;
                }
                // "C:\path\" as tab completion writes it: one backslash before the closing
                // quote at the end of a quoted argument is the path's, not an escape (no
                // Windows file name holds a quote).
                bool closing = i + 1 >= n || IsBlank(line[i + 1]);
                if (quoted && slashes == 1 && closing) {
                    arg += L'\\';
                    quoted = false;
                    ++i;
                    continue;
                }
                arg.append(slashes / 2, L'\\');
                if (slashes % 2 == 1) {
                    arg += L'"';
                    ++i;
                }
                continue;
            }
            if (line[i] == L'"') {
                // "" inside quotes is a literal quote.
                if (quoted && i + 1 < n && line[i + 1] == L'"') {
                    arg += L'"';
                    i += 2;
                    continue;
                }
                quoted = !quoted;
                ++i;
                continue;
            }
            arg += line[i++];
        }
        out.push_back(win::Narrow(arg));
    }
    return out;
}

std::vector<std::string> Utf8Arguments(int /*argc*/, char** /*argv*/) {
    return SplitCommandLine(::GetCommandLineW());
}

bool RemoveTree(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove_all(std::filesystem::path(win::Wide(path)), ec);
    return !ec;
}

}  // namespace plat
