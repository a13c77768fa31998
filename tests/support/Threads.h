// Counting the process's threads, for tests that must leave none behind.
#pragma once

#include <chrono>
#include <filesystem>
#include <iterator>
#include <thread>

#ifdef _WIN32
#include <windows.h>
// After windows.h, whose types it uses.
#include <tlhelp32.h>
#endif

namespace testsupport {

inline int ThreadCount() {
    // The thread sanitizer's runtime starts a helper thread at the first thread created.
    static const bool warm = (std::thread([] {}).join(), true);
    (void)warm;
#ifdef _WIN32
    HANDLE snap = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snap == INVALID_HANDLE_VALUE) return -1;
    THREADENTRY32 te = {};
    te.dwSize = sizeof te;
    int n = 0;
    const DWORD self = ::GetCurrentProcessId();
    for (BOOL ok = ::Thread32First(snap, &te); ok; ok = ::Thread32Next(snap, &te))
        n += te.th32OwnerProcessID == self ? 1 : 0;
    ::CloseHandle(snap);
    return n;
#else
    using std::filesystem::directory_iterator;
    return static_cast<int>(std::distance(directory_iterator("/proc/self/task"), {}));
#endif
}

// Threads that ended may stay listed for a moment: waits (bounded) until at most n are left.
inline int SettleThreads(int n) {
    for (int i = 0; i < 1000 && ThreadCount() > n; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return ThreadCount();
}

}  // namespace testsupport
