// What the update benchmark measures with: the clock, the wire time of the line, medians and
// percentiles, the CPU and memory of this process and its threads, and the simulated device
// started with a fine timer slack.
#pragma once

#include <chrono>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "sim/Device.h"

namespace bench {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kBaud = 256000;

double WireMs(uint64_t bytes);
double Ms(Clock::duration d);

struct Stats {
    size_t samples = 0;
    double median = 0, p99 = 0, mean = 0, max = 0;
};
Stats Summarise(std::vector<double> v);

// The simulated device times its answers with ppoll time-outs; at the kernel's default timer
// slack (50 us) every answer would leave late by up to that much, and the device would count the
// delay as the updater's turnaround. Its thread takes the slack of the thread that starts it.
// Opens the device's pseudo-terminal (its path in port) and starts it; false with error.
bool StartDevice(sim::CDevice& dev, unsigned long slackNs, std::string& port, std::string& error);

std::string LoadAverage();
double ProcessCpuMs();
long PeakRssKiB();
std::set<long> ListTasks();
// CPU time of one thread of this process, from the scheduler's own account.
double ThreadCpuMs(long tid);
// CPU of the serial reader thread(s) (named "serial-read" by the port) of this process.
double ReaderCpuMs();

}  // namespace bench
