// Paths on Linux: /proc/self/exe, stat, mkdtemp, realpath, rename.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "platform/Paths.h"

namespace plat {

std::string ExecutableDir() {
    std::vector<char> buf(4096);
    ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n <= 0) return ".";
    std::string path(buf.data(), static_cast<size_t>(n));
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool IsRegularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string MakeTempDir(const std::string& prefix) {
    std::error_code ec;
    std::filesystem::path base = std::filesystem::temp_directory_path(ec);
    if (ec) return "";
    std::string tmpl = (base / (prefix + "XXXXXX")).string();
    if (::mkdtemp(tmpl.data()) == nullptr) return "";
    return tmpl;
}

bool CanonicalPath(const std::string& path, std::string* out, int* err) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (real == nullptr) {
        *err = errno;
        return false;
    }
    *out = real;
    ::free(real);
    *err = 0;
    return true;
}

int MoveReplacing(const std::string& from, const std::string& to, std::string* error) {
    if (std::rename(from.c_str(), to.c_str()) == 0) return 1;
    if (errno == ENOENT) {
        // Only a missing source is "nothing to move"; a missing directory of to is a failure.
        struct stat st {};
        if (::lstat(from.c_str(), &st) != 0 && errno == ENOENT) return 0;
    }
    if (error != nullptr) *error = std::strerror(errno);
    return -1;
}

}  // namespace plat
