// The device's side of a serial line for the simulated device (POSIX only): the master of a new
// pseudo-terminal, or a tty it serves, with a wait that another thread can end at once.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace plat {

class CPty {
public:
    CPty() = default;
    ~CPty();
    CPty(const CPty&) = delete;
    CPty& operator=(const CPty&) = delete;

    // A new raw pseudo-terminal whose slave *slavePath the updater opens; false with *error set.
    bool OpenMaster(std::string* slavePath, std::string* error);
    // Serves an existing tty at baud; false with *error set.
    bool OpenServed(const std::string& tty, uint32_t baud, std::string* error);

    struct Ready {
        bool in = false;   // bytes to read
        bool out = false;  // a write can make progress
        bool hup = false;  // the other side is gone (for now)
    };
    // Waits up to timeout for Wake and, when watch is set, for bytes (and room to write when
    // wantOut).
    Ready Wait(bool watch, bool wantOut, std::chrono::nanoseconds timeout);
    void Wake();
    // Bytes moved (0: would block), -1 on an error or once hung up.
    long Read(uint8_t* buf, size_t size);
    long Write(const uint8_t* data, size_t size);
    // Bytes written that the other side has not read yet.
    int Unread();
    // A served tty follows the device's rate; a pseudo-terminal has none.
    void SetBaud(uint32_t baud);
    // Hangs up for good: the other side sees its port gone.
    void HangUp();

private:
    bool MakeWakePipe(std::string* error);

    // A hang-up closes them from another thread while the device's thread waits on them.
    std::atomic<int> m_fd{-1};      // the master or the served tty
    std::atomic<int> m_holdFd{-1};  // our own descriptor of the slave, or -1
    bool m_bServesTty = false;
    uint32_t m_dwTtyBaud = 0;
    int m_wake[2] = {-1, -1};
};

}  // namespace plat
