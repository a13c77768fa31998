// The update benchmark's measuring tools: wire time, statistics, CPU, memory and threads.
#include "bench/update/Measure.h"

#include <dirent.h>
#include <sys/prctl.h>
#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>

namespace bench {

double WireMs(uint64_t bytes) {
    return static_cast<double>(bytes) * 10.0 * 1000.0 / kBaud;
}

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

Stats Summarise(std::vector<double> v) {
    Stats s;
    s.samples = v.size();
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    auto at = [&](double q) {
        size_t i = static_cast<size_t>(std::ceil(q * static_cast<double>(v.size()))) - 1;
        return v[std::min(i, v.size() - 1)];
    };
    s.median = at(0.5);
    s.p99 = at(0.99);
    double sum = 0;
    for (double x : v) sum += x;
    s.mean = sum / static_cast<double>(v.size());
    s.max = v.back();
    return s;
}

bool StartDevice(sim::CDevice& dev, unsigned long slackNs, std::string& port, std::string& error) {
    std::string why;
    if (!dev.CreatePty(&port, &why)) {
        error = "cannot start the simulated device: " + why;
        return false;
    }
    int old = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    if (slackNs > 0) prctl(PR_SET_TIMERSLACK, slackNs, 0, 0, 0);
    bool ok = dev.Start();
    if (old > 0) prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(old), 0, 0, 0);
    if (!ok) error = "cannot start the simulated device: " + why;
    return ok;
}

std::string LoadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " " + b + " " + c;
}

double ProcessCpuMs() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    auto ms = [](const timeval& tv) { return tv.tv_sec * 1000.0 + tv.tv_usec / 1000.0; };
    return ms(ru.ru_utime) + ms(ru.ru_stime);
}

long PeakRssKiB() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

std::set<long> ListTasks() {
    std::set<long> tids;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') tids.insert(std::strtol(e->d_name, nullptr, 10));
        }
        closedir(d);
    }
    return tids;
}

double ThreadCpuMs(long tid) {
    if (tid <= 0) return 0.0;
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/schedstat");
    double ns = 0;
    if (in >> ns) return ns / 1e6;
    return 0.0;
}

double ReaderCpuMs() {
    double ms = 0;
    for (long tid : ListTasks()) {
        std::ifstream comm("/proc/self/task/" + std::to_string(tid) + "/comm");
        std::string name;
        if (std::getline(comm, name) && name == "serial-read") ms += ThreadCpuMs(tid);
    }
    return ms;
}

}  // namespace bench
