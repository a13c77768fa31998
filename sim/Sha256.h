// SHA-256, for the simulated device's report of what it received.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

class CSha256 {
public:
    CSha256();
    void Update(const uint8_t* data, size_t size);
    // The digest of everything given so far; the object can go on taking bytes afterwards.
    std::array<uint8_t, 32> Digest() const;
    std::string HexDigest() const;

private:
    void Block(const uint8_t* block);

    std::array<uint32_t, 8> m_state;
    std::array<uint8_t, 64> m_buffer{};
    size_t m_nBuffered = 0;
    uint64_t m_nTotal = 0;
};

std::string Sha256Hex(const uint8_t* data, size_t size);
inline std::string Sha256Hex(const std::vector<uint8_t>& data) {
    return Sha256Hex(data.data(), data.size());
}

}  // namespace sim
