// The fuzz targets' seeds and every crash input kept from fuzzing, replayed through the same
// entry functions in the ordinary (and sanitizer) builds.
#include <gtest/gtest.h>

#include <filesystem>

#include "fuzz/FuzzTargets.h"
#include "support/TestMain.h"

namespace {

TEST(FuzzReplay, SeedsAndCrashInputsPassEveryTarget) {
    struct Target {
        const char* name;
        int (*entry)(const uint8_t*, size_t);
    } targets[] = {{"frames", FuzzFrames}, {"hex", FuzzHexLoad}, {"receive", FuzzReceive}};
    const std::filesystem::path root = std::filesystem::path(KALVO_TEST_DATA) / "../../fuzz";
    for (const Target& t : targets) {
        int seeds = 0;
        for (const char* kind : {"corpus", "regressions"}) {
            std::error_code ec;
            for (const auto& e : std::filesystem::directory_iterator(root / kind / t.name, ec)) {
                if (!e.is_regular_file() || e.path().filename().string()[0] == '.') continue;
                SCOPED_TRACE(e.path().string());
                std::vector<uint8_t> bytes = testsupport::ReadFile(e.path().string());
                EXPECT_EQ(t.entry(bytes.data(), bytes.size()), 0);
                if (std::string(kind) == "corpus") ++seeds;
            }
        }
        EXPECT_GT(seeds, 0) << "no seeds for " << t.name;
    }
}

}  // namespace
