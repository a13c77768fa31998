// The fuzz targets' seeds and every crash input kept from fuzzing, replayed through the same
// entry functions in the ordinary (and sanitizer) builds.
#include <gtest/gtest.h>

#include <filesystem>

#include "fuzz/FuzzTargets.h"
#include "support/TestMain.h"

namespace {

void Replay(const char* name, int (*entry)(const uint8_t*, size_t)) {
    const std::filesystem::path root = std::filesystem::path(KALVO_TEST_DATA) / "../../fuzz";
    int seeds = 0;
    for (const char* kind : {"corpus", "regressions"}) {
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(root / kind / name, ec)) {
            if (!e.is_regular_file() || e.path().filename().string()[0] == '.') continue;
            SCOPED_TRACE(e.path().string());
            std::vector<uint8_t> bytes = testsupport::ReadFile(e.path().string());
            EXPECT_EQ(entry(bytes.data(), bytes.size()), 0);
            if (std::string(kind) == "corpus") ++seeds;
        }
    }
    EXPECT_GT(seeds, 0) << "no seeds for " << name;
}

TEST(FuzzReplay, SeedsAndCrashInputsPassEveryTarget) {
    Replay("frames", FuzzFrames);
    Replay("hex", FuzzHexLoad);
    Replay("receive", FuzzReceive);
    Replay("options", FuzzOptions);
}

// Starts and stops worker threads: apart, so that it counts only its own.
TEST(FuzzReplay, QueueOperationsFromTwoThreadsSendOnceAndLeaveNoThread) {
    Replay("queue", FuzzQueue);
}

}  // namespace
