// The simulator's floor: the firmware exchange of the update run, driven by a minimal client on
// the line with nothing of the program in between.
#include <poll.h>

#include "bench/update/Run.h"
#include "isp/Frame.h"
#include "platform/SerialDevice.h"
#include "sim/Pattern.h"

namespace bench {

FloorResult RunFloor(size_t records, unsigned long simSlackNs) {
    FloorResult res;
    sim::Options opts;
    opts.lineRate = true;
    opts.baud = kBaud;
    sim::CDevice dev(opts);
    std::string path;
    if (!StartDevice(dev, simSlackNs, path, res.error)) return res;
    int err = 0;
    int fd = plat::SerialOpen(path, &err);
    if (fd < 0 || !plat::SerialConfigure(fd, kBaud, &err)) {
        if (fd >= 0) plat::SerialClose(fd);
        res.error = "cannot open " + path;
        return res;
    }
    auto exchange = [&](std::vector<uint8_t> frame, size_t answer) {
        frame.push_back(isp::FrameChecksum(frame.data(), static_cast<int32_t>(frame.size())));
        size_t done = 0;
        while (done < frame.size()) {
            long n = plat::SerialWrite(fd, frame.data() + done, frame.size() - done, &err);
            if (n < 0) return false;
            done += static_cast<size_t>(n);
            if (done < frame.size()) plat::SerialWaitWrite(fd, std::chrono::milliseconds(100));
        }
        uint8_t buf[256];
        size_t got = 0;
        while (got < answer) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 2000) <= 0) return false;
            long n = plat::SerialRead(fd, buf, sizeof buf, &err);
            if (n < 0) return false;
            got += static_cast<size_t>(n);
        }
        return true;
    };
    bool ok = exchange({0xAC, 0x07, 0x00, 0x1C, 0x01, 0x03}, 15) &&
              exchange({0xAC, 0x07, 0x00, 0x0D, 0x1B, 0x02}, 7);
    sim::Report r0 = dev.GetReport();
    Clock::time_point t0 = Clock::now();
    std::vector<uint8_t> data = sim::Pattern(records * 16, 99);
    for (size_t i = 0; ok && i < records; ++i) {
        uint32_t addr = 0x08000000 + static_cast<uint32_t>(i * 16);
        std::vector<uint8_t> f = {0xAC,
                                  26,
                                  0x00,
                                  0x06,
                                  static_cast<uint8_t>(addr),
                                  static_cast<uint8_t>(addr >> 8),
                                  static_cast<uint8_t>(addr >> 16),
                                  static_cast<uint8_t>(addr >> 24),
                                  16};
        f.insert(f.end(), data.begin() + static_cast<long>(i * 16),
                 data.begin() + static_cast<long>(i * 16 + 16));
        ok = exchange(f, 14);
    }
    Clock::time_point t1 = Clock::now();
    sim::Report r1 = dev.GetReport();
    if (ok) ok = exchange({0xAC, 0x05, 0x00, 0x1A}, 14);
    plat::SerialClose(fd);
    dev.Stop();
    if (!ok) {
        res.error = "the floor exchange failed";
        return res;
    }
    Row& row = res.row;
    row.name = "sim floor";
    row.unit = "16-byte records, minimal client";
    row.frames = static_cast<int>(records);
    row.bytesIn = r1.bytesIn - r0.bytesIn;
    row.bytesOut = r1.bytesOut - r0.bytesOut;
    row.measuredMs = Ms(t1 - t0);
    row.wireMs = WireMs(row.bytesIn + row.bytesOut);
    size_t from = std::min(r0.turnaroundMicros.size() + 1, r1.turnaroundMicros.size());
    row.turnaround = Summarise(std::vector<double>(
        r1.turnaroundMicros.begin() + static_cast<long>(from), r1.turnaroundMicros.end()));
    res.ok = true;
    return res;
}

}  // namespace bench
