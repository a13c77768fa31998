// Cuts host frames out of the bytes the device reads (remembering when each chunk came), and
// builds the device's own frames.
#include "sim/HostParser.h"

#include <algorithm>

namespace sim {

uint8_t Checksum(const uint8_t* data, size_t size) {
    uint8_t sum = 0;
    for (size_t i = 0; i < size; ++i) sum = uint8_t(sum + data[i]);
    return sum;
}

std::vector<uint8_t> BuildFrame(uint8_t code, const std::vector<uint8_t>& payload) {
    size_t len = payload.size() + MIN_FRAME;
    std::vector<uint8_t> f;
    f.reserve(len);
    f.push_back(FRAME_START);
    f.push_back(uint8_t(len));
    f.push_back(uint8_t(len >> 8));
    f.push_back(code);
    f.insert(f.end(), payload.begin(), payload.end());
    f.push_back(Checksum(f.data() + 3, f.size() - 3));
    return f;
}

void CHostParser::Feed(const uint8_t* data, size_t size, Clock::time_point when) {
    if (size == 0) return;
    m_buf.insert(m_buf.end(), data, data + size);
    m_chunks.emplace_back(size, when);
}

void CHostParser::Consume(size_t n) {
    m_buf.erase(m_buf.begin(), m_buf.begin() + long(n));
    while (n > 0 && !m_chunks.empty()) {
        size_t take = std::min(n, m_chunks.front().first);
        m_chunks.front().first -= take;
        n -= take;
        if (m_chunks.front().first == 0) m_chunks.pop_front();
    }
}

Clock::time_point CHostParser::FrontTime() const {
    return m_chunks.empty() ? Clock::now() : m_chunks.front().second;
}

bool CHostParser::Next(HostItem& item) {
    auto start = std::find(m_buf.begin(), m_buf.end(), FRAME_START);
    size_t skip = size_t(start - m_buf.begin());
    if (skip > 0) {
        m_nSkipped += skip;
        Consume(skip);
    }
    if (m_buf.size() < 4) return false;

    item = HostItem{};
    item.firstSeen = FrontTime();
    item.code = m_buf[3];
    item.length = size_t(m_buf[1]) | (size_t(m_buf[2]) << 8);
    item.skipped = m_nSkipped;
    if (item.length < MIN_FRAME || item.length > MAX_HOST_FRAME) {
        // The length cannot be trusted, so neither can the frame's end: resynchronise on the
        // next start byte.
        item.kind = HostItem::BadLength;
        m_nSkipped = 0;
        Consume(1);
        return true;
    }
    if (m_buf.size() < item.length) return false;

    m_nSkipped = 0;
    item.sumWant = Checksum(m_buf.data() + 3, item.length - 4);
    item.sumGot = m_buf[item.length - 1];
    if (item.sumGot == item.sumWant) {
        item.kind = HostItem::Frame;
        item.payload.assign(m_buf.begin() + 4, m_buf.begin() + long(item.length) - 1);
    } else {
        item.kind = HostItem::BadChecksum;
    }
    Consume(item.length);
    return true;
}

bool CHostParser::Flush(HostItem& item) {
    if (Empty()) return false;
    item = HostItem{};
    item.firstSeen = FrontTime();
    item.skipped = m_nSkipped;
    item.length = m_buf.size();
    if (m_buf.empty()) {
        item.kind = HostItem::Garbage;
    } else {
        item.kind = HostItem::Incomplete;
        if (m_buf.size() >= 4) item.code = m_buf[3];
    }
    m_nSkipped = 0;
    Consume(m_buf.size());
    return true;
}

}  // namespace sim
