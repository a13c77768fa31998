// The payload bytes the tests and the benchmarks write: a xorshift stream, the same for the same
// seed on every machine, so that a lost, doubled or moved chunk never looks like the right one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

inline std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : v) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    return v;
}

}  // namespace sim
