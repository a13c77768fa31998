#include "isp/Frame.h"

#include <cstring>

namespace isp {

void PutFrameHead(uint8_t* out, uint8_t code, uint32_t payloadLen) {
    uint32_t len = payloadLen + 5;
    out[0] = FRAME_START;
    out[1] = static_cast<uint8_t>(len);
    out[2] = static_cast<uint8_t>(len >> 8);
    out[3] = code;
}

void PutLe32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint8_t FrameChecksum(const uint8_t* frame, int32_t n) {
    uint8_t sum = 0;
    for (int32_t i = 3; i < n; ++i) sum = static_cast<uint8_t>(sum + frame[i]);
    return sum;
}

bool SealFrame(CRawString& frame) {
    if (frame.m_pData == nullptr || frame.m_nLen < 4) return false;
    uint8_t cs = FrameChecksum(frame.m_pData, frame.m_nLen);
    return frame.Append(&cs, 1) != 0;
}

namespace {

enum class Candidate { Valid, Dead, Pending };

// Judges the candidate starting with the start byte at s; on Valid, e is its checksum index.
Candidate Judge(const uint8_t* p, int32_t len, int32_t s, int32_t& e) {
    uint8_t lenByte = (s + 1 < len) ? p[s + 1] : 0;
    uint16_t n = static_cast<uint16_t>(lenByte - 5);
    e = s + 4 + n;
    bool complete = s < e && e < len;
    if (s + 3 < len) {
        uint8_t c = p[s + 3];
        if (c < MIN_RX_CODE || c > MAX_RX_CODE) return Candidate::Dead;
    }
    if (s + 1 < len && lenByte < 5) {
        // Such a length would only complete after 64 KiB; the device never sends it.
        return Candidate::Dead;
    }
    if (!complete) return Candidate::Pending;
    if (s + 3 >= len) return Candidate::Pending;
    uint8_t sum = 0;
    for (int32_t i = s + 3; i < e; ++i) sum = static_cast<uint8_t>(sum + p[i]);
    return sum == p[e] ? Candidate::Valid : Candidate::Dead;
}

}  // namespace

int32_t FirstLiveCandidate(const CRawString& stream) {
    const uint8_t* p = stream.m_pData;
    int32_t len = stream.m_nLen;
    for (int32_t s = 0; s < len; ++s) {
        // Garbage is skipped at memchr speed: only start bytes can begin a candidate.
        const void* hit = std::memchr(p + s, FRAME_START, static_cast<size_t>(len - s));
        if (hit == nullptr) return len;
        s = static_cast<int32_t>(static_cast<const uint8_t*>(hit) - p);
        int32_t e = 0;
        if (Judge(p, len, s, e) != Candidate::Dead) return s;
    }
    return len;
}

}  // namespace isp

int FindFrame(const CRawString& stream, int& start, int& end) {
    start = -1;
    end = -1;
    const uint8_t* p = stream.m_pData;
    int32_t len = stream.m_nLen;
    if (p == nullptr || len <= 0) return 0;
    int32_t pos = 0;
    while (pos < len) {
        const void* hit = std::memchr(p + pos, isp::FRAME_START, static_cast<size_t>(len - pos));
        if (hit == nullptr) return 0;
        int32_t s = static_cast<int32_t>(static_cast<const uint8_t*>(hit) - p);
        uint8_t lenByte = (s + 1 < len) ? p[s + 1] : 0;
        uint16_t n = static_cast<uint16_t>(lenByte - 5);
        int32_t e = s + 4 + n;
        bool complete = s < e && e < len;
        bool codeOk = s + 3 < len && p[s + 3] >= isp::MIN_RX_CODE && p[s + 3] <= isp::MAX_RX_CODE;
        if (codeOk && complete) {
            uint8_t sum = 0;
            for (int32_t i = s + 3; i < e; ++i) sum = static_cast<uint8_t>(sum + p[i]);
            if (sum == p[e]) {
                start = s + 1;
                end = e;
                return 1;
            }
        }
        pos = s + 1;
    }
    return 0;
}

namespace isp {

void ExtractFrames(CRawString& stream, const std::function<void(const CRawString&)>& onFrame) {
    CRawString found;
    while (stream.m_nLen > 0) {
        int start = 0;
        int end = 0;
        if (!FindFrame(stream, start, end)) break;
        if (end < 0 || end < start || end >= stream.m_nLen) break;
        if (!found.Assign(stream.m_pData + start, end - start + 1, 0)) break;
        // Taken out before the handler runs, which sees the stream as what came after its frame.
        // The copy stays small: the port hands on one read (1024 bytes) at a time, and what is
        // left behind between reads is less than one frame.
        if (!stream.Remove(0, end + 1)) break;
        onFrame(found);
    }
    found.Clear();
    int32_t live = FirstLiveCandidate(stream);
    if (live >= stream.m_nLen) {
        if (stream.m_nLen > 0) stream.Remove(0, stream.m_nLen);
    } else if (live > 0) {
        stream.Remove(0, live);
    }
}

}  // namespace isp
