// The diagnostic log: printf-style lines echoed to standard output and appended to the log file
// in UTF-16LE without a byte-order mark. Off unless switched on. The echo is written by a thread
// of its own, so that a standard output nobody reads holds up no caller.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

// The printf flavour formats are checked against: the Windows build uses mingw's own printf.
#ifndef KALVO_PRINTF
#define KALVO_PRINTF printf
#endif

extern std::atomic<int32_t> g_bLogEnable;

// Formats like printf (UTF-8 format string, %s takes a UTF-8 string). Lines of any length are
// written whole.
void WriteLog(const char* format, ...) __attribute__((format(KALVO_PRINTF, 1, 2)));

// Opens the log file ("KalvoLog.txt" in the current directory, by the page), only while logging
// is on: nothing is created or emptied otherwise. The log of the run before is kept as the old
// generation ("KalvoLog.1.txt"); a link under the log's name is moved away, never written through.
// False when logging is off or the file cannot be made; that is said once (below).
bool OpenLogFile(const std::string& path);
// "KalvoLog.txt" -> "KalvoLog.1.txt".
std::string OldLogPath(const std::string& path);
// Told, once per opening, that the log file cannot be made or written: its path and the system's
// reason. The run goes on without the file. The problem is also written to standard error. owner
// identifies the handler for clearing (each page sets its own before it opens the log).
using LogProblemHandler = std::function<void(const std::string& path, const std::string& reason)>;
void SetLogProblemHandler(const void* owner, LogProblemHandler handler);
// Clears the handler if owner set it; no call of it runs any more once this has returned.
void ClearLogProblemHandler(const void* owner);
// Closes the log file after giving the echo up to a second to be written.
void CloseLogFile();
// Waits up to ms for the queued echo to be written. False when it still waits on standard output.
bool FlushLogEcho(uint32_t ms);
