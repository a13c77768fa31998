// The simulated device's side of its line: a small byte pipe, so that the device runs the same on
// a pseudo-terminal (POSIX, line_posix.cpp) and on an in-process loopback port (LoopLine.cpp).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace sim {

class ILine {
public:
    virtual ~ILine() = default;

    struct Ready {
        bool in = false;   // bytes to read
        bool out = false;  // a write can make progress
        bool hup = false;  // the host's side is gone (for now)
    };
    // Waits up to timeout for the line (when watch is set; else only for Wake), for bytes, and
    // when wantOut for room to write.
    virtual Ready Wait(bool watch, bool wantOut, std::chrono::nanoseconds timeout) = 0;
    // Ends the current or the next Wait at once (from another thread).
    virtual void Wake() = 0;
    // Bytes read (0: none now), -1 on an error.
    virtual long Read(uint8_t* buf, size_t size) = 0;
    // Bytes taken (0: would block, try again), -1 when they cannot go anywhere.
    virtual long Write(const uint8_t* data, size_t size) = 0;
    // Bytes written that the host has not read yet.
    virtual int Unread() = 0;
    // A served tty follows the device's line rate; other lines need not.
    virtual void SetBaud(uint32_t /*baud*/) {}
    // Hangs up for good: the host sees its port gone.
    virtual void HangUp() = 0;
};

// The in-process loopback port "loop:NAME" (sim/Loopback.h); null when the name is taken.
std::unique_ptr<ILine> MakeLoopLine(const std::string& name, std::string* portPath,
                                    std::string* error);

}  // namespace sim
