// Takes host frames out of the byte stream the device reads. Unlike the updater's own finder it
// reads the full 16-bit length (data frames run up to 4101 bytes) and reports what it cannot
// accept instead of skipping it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace sim {

using Clock = std::chrono::steady_clock;

constexpr uint8_t FRAME_START = 0xAC;
constexpr size_t MIN_FRAME = 5;
constexpr size_t MAX_HOST_FRAME = 4096 + 5;

uint8_t Checksum(const uint8_t* data, size_t size);
// A sealed frame: start byte, length, code, payload, checksum.
std::vector<uint8_t> BuildFrame(uint8_t code, const std::vector<uint8_t>& payload);

struct HostItem {
    enum Kind {
        Frame,        // a whole frame with a good checksum
        BadChecksum,  // a whole frame whose checksum does not match
        BadLength,    // a start byte followed by a length no host frame can have
        Incomplete,   // a frame cut short: the line went quiet in the middle of it
        Garbage,      // only bytes that cannot begin a frame
    };
    Kind kind = Frame;
    uint8_t code = 0;  // 0 when not known
    std::vector<uint8_t> payload;
    size_t length = 0;  // length field, or bytes held for Incomplete/Garbage
    uint8_t sumGot = 0, sumWant = 0;
    size_t skipped = 0;  // garbage bytes dropped in front of this item
    Clock::time_point firstSeen;
};

class CHostParser {
public:
    void Feed(const uint8_t* data, size_t size, Clock::time_point when);
    // Takes the next item out of the stream; false when more bytes are needed.
    bool Next(HostItem& item);
    // Gives up on what is buffered (a partial frame, skipped garbage); false when there is none.
    bool Flush(HostItem& item);
    // True when no bytes and no skipped garbage are held.
    bool Empty() const { return m_buf.empty() && m_nSkipped == 0; }

private:
    void Consume(size_t n);
    Clock::time_point FrontTime() const;

    std::vector<uint8_t> m_buf;
    // Arrival time of each chunk still (partly) in m_buf: bytes left of it, when it came.
    std::deque<std::pair<size_t, Clock::time_point>> m_chunks;
    size_t m_nSkipped = 0;
};

}  // namespace sim
