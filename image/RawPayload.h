// A raw payload file (camera database, sounds, radar firmware): the bytes read and checked before
// its begin command, and how far its download has cut them into frames.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

class CRawPayload {
public:
    CRawPayload() = default;
    explicit CRawPayload(std::vector<uint8_t> bytes) : m_bytes(std::move(bytes)) {}

    // What the download sends, whatever happens to the file meanwhile.
    const std::vector<uint8_t>& Bytes() const { return m_bytes; }
    size_t Size() const { return m_bytes.size(); }
    bool Empty() const { return m_bytes.empty(); }

    // The offset of the next frame's bytes; each download starts again from the first byte.
    uint32_t m_dwOffset = 0;

private:
    std::vector<uint8_t> m_bytes;
};
