// The terminal and the display: what the program asks before it chooses between its window and
// its terminal face, and how the terminal face draws its progress line.
#pragma once

#include <cstddef>

namespace plat {

// First thing in main: on Windows the window program, started from a console, writes into that
// console, and text for a console goes through the wide console API. Nothing on Linux.
void PrepareConsole();

// True when standard output is a terminal that shows UTF-8 and takes "\r" and "\033[K" to redraw
// a line (a Windows console is switched to UTF-8 and to these sequences here).
bool StdoutIsTerminal();

// True when a window can be shown (on Linux: a display is named in the environment, or Qt is given
// a platform plugin through QT_QPA_PLATFORM).
bool HaveDisplay();

// Makes a write to a pipe whose reader has gone fail with an error instead of ending the process
// (SIGPIPE on Linux; Windows has no such signal).
void IgnoreBrokenPipe();

// Writes to standard output directly, past the C library's buffer and its lock. False when not
// every byte could be written (the reader went away, or there is no standard output).
bool WriteStdout(const char* data, size_t size);

}  // namespace plat
