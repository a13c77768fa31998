// The process on POSIX: the command line as UTF-8, and removing a directory tree.
#include <filesystem>

#include "platform/Process.h"

namespace plat {

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

bool RemoveTree(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
    return !ec;
}

}  // namespace plat
