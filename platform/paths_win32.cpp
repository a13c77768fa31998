// Paths on Windows: GetModuleFileNameW, GetFileAttributesW, GetTempPathW, GetFullPathNameW,
// MoveFileExW; the UTF-8 paths of the program become UTF-16 for every call.
#include <cwctype>
#include <vector>

#include "platform/Paths.h"
#include "platform/win32_util.h"

namespace plat {

std::string ExecutableDir() {
    // Long paths exceed MAX_PATH: grow until the name fits.
    std::vector<wchar_t> buf(MAX_PATH);
    for (;;) {
        DWORD n = ::GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0) return ".";
        if (n < buf.size()) {
            std::wstring path(buf.data(), n);
            size_t slash = path.find_last_of(L"\\/");
            if (slash == std::wstring::npos) return ".";
            return win::Narrow(path.substr(0, slash));
        }
        if (buf.size() >= 32768) return ".";
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
    // The user's own temporary directory is private to the user already. Names are unique by
    // process, time and attempt; CreateDirectoryW fails on one that exists.
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        wchar_t tail[48];
        ::swprintf(tail, 48, L"%lx%llx%02x", ::GetCurrentProcessId(), ::GetTickCount64(), attempt);
        std::wstring path = dir + wprefix + tail;
        if (::CreateDirectoryW(path.c_str(), nullptr)) return win::Narrow(path);
        if (::GetLastError() != ERROR_ALREADY_EXISTS) return "";
    }
    return "";
}

bool CanonicalPath(const std::string& path, std::string* out, int* err) {
    std::wstring w = win::Wide(path);
    if (w.empty()) {
        *err = static_cast<int>(ERROR_FILE_NOT_FOUND);
        return false;
    }
    // COM3, com3 and \\.\COM3 are one device.
    std::wstring bare = w.compare(0, 4, L"\\\\.\\") == 0 ? w.substr(4) : w;
    if (win::ComNumber(bare) != 0) {
        *out = win::Narrow(win::DeviceName(path));
        *err = 0;
        return true;
    }
    // Names with a colon past a drive letter are no files: ports the program serves itself
    // (PortProvider.h) go by such names.
    if (bare.find(L':') != std::wstring::npos && bare.size() > 2 && bare[1] != L':') {
        *out = path;
        *err = 0;
        return true;
    }
    std::vector<wchar_t> buf(MAX_PATH);
    for (;;) {
        DWORD n =
            ::GetFullPathNameW(w.c_str(), static_cast<DWORD>(buf.size()), buf.data(), nullptr);
        if (n == 0) {
            *err = static_cast<int>(::GetLastError());
            return false;
        }
        if (n < buf.size()) {
            std::wstring full(buf.data(), n);
            // Windows file names ignore case.
            for (auto& c : full) c = static_cast<wchar_t>(std::towupper(c));
            *out = win::Narrow(full);
            *err = 0;
            return true;
        }
        buf.resize(n + 1);
    }
}

int MoveReplacing(const std::string& from, const std::string& to, std::string* error) {
    std::wstring wfrom = win::Wide(from);
    if (::MoveFileExW(wfrom.c_str(), win::Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING)) return 1;
    DWORD err = ::GetLastError();
    // A link is moved as itself: its own attributes tell whether it is there.
    if ((err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) &&
        ::GetFileAttributesW(wfrom.c_str()) == INVALID_FILE_ATTRIBUTES)
        return 0;
    if (error != nullptr) *error = win::ErrorText(err);
    return -1;
}

}  // namespace plat
