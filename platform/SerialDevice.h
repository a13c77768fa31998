// The serial device: CreateFile/SetCommState/PurgeComm/ReadFile/WriteFile and their friends, on
// a small integer handle (a file descriptor on POSIX, an entry of the port table of
// serial_win32.cpp on Windows). Error codes are errno values on every platform.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace plat {

// The serial ports of this machine in the order they are tried: on Linux USB adapters first,
// then on-board UARTs; on Windows the ports the system lists, in COM-number order.
std::vector<std::string> SerialListPorts();

// A line for the user when the adapter behind path is known to hold short answers back (a USB
// adapter whose latency timer is above 2 ms), saying how to set it right; "" otherwise.
std::string SerialAdapterAdvice(const std::string& path);

// Opens a serial device for exclusive use, non-blocking. The descriptor, or -1 with *err set to
// the errno of the failure (EWOULDBLOCK when another process holds the device).
int SerialOpen(const std::string& path, int* err);
// No wait on fd may be in progress.
void SerialClose(int fd);
// Ends every wait on fd (SerialWaitRead, SerialWaitWrite) in progress and every later one, with
// woken set: how a close from another thread reaches a reader without waiting for its time-out.
void SerialWakeWaiters(int fd);

// Raw 8N1 without flow control, reads that return at once, at any baud rate. On failure (errno in
// *err) the line keeps its previous settings.
bool SerialConfigure(int fd, uint32_t baud, int* err);
// Baud rate the driver reports, 0 when it cannot be read.
uint32_t SerialGetBaud(int fd);
// False when the device has no modem lines (pseudo-terminals).
bool SerialSetModemLines(int fd, bool rts, bool dtr);
// Asks a USB adapter to hand over bytes at once instead of batching them; false when unsupported.
// SerialClose puts the adapter's setting back as it was.
bool SerialSetLowLatency(int fd);
// Discards what is buffered both ways.
bool SerialPurge(int fd);

struct SerialWaitState {
    bool ready = false;   // the wanted direction can make progress
    bool hangUp = false;  // the line is gone (unplugged, pseudo-terminal master closed)
    bool woken = false;   // SerialWakeWaiters was called: the port is being closed
};
// Waits up to timeout for bytes to read. Returns early on data, a hang-up or a wake.
SerialWaitState SerialWaitRead(int fd, std::chrono::nanoseconds timeout);
// Waits up to timeout until a write can make progress.
SerialWaitState SerialWaitWrite(int fd, std::chrono::nanoseconds timeout);

// Bytes read or written (0 when the call would block), -1 with *err set on failure.
long SerialRead(int fd, uint8_t* buf, size_t size, int* err);
long SerialWrite(int fd, const uint8_t* data, size_t size, int* err);
// True for errors that mean the line is gone.
bool SerialIsHangUpError(int err);

// Names the calling thread "serial-read" for debuggers and ps.
void SerialNameReadThread();

// Pauses the calling thread for d of real time.
void SerialPause(std::chrono::nanoseconds d);

}  // namespace plat
