// What the last update run did with each payload, for reports (the terminal face's --json): its
// size and write frames, when it began and ended, and whether it was written.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>

class CRunRecord {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int SLOTS = 4;  // one a payload, by PayloadKind

    struct Entry {
        bool begun = false;
        bool written = false;
        uint64_t bytes = 0;   // the payload's data bytes
        uint32_t frames = 0;  // its write frames
        Clock::time_point begin{}, end{};
    };

    // The begin command of payload which went out.
    void Began(int which, uint64_t bytes, uint32_t frames) {
        if (which < 0 || which >= SLOTS) return;
        std::lock_guard<std::mutex> lock(m_mtx);
        m_entries[which] = Entry{true, false, bytes, frames, Clock::now(), {}};
    }
    // Its last write frame was acknowledged.
    void Written(int which) {
        if (which < 0 || which >= SLOTS) return;
        std::lock_guard<std::mutex> lock(m_mtx);
        m_entries[which].written = true;
        m_entries[which].end = Clock::now();
    }
    Entry Get(int which) const {
        std::lock_guard<std::mutex> lock(m_mtx);
        return which >= 0 && which < SLOTS ? m_entries[which] : Entry{};
    }

private:
    mutable std::mutex m_mtx;
    Entry m_entries[SLOTS];
};
