// The serial device, one open port at a time, as the port object needs it (what CreateFile,
// SetCommState, PurgeComm, ReadFile and WriteFile gave): exclusive open, raw 8N1 at any baud
// rate, modem lines, waits for data that a close from another thread ends at once, and reads and
// writes that never block.
//
// Errors are the platform's own error numbers (errno, GetLastError); the functions at the end
// tell the port object what they mean.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace plat {

// An open device: the file descriptor on POSIX, an entry of serial_win32.cpp's table of ports on
// Windows.
using SerialHandle = intptr_t;
constexpr SerialHandle INVALID_SERIAL = -1;

// Opens a serial device for exclusive use, non-blocking. INVALID_SERIAL with *err set on failure
// (busy when another process holds the device).
SerialHandle SerialOpen(const std::string& path, int* err);
// No wait on h may be in progress.
void SerialClose(SerialHandle h);
// Ends every wait on h (SerialWaitRead, SerialWaitWrite) in progress and every later one, with
// woken set: how a close from another thread reaches a reader without waiting for its time-out.
void SerialWakeWaiters(SerialHandle h);

// Raw 8N1 without flow control, reads that return at once, at any baud rate. On failure (*err
// set) the line keeps its previous settings.
bool SerialConfigure(SerialHandle h, uint32_t baud, int* err);
// False when the device has no modem lines (pseudo-terminals).
bool SerialSetModemLines(SerialHandle h, bool rts, bool dtr);
// Asks a USB adapter to hand over bytes at once instead of batching them; false when unsupported.
// SerialClose puts the adapter's setting back as it was.
bool SerialSetLowLatency(SerialHandle h);
// The rate the driver says the line runs at, 0 when it cannot tell. Some drivers take a rate they
// cannot make and quietly run at another.
uint32_t SerialActualBaud(SerialHandle h);
// Discards what is buffered both ways.
bool SerialPurge(SerialHandle h);

struct SerialWaitState {
    bool ready = false;   // the wanted direction can make progress
    bool hangUp = false;  // the line is gone (unplugged, pseudo-terminal master closed)
    bool woken = false;   // SerialWakeWaiters was called: the port is being closed
};
// Waits up to timeout for bytes to read. Returns early on data, a hang-up or a wake.
SerialWaitState SerialWaitRead(SerialHandle h, std::chrono::nanoseconds timeout);
// Waits up to timeout until a write can make progress.
SerialWaitState SerialWaitWrite(SerialHandle h, std::chrono::nanoseconds timeout);

// Bytes read or written (0 when the call would block), -1 with *err set on failure.
long SerialRead(SerialHandle h, uint8_t* buf, size_t size, int* err);
long SerialWrite(SerialHandle h, const uint8_t* data, size_t size, int* err);

// Names the calling thread "serial-read" for debuggers and process lists.
void SerialNameReadThread();
// Pauses the calling thread for d of real time.
void SerialPause(std::chrono::nanoseconds d);

// What an error of SerialOpen or CanonicalPath (platform/Paths.h) means for the user.
enum class SerialOpenFault { NoSuchPort, Busy, PermissionDenied, Other };
SerialOpenFault SerialClassifyOpenError(int err);
// True for errors of SerialRead and SerialWrite that mean the line is gone.
bool SerialIsHangUpError(int err);
// The system's wording of an error ("No such file or directory").
std::string SerialErrorText(int err);

}  // namespace plat
