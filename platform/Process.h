// What the program asks of its process beside paths: its command line as UTF-8, and removing a
// directory it made.
#pragma once

#include <string>
#include <vector>

namespace plat {

// The command line as UTF-8 (Windows hands main its arguments in the ANSI code page).
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// Removes path and everything in it; false when something is left.
bool RemoveTree(const std::string& path);

}  // namespace plat
