// What the program asks of its process and of the file system beside files themselves: where the
// executable lies, what a path names, a temporary directory, the arguments as UTF-8.
#pragma once

#include <string>
#include <vector>

namespace plat {

// Directory of the running executable with its trailing separator ("/opt/kalvo/",
// "C:\Kalvo\"); "./" when it cannot be found.
std::string ExecutableDir();

bool IsRegularFile(const std::string& path);
bool IsDirectory(const std::string& path);

// A new empty directory in the system's temporary directory, named prefix plus a unique tail;
// "" on failure.
std::string MakeTempDir(const std::string& prefix);

// Removes path and everything in it; false when something is left.
bool RemoveTree(const std::string& path);

// The command line as UTF-8 (Windows hands main its arguments in the ANSI code page).
std::vector<std::string> Utf8Arguments(int argc, char** argv);

}  // namespace plat
