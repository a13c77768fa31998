// Writes Intel HEX: the sample images of the simulated device, the benchmarks and the tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One record line with its checksum and CR LF.
std::string IntelHexLine(uint8_t type, uint16_t addr, const uint8_t* data, size_t len);

// data placed at base in records of recordLen bytes, a type-04 record before each 64 KiB segment,
// then a start-address record, the end-of-file record and the version tag.
std::string WriteIntelHex(const std::vector<uint8_t>& data, uint32_t base,
                          const std::string& versionTag, size_t recordLen = 16);
