// Entry points of the libFuzzer targets. Each is a plain function so that the fault suite can
// replay the corpora and the crash inputs in an ordinary test build.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The frame extraction loop fed in arbitrary chunkings.
int FuzzFrames(const uint8_t* data, size_t size);
// The Intel HEX reader on arbitrary file contents, and the download and read-back of what it
// accepted.
int FuzzHexLoad(const uint8_t* data, size_t size);
// The controller's receive path with the page's result handling behind it, in every state.
int FuzzReceive(const uint8_t* data, size_t size);
// The command-line options parser on arbitrary arguments.
int FuzzOptions(const uint8_t* data, size_t size);
// The task manager's queue operations in random order from two threads.
int FuzzQueue(const uint8_t* data, size_t size);

namespace fuzz {

// Cuts the input into chunks whose sizes come from its first bytes: byte 0 says how many sizes
// follow (1 + low 3 bits), each size is 1 + the byte; the sizes repeat over the rest.
class CChunker {
public:
    CChunker(const uint8_t* data, size_t size) {
        size_t count = size > 0 ? 1 + (data[0] & 7u) : 0;
        if (size < 1 + count) {
            m_sizes.push_back(1);
            m_pos = 0;
        } else {
            for (size_t i = 0; i < count; ++i) m_sizes.push_back(1u + data[1 + i]);
            m_pos = 1 + count;
        }
        m_data = data;
        m_size = size;
    }
    // The next chunk; false at the end of the input.
    bool Next(const uint8_t*& chunk, size_t& n) {
        if (m_pos >= m_size) return false;
        n = m_sizes[m_next++ % m_sizes.size()];
        if (n > m_size - m_pos) n = m_size - m_pos;
        chunk = m_data + m_pos;
        m_pos += n;
        return true;
    }
    const uint8_t* Rest() const { return m_data + m_pos; }
    size_t RestSize() const { return m_size - m_pos; }

private:
    std::vector<size_t> m_sizes;
    const uint8_t* m_data = nullptr;
    size_t m_size = 0;
    size_t m_pos = 0;
    size_t m_next = 0;
};

// Reports a broken invariant and aborts, so that libFuzzer keeps the input and a test fails.
[[noreturn]] void Fail(const char* target, const char* what);

}  // namespace fuzz
