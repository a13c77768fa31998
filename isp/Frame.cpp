// The frame format at work: frame heads and checksums for sending, and the search for valid frames
// in the received byte stream with the pruning of bytes that can begin none.
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

// The one validity check of a candidate whose start byte is at s. Valid: a whole frame with an
// accepted code whose checksum holds; e is its checksum index. Dead: it can never become one.
// Pending: it may, once more bytes arrive.
Candidate Judge(const uint8_t* p, int32_t len, int32_t s, int32_t& e) {
    uint8_t lenByte = (s + 1 < len) ? p[s + 1] : 0;
    uint16_t n = static_cast<uint16_t>(lenByte - 5);
    e = s + 4 + n;
    if (s + 3 < len && (p[s + 3] < MIN_RX_CODE || p[s + 3] > MAX_RX_CODE)) return Candidate::Dead;
    // Complete means the checksum byte has arrived, and with it the code.
    bool complete = s < e && e < len;
    if (!complete) {
        // A length below 5 would only complete after 64 KiB; the device never sends it.
        return (s + 1 < len && lenByte < 5) ? Candidate::Dead : Candidate::Pending;
    }
    uint8_t sum = 0;
    for (int32_t i = s + 3; i < e; ++i) sum = static_cast<uint8_t>(sum + p[i]);
    return sum == p[e] ? Candidate::Valid : Candidate::Dead;
}

// Index of the first start byte whose candidate wanted accepts (e set by Judge), or len.
template <class Wanted>
int32_t FirstCandidate(const uint8_t* p, int32_t len, Wanted wanted, int32_t& e) {
    for (int32_t s = 0; s < len; ++s) {
        // Garbage is skipped at memchr speed: only start bytes can begin a candidate.
        const void* hit = std::memchr(p + s, FRAME_START, static_cast<size_t>(len - s));
        if (hit == nullptr) return len;
        s = static_cast<int32_t>(static_cast<const uint8_t*>(hit) - p);
        if (wanted(Judge(p, len, s, e))) return s;
    }
    return len;
}

}  // namespace

int32_t FirstLiveCandidate(const CRawString& stream) {
    int32_t e = 0;
    return FirstCandidate(
        stream.m_pData, stream.m_nLen, [](Candidate c) { return c != Candidate::Dead; }, e);
}

}  // namespace isp

int FindFrame(const CRawString& stream, int& start, int& end) {
    start = -1;
    end = -1;
    const uint8_t* p = stream.m_pData;
    int32_t len = stream.m_nLen;
    if (p == nullptr || len <= 0) return 0;
    // A rejected candidate costs one byte: the search goes on right after its start byte.
    int32_t e = 0;
    int32_t s = isp::FirstCandidate(
        p, len, [](isp::Candidate c) { return c == isp::Candidate::Valid; }, e);
    if (s >= len) return 0;
    start = s + 1;
    end = e;
    return 1;
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
