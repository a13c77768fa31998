// The read-back check: planning the blocks of an image and comparing their answers.
#include "isp/FlashReadBack.h"

bool CFlashReadBack::Plan(const CHEXFile& image) {
    m_expect.clear();
    m_vBlocks.clear();
    m_nDone = 0;
    m_result = {};
    int placed = image.WalkPlacedData([&](const HEX_PLACED& d) {
        for (uint32_t i = 0; i < d.byLen; ++i) {
            uint32_t at = d.dwAddr + i;
            std::vector<int16_t>& block = m_expect[at & ~(BLOCK - 1)];
            if (block.empty()) block.assign(BLOCK, -1);
            // A later record over the same address is what ends up in the flash.
            block[at & (BLOCK - 1)] = d.pData[i];
        }
        return true;
    });
    if (placed != 1) m_expect.clear();
    for (const auto& [addr, bytes] : m_expect) m_vBlocks.push_back(addr);
    return !m_vBlocks.empty();
}

bool CFlashReadBack::Store(const uint8_t* data, int32_t dataLen) {
    constexpr int32_t kRecords = BLOCK / 16;
    if (data == nullptr || dataLen < kRecords * 17 || m_nDone >= m_vBlocks.size()) return false;
    uint32_t base = m_vBlocks[m_nDone++];
    const std::vector<int16_t>& expect = m_expect[base];
    for (int32_t r = 0; r < kRecords; ++r) {
        const uint8_t* rec = data + r * 17;
        uint8_t sum = 0;
        for (int k = 0; k < 16; ++k) {
            sum = static_cast<uint8_t>(sum + rec[k]);
            int16_t want = expect[static_cast<size_t>(r * 16 + k)];
            if (want < 0) continue;
            ++m_result.compared;
            if (rec[k] == static_cast<uint8_t>(want)) continue;
            if (m_result.differing++ == 0)
                m_result.firstDiff = base + static_cast<uint32_t>(r * 16 + k);
        }
        if (sum != rec[16]) m_result.badRecord = true;
    }
    return true;
}
