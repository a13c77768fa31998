// The read-back check of a written firmware image: which 2048-byte flash blocks hold its data,
// and every byte of them compared with the image as the blocks come back from the device.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "image/HexFile.h"

class CFlashReadBack {
public:
    static constexpr uint32_t BLOCK = 0x800;  // bytes a CMD_READ_BLOCK answer carries

    struct Result {
        uint64_t compared = 0;   // image bytes read back
        uint64_t differing = 0;  // of those, how many differ
        uint32_t firstDiff = 0;  // address of the first difference, when differing != 0
        bool badRecord = false;  // a record of the answer failed its check byte
    };

    // The blocks that hold the image's data, in ascending order. False when the image places no
    // data (nothing to compare).
    bool Plan(const CHEXFile& image);
    const std::vector<uint32_t>& Blocks() const { return m_vBlocks; }
    size_t BlocksDone() const { return m_nDone; }
    bool Complete() const { return !m_vBlocks.empty() && m_nDone == m_vBlocks.size(); }
    // The answer to the next planned block: 128 records of 16 data bytes and a check byte. False,
    // with nothing counted, when the answer is short or every block is in already.
    bool Store(const uint8_t* data, int32_t dataLen);
    const Result& GetResult() const { return m_result; }

private:
    // Per block, the image's byte for each offset, -1 where the image has none.
    std::map<uint32_t, std::vector<int16_t>> m_expect;
    std::vector<uint32_t> m_vBlocks;
    size_t m_nDone = 0;
    Result m_result;
};
