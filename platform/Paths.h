// The file system as the program needs it: the executable's directory (where the payloads lie),
// whether a path is a file or a directory, a private temporary directory, and the one name of a
// file reached under several (what GetModuleFileName, GetFileAttributes and GetTempPath gave).
// Paths are UTF-8 strings; '/' separates their parts on every platform.
#pragma once

#include <string>

namespace plat {

// Directory of the running executable, without a trailing separator ("/opt/kalvo"); "." when it
// cannot be found.
std::string ExecutableDir();

// True when path names an existing regular file (links followed).
bool IsRegularFile(const std::string& path);
// True when path names an existing directory (links followed).
bool IsDirectory(const std::string& path);

// Creates a new directory, open to this user only, in the system's temporary directory, its name
// prefix followed by random characters. Its path, or "" when it cannot be made.
std::string MakeTempDir(const std::string& prefix);

// The path with links and relative parts resolved, so that one file named two ways gives one
// result. False with the platform's error number in *err (classify it with the functions of
// platform/SerialDevice.h) when the path does not resolve.
bool CanonicalPath(const std::string& path, std::string* out, int* err);

// Renames from to to, replacing what is named to; a link is moved as the link, not followed.
// 1: moved; 0: nothing is named from; -1: failed, with the system's wording in *error.
int MoveReplacing(const std::string& from, const std::string& to, std::string* error);

}  // namespace plat
