// The frame extraction loop in arbitrary chunkings: every frame handed on is valid, the stream
// stays under 256 bytes, the dropping of dead bytes loses nothing that the plain search over the
// unpruned stream finds, and a frame found when the input comes whole is found in chunks too
// unless a frame that completed earlier overlaps it.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz/FuzzTargets.h"
#include "isp/Frame.h"

namespace fuzz {

void Fail(const char* target, const char* what) {
    std::fprintf(stderr, "[%s] invariant broken: %s\n", target, what);
    std::abort();
}

}  // namespace fuzz

namespace {

#if defined(__clang__)
#define KALVO_NO_COVERAGE __attribute__((no_sanitize("coverage")))
#else
#define KALVO_NO_COVERAGE
#endif

// Beyond this the plain search could complete a length byte below 5 (64 KiB on), which the
// extraction rightly treats as dead.
constexpr size_t kMaxInput = 16 * 1024;

struct Found {
    std::vector<uint8_t> bytes;
    uint64_t at;  // input index of the start byte
    uint64_t End() const { return at + bytes.size(); }
};

// The plain search of the frame format, with no pruning: the stream loses bytes only when a
// frame is taken out. It keeps its bytes in a vector of its own and lends them to the search as a
// buffer it does not own, so that bookkeeping costs no allocation per chunk.
class CReference {
public:
    void Feed(const uint8_t* d, size_t n, std::vector<Found>& out) {
        // What was kept holds no whole frame, so a frame found now ends in the new bytes, and a
        // frame spans at most 255 bytes: older bytes can take part in none. Dropping them keeps
        // the search linear; it removes nothing the search could return.
        if (Size() > kReach) Drop(Size() - kReach);
        size_t oldLen = Size();
        m_bytes.insert(m_bytes.end(), d, d + n);
        if (!CouldComplete(oldLen)) return;
        int s = 0, e = 0;
        while (Search(s, e)) {
            out.push_back({std::vector<uint8_t>(Data() + s, Data() + e + 1),
                           m_base + static_cast<uint64_t>(s) - 1});
            Drop(static_cast<size_t>(e) + 1);
        }
    }

private:
    const uint8_t* Data() const { return m_bytes.data() + m_head; }
    size_t Size() const { return m_bytes.size() - m_head; }
    void Drop(size_t count) {
        m_head += count;
        m_base += count;
        if (m_head > 4 * kReach) {
            m_bytes.erase(m_bytes.begin(), m_bytes.begin() + static_cast<std::ptrdiff_t>(m_head));
            m_head = 0;
        }
    }
    bool Search(int& s, int& e) {
        CRawString view;
        view.m_pData = m_bytes.data() + m_head;
        view.m_nLen = static_cast<int32_t>(Size());
        bool found = FindFrame(view, s, e) != 0;
        view.m_pData = nullptr;  // borrowed: the view must not free it
        view.m_nLen = 0;
        return found;
    }

    // Whether a frame can have completed with the bytes from oldLen on: its checksum byte, placed
    // by its length byte alone, is one of them. Spares the search most chunks.
    // The fuzzer's own bookkeeping: no coverage feedback from it.
    KALVO_NO_COVERAGE bool CouldComplete(size_t oldLen) const {
        const uint8_t* p = Data();
        const uint8_t* end = p + Size();
        for (const uint8_t* at = p; end - at > 1; ++at) {
            at = static_cast<const uint8_t*>(
                std::memchr(at, isp::FRAME_START, static_cast<size_t>(end - at - 1)));
            if (at == nullptr) return false;
            int64_t e = (at - p) + 4 + static_cast<uint16_t>(at[1] - 5);
            if (e >= static_cast<int64_t>(oldLen) && e < end - p) return true;
        }
        return false;
    }

    static constexpr size_t kReach = 256;
    std::vector<uint8_t> m_bytes;
    size_t m_head = 0;  // bytes before this are gone
    uint64_t m_base = 0;
};

void CheckFrame(const CRawString& f) {
    if (f.m_nLen < 4) fuzz::Fail("frames", "frame shorter than length, code and checksum");
    if (f.m_pData[0] != f.m_nLen + 1) fuzz::Fail("frames", "length byte disagrees with the size");
    uint8_t code = f.m_pData[2];
    if (code < isp::MIN_RX_CODE || code > isp::MAX_RX_CODE) fuzz::Fail("frames", "bad code");
    uint8_t sum = 0;
    for (int32_t i = 2; i < f.m_nLen - 1; ++i) sum = static_cast<uint8_t>(sum + f.m_pData[i]);
    if (sum != f.m_pData[f.m_nLen - 1]) fuzz::Fail("frames", "checksum does not hold");
}

}  // namespace

int FuzzFrames(const uint8_t* data, size_t size) {
    if (size > kMaxInput) size = kMaxInput;
    fuzz::CChunker chunks(data, size);
    const uint8_t* stream = chunks.Rest();
    size_t streamSize = chunks.RestSize();

    CRawString live;
    std::vector<std::vector<uint8_t>> got;
    std::vector<Found> plain, whole;
    CReference chunked;
    const uint8_t* chunk = nullptr;
    size_t n = 0;
    while (chunks.Next(chunk, n)) {
        live.Append(chunk, static_cast<int32_t>(n));
        isp::ExtractFrames(live, [&](const CRawString& f) {
            CheckFrame(f);
            got.emplace_back(f.m_pData, f.m_pData + f.m_nLen);
        });
        if (live.m_nLen >= 256) fuzz::Fail("frames", "stream kept 256 bytes or more");
        chunked.Feed(chunk, n, plain);
    }
    if (got.size() != plain.size()) fuzz::Fail("frames", "frame count differs from plain search");
    for (size_t i = 0; i < got.size(); ++i) {
        if (got[i] != plain[i].bytes) fuzz::Fail("frames", "frame differs from plain search");
    }

    CReference().Feed(stream, streamSize, whole);
    for (const Found& w : whole) {
        bool kept = false;
        for (const Found& c : plain) {
            if ((c.at == w.at && c.bytes == w.bytes) || (c.at <= w.End() && w.at <= c.End())) {
                kept = true;
                break;
            }
        }
        if (!kept) fuzz::Fail("frames", "frame lost in chunks with nothing overlapping it");
    }
    return 0;
}
