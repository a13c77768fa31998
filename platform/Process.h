// What the program asks of its process beside paths: its command line as UTF-8, and removing a
// directory it made.
#pragma once

#include <string>
#include <vector>

namespace plat {

// The command line as UTF-8 (Windows hands main its arguments in the ANSI code page).
std::vector<std::string> Utf8Arguments(int argc, char** argv);

#ifdef _WIN32
// A Windows command line split as programs do, except that a quoted argument ending in \"
// ends in a backslash ("C:\path\" is C:\path\), as a path from tab completion means.
std::vector<std::string> SplitCommandLine(const std::wstring& line);
#endif

// Removes path and everything in it; false when something is left.
bool RemoveTree(const std::string& path);

}  // namespace plat
