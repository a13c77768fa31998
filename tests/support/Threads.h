// Counting the process's threads, for tests that must leave none behind.
#pragma once

#include <chrono>
#include <filesystem>
#include <iterator>
#include <thread>

namespace testsupport {

inline int ThreadCount() {
    // The thread sanitizer's runtime starts a helper thread at the first thread created.
    static const bool warm = (std::thread([] {}).join(), true);
    (void)warm;
    using std::filesystem::directory_iterator;
    return static_cast<int>(std::distance(directory_iterator("/proc/self/task"), {}));
}

// Threads that ended may stay listed for a moment: waits (bounded) until at most n are left.
inline int SettleThreads(int n) {
    for (int i = 0; i < 1000 && ThreadCount() > n; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return ThreadCount();
}

}  // namespace testsupport
