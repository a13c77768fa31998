// The diagnostic log: printf-style lines echoed to standard output and appended to the log file
// in UTF-16LE without a byte-order mark. Off unless switched on. The echo is written by a thread
// of its own, so that a standard output nobody reads holds up no caller.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

// The printf flavour formats are checked against: the Windows build uses mingw's own printf.
#ifndef KALVO_PRINTF
#define KALVO_PRINTF printf
#endif

extern std::atomic<int32_t> g_bLogEnable;

// Formats like printf (UTF-8 format string, %s takes a UTF-8 string). Lines of any length are
// written whole.
void WriteLog(const char* format, ...) __attribute__((format(KALVO_PRINTF, 1, 2)));

// Opens the log file, created afresh ("KalvoLog.txt" in the current directory by the page).
bool OpenLogFile(const std::string& path);
// Closes the log file after giving the echo up to a second to be written.
void CloseLogFile();
// Waits up to ms for the queued echo to be written. False when it still waits on standard output.
bool FlushLogEcho(uint32_t ms);
