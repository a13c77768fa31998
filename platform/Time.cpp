// Ticks, sleeps and the time scale on the steady clock; standard C++, for every platform.
#include "platform/Time.h"

#include <atomic>
#include <mutex>
#include <thread>

namespace plat {
namespace {

using Clock = std::chrono::steady_clock;

struct TimeBase {
    TimeBase() { RaiseTimerResolution(); }
    std::mutex mtx;
    Clock::time_point realAnchor = Clock::now();
    double virtAnchorMs = 0.0;
    std::atomic<double> scale{1.0};
};

TimeBase& Base() {
    static TimeBase base;
    return base;
}

}  // namespace

uint32_t GetTickCount() {
    TimeBase& b = Base();
    std::lock_guard<std::mutex> lock(b.mtx);
    double realMs = std::chrono::duration<double, std::milli>(Clock::now() - b.realAnchor).count();
    double virt = b.virtAnchorMs + realMs / b.scale.load();
    return static_cast<uint32_t>(static_cast<uint64_t>(virt));
}

std::chrono::nanoseconds ToReal(uint32_t ms) {
    double ns = static_cast<double>(ms) * 1e6 * Base().scale.load();
    return std::chrono::nanoseconds(static_cast<int64_t>(ns));
}

void Sleep(uint32_t ms) {
    if (ms == 0) {
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(ToReal(ms));
}

void SetTimeScale(double scale) {
    if (!(scale > 0.0)) return;
    TimeBase& b = Base();
    std::lock_guard<std::mutex> lock(b.mtx);
    Clock::time_point now = Clock::now();
    double realMs = std::chrono::duration<double, std::milli>(now - b.realAnchor).count();
    b.virtAnchorMs += realMs / b.scale.load();
    b.realAnchor = now;
    b.scale.store(scale);
}

double GetTimeScale() {
    return Base().scale.load();
}

}  // namespace plat
