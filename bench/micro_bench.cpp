// Micro benchmarks of the update path's CPU work: finding and taking frames out of received
// bytes, loading an Intel HEX image, queueing its write frames, and the per-chunk receive path.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/Log.h"
#include "core/RawString.h"
#include "core/TaskManager.h"
#include "image/HexFile.h"
#include "image/HexWriter.h"
#include "isp/Frame.h"
#include "isp/IspCtrl.h"

namespace {

struct Rng {
    uint32_t x;
    uint32_t Next() {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    }
};

std::vector<uint8_t> Frame(uint8_t code, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> f;
    f.reserve(payload.size() + 5);
    f.push_back(isp::FRAME_START);
    f.push_back(static_cast<uint8_t>(5 + payload.size()));
    f.push_back(0x00);
    f.push_back(code);
    for (uint8_t b : payload) f.push_back(b);
    f.push_back(isp::FrameChecksum(f.data(), static_cast<int32_t>(f.size())));
    return f;
}

// Device frames (status pairs, acknowledgements, frames with data) mixed with garbage runs full
// of false start bytes and frames with a broken checksum.
std::vector<uint8_t> MixedStream(size_t size, int* validFrames) {
    Rng rng{12345};
    std::vector<uint8_t> s;
    int valid = 0;
    while (s.size() < size) {
        uint32_t pick = rng.Next() % 10;
        std::vector<uint8_t> f;
        if (pick < 3) {
            f = Frame(0x0D, {0x06, static_cast<uint8_t>(1 + rng.Next() % 2)});
        } else if (pick < 5) {
            f = Frame(0x24, {0x23});
        } else if (pick < 6) {
            std::vector<uint8_t> p(16 + rng.Next() % 200);
            for (auto& b : p) b = static_cast<uint8_t>(rng.Next());
            f = Frame(0x0E, p);
        } else if (pick < 8) {
            size_t n = 1 + rng.Next() % 64;
            for (size_t i = 0; i < n; ++i)
                f.push_back(rng.Next() % 8 == 0 ? isp::FRAME_START
                                                : static_cast<uint8_t>(rng.Next()));
            s.insert(s.end(), f.begin(), f.end());
            continue;
        } else {
            f = Frame(0x0D, {0x23, 0x02});
            f.back() ^= 0x5A;  // broken checksum
            s.insert(s.end(), f.begin(), f.end());
            continue;
        }
        s.insert(s.end(), f.begin(), f.end());
        ++valid;
    }
    if (validFrames != nullptr) *validFrames = valid;
    return s;
}

CRawString Raw(const std::vector<uint8_t>& v) {
    CRawString r;
    r.Assign(v.data(), static_cast<int32_t>(v.size()), 0);
    return r;
}

// FindFrame over 1 MiB of garbage before the one valid frame: random bytes with a false start
// (a status frame with a broken checksum) every 32 bytes, so that no candidate in it is valid.
void BM_FindFrame(benchmark::State& state) {
    Rng rng{777};
    std::vector<uint8_t> v;
    auto broken = Frame(0x0D, {0x06, 0x02});
    broken.back() ^= 0x5A;
    while (v.size() < (1u << 20)) {
        for (int i = 0; i < 25; ++i) {
            auto b = static_cast<uint8_t>(rng.Next());
            v.push_back(b == isp::FRAME_START ? 0x00 : b);
        }
        v.insert(v.end(), broken.begin(), broken.end());
    }
    auto f = Frame(0x24, {0x23});
    v.insert(v.end(), f.begin(), f.end());
    CRawString s = Raw(v);
    for (auto _ : state) {
        int start = 0, end = 0;
        benchmark::DoNotOptimize(FindFrame(s, start, end));
        benchmark::DoNotOptimize(end);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * s.m_nLen);
}
BENCHMARK(BM_FindFrame)->Unit(benchmark::kMicrosecond);

// The extraction loop over 1 MiB of mixed frames and garbage that arrived at once.
void BM_ExtractFramesWhole(benchmark::State& state) {
    int valid = 0;
    std::vector<uint8_t> v = MixedStream(1 << 20, &valid);
    int64_t frames = 0;
    for (auto _ : state) {
        CRawString s = Raw(v);
        isp::ExtractFrames(s, [&](const CRawString& f) { frames += f.m_nLen > 0; });
    }
    state.counters["frames"] =
        static_cast<double>(frames) / static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(v.size()));
}
BENCHMARK(BM_ExtractFramesWhole)->Unit(benchmark::kMillisecond);

