// Ticks, sleeps and the time-scale seam.
//
// Every duration of the program is written in milliseconds of "program time". The shipped program
// runs at scale 1; tests set a smaller scale so that the real state machine (2500 ms reply timer,
// 7000 ms pauses, 2000 ms stop waits) runs quickly. Ticks are reported in program time as well, so
// elapsed-time comparisons stay consistent at any scale.
#pragma once

#include <chrono>
#include <cstdint>

namespace plat {

constexpr uint32_t INFINITE_WAIT = 0xFFFFFFFFu;

// Milliseconds of program time since the process started, wrapping at 2^32 like GetTickCount.
uint32_t GetTickCount();

// Sleeps for ms of program time.
void Sleep(uint32_t ms);

// Real duration of ms of program time at the current scale.
std::chrono::nanoseconds ToReal(uint32_t ms);

// Sets how many real seconds one second of program time takes (1.0 = real time). Ticks keep
// running continuously across a change.
void SetTimeScale(double scale);
double GetTimeScale();

// Asks the system for 1 ms timer resolution, so that 1 ms pauses take about 1 ms (Windows
// otherwise rounds them up to its 15.6 ms tick). Done once by the first use of the clock.
void RaiseTimerResolution();

}  // namespace plat
