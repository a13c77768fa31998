// An in-process serial line: two ends joined back to back, each reading what the other wrote.
// Where no pseudo-terminal exists (Windows), the simulated device holds one end and the serial
// port opens the other by its name ("loop:NAME", served through platform/PortProvider.h).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

namespace sim {

class CLoopback {
public:
    static constexpr const char* PREFIX = "loop:";
    enum End { HOST = 0, DEVICE = 1 };

    // A new line under PREFIX + name; null when a line of that name exists.
    static std::shared_ptr<CLoopback> Create(const std::string& name);
    // The line a port path ("loop:NAME") names, null when there is none.
    static std::shared_ptr<CLoopback> Find(const std::string& path);
    static bool IsLoopbackPath(const std::string& path);

    explicit CLoopback(std::string path) : m_strPath(std::move(path)) {}
    ~CLoopback();
    CLoopback(const CLoopback&) = delete;
    CLoopback& operator=(const CLoopback&) = delete;
    const std::string& Path() const { return m_strPath; }

    // Takes an end for exclusive use, as a port is opened once; false when it is taken already or
    // the line is hung up. Release clears its pending wake.
    bool Claim(End e);
    void Release(End e);

    // Bytes read into buf (0: none waiting), -1 once the line is hung up and nothing is left.
    long Read(End e, uint8_t* buf, size_t size);
    // Every byte is taken (the line buffers without bound); -1 when it is hung up.
    long Write(End e, const uint8_t* data, size_t size);
    // Bytes written by the other end that e has not read yet.
    size_t Pending(End e) const;
    void Purge(End e);

    struct WaitState {
        bool readable = false;
        bool hungUp = false;
        bool woken = false;
    };
    // Waits up to timeout until e has bytes to read, the line hangs up, or e is woken; with
    // watchLine false only for the wake.
    WaitState Wait(End e, std::chrono::nanoseconds timeout, bool watchLine = true);
    // Ends the waits of e, now and later, until e is released or the wake cleared.
    void Wake(End e);
    void ClearWake(End e);

    // Both ends see the line gone; what was not read is lost, as on a pulled cable.
    void HangUp();
    bool IsHungUp() const;

private:
    const std::string m_strPath;
    mutable std::mutex m_mtx;
    std::condition_variable m_cv;
    std::deque<uint8_t> m_toEnd[2];
    bool m_bClaimed[2] = {false, false};
    bool m_bWoken[2] = {false, false};
    bool m_bHungUp = false;
};

// Lets the serial port open the lines by name; every device made on a loopback line calls it.
void ServeLoopbackPorts();

}  // namespace sim