// The same 1 MiB as the port hands it on: 1024-byte chunks, each appended and extracted.
void BM_ExtractFramesChunked(benchmark::State& state) {
    std::vector<uint8_t> v = MixedStream(1 << 20, nullptr);
    int64_t frames = 0;
    for (auto _ : state) {
        CRawString s;
        for (size_t off = 0; off < v.size(); off += 1024) {
            size_t n = std::min<size_t>(1024, v.size() - off);
            s.Append(v.data() + off, static_cast<int32_t>(n));
            isp::ExtractFrames(s, [&](const CRawString& f) { frames += f.m_nLen > 0; });
        }
    }
    state.counters["frames"] =
        static_cast<double>(frames) / static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(v.size()));
}
BENCHMARK(BM_ExtractFramesChunked)->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------------------------------------
// The firmware image: 1 MiB of data in 16-byte records at 0x08000000.

const std::string& HexPath() {
    static const std::string path = [] {
        Rng rng{4242};
        std::vector<uint8_t> data(1 << 20);
        for (auto& b : data) b = static_cast<uint8_t>(rng.Next());
        std::string out = WriteIntelHex(data, 0x08000000, "0103");
        std::string p = (std::filesystem::temp_directory_path() / "kalvo-micro-1mib.hex").string();
        std::ofstream(p, std::ios::binary | std::ios::trunc) << out;
        return p;
    }();
    return path;
}

bool LoadImage(CHEXFile& image) {
    return image.m_file.Open(HexPath(), plat::CFile::modeRead) && image.Load() == 1;
}

void BM_HexLoad(benchmark::State& state) {
    HexPath();
    for (auto _ : state) {
        CHEXFile image;
        if (!LoadImage(image)) state.SkipWithError("cannot load the image");
        benchmark::DoNotOptimize(image.GetRecordCount());
    }
}
BENCHMARK(BM_HexLoad)->Unit(benchmark::kMillisecond);

// All write frames of the image queued into the (stopped) task manager.
void BM_QueueHexFrames(benchmark::State& state) {
    CHEXFile image;
    if (!LoadImage(image)) state.SkipWithError("cannot load the image");
    for (auto _ : state) {
        g_CmdTaskManager.ClearTask();
        g_ISPCtrl.DownloadHex(&image);
    }
    state.counters["frames"] = static_cast<double>(g_CmdTaskManager.GetQueueSize());
    g_CmdTaskManager.ClearTask();
}
BENCHMARK(BM_QueueHexFrames)->Unit(benchmark::kMillisecond);

// What the page's worker does for a firmware burn, from the file to the full queue.
void BM_LoadAndQueue(benchmark::State& state) {
    HexPath();
    for (auto _ : state) {
        CHEXFile image;
        if (!LoadImage(image)) state.SkipWithError("cannot load the image");
        g_ISPCtrl.DownloadHex(&image);
        state.PauseTiming();
        g_CmdTaskManager.ClearTask();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_LoadAndQueue)->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------------------------------------
// The receive path: OnReceive with 1024-byte chunks of acknowledgements, results dropped.

void NoResult(const uint8_t*, void*, uint8_t, int32_t) {}

std::vector<uint8_t> Acks(bool statusPairs, size_t size) {
    std::vector<uint8_t> v;
    while (v.size() < size) {
        std::vector<uint8_t> f;
        if (statusPairs) {
            f = Frame(0x0D, {0x06, 0x01});
            auto g = Frame(0x0D, {0x06, 0x02});
            f.insert(f.end(), g.begin(), g.end());
        } else {
            f = Frame(0x24, {0x23});
        }
        v.insert(v.end(), f.begin(), f.end());
    }
    return v;
}

void BM_OnReceive(benchmark::State& state) {
    bool pairs = state.range(0) != 0;
    std::vector<uint8_t> v = Acks(pairs, 1 << 20);
    g_ISPCtrl.m_pfnResult.store(&NoResult);
    g_ISPCtrl.m_pResultCtx.store(nullptr);
    g_ISPCtrl.m_nRunState.store(2);
    size_t off = 0;
    for (auto _ : state) {
        if (off + 1024 > v.size()) off = 0;
        g_ISPCtrl.OnReceive(v.data() + off, 1024);
        off += 1024;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 1024);
    state.SetLabel(pairs ? "status pairs (firmware)" : "0x24 acknowledgements");
    g_ISPCtrl.m_pfnResult.store(nullptr);
}
BENCHMARK(BM_OnReceive)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
