// The rig of the fault tests: the page and the terminal face against the simulated device over a
// pseudo-terminal, with the payloads as the fault table writes them.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>

#include "app/KalvoDlg.h"
#include "image/HexWriter.h"
#include "isp/IspCtrl.h"
#include "platform/Time.h"
#include "sim/Device.h"
#include "support/PageRig.h"
#include "support/Threads.h"
#include "ui/Options.h"
#include "ui/Session.h"
#include "ui/console/ConsoleFace.h"

namespace faultrig {
// The payloads by their rows in the payload table.
enum Phase { PH_FW = PAYLOAD_FW, PH_EDOG, PH_MUSIC, PH_RADAR, PH_COUNT };
inline const std::vector<Phase> kAll = {PH_FW, PH_EDOG, PH_MUSIC, PH_RADAR};

constexpr size_t kFwRecord = 16;  // bytes a firmware record, as FirmwareHex writes them

struct PhaseInfo {
    const char* name;
    int firstData;  // host frame number of the first data frame when it is the only payload
};
inline const PhaseInfo kPhases[PH_COUNT] = {
    {"Firmware", 4}, {"Edog", 3}, {"Music", 3}, {"Radar", 3}};

// Payload bytes per data frame.
inline size_t Chunk(Phase ph) {
    return ph == PH_FW ? kFwRecord : kPayloads[ph].chunk;
}

// Intel HEX at the start of flash, 16 bytes a record, with the version tag.
inline std::vector<uint8_t> FirmwareHex(const std::vector<uint8_t>& data) {
    std::string out = WriteIntelHex(data, 0x08000000, "0103");
    return {out.begin(), out.end()};
}

using testsupport::SettleThreads;
using testsupport::ThreadCount;

inline size_t ResidentKiB() {
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return static_cast<size_t>(resident * sysconf(_SC_PAGESIZE) / 1024);
}

// A status text as the terminal face prints it.
inline std::string ForTerminal(std::string s) {
    std::erase(s, '\r');
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

// The page rig with the payloads of the fault table and the terminal face.
struct CRig : CPageRig {
    using CPageRig::CPageRig;
    // Three data frames for each raw file unless rawBytes says otherwise; five for the firmware.
    void WritePayloads(const std::vector<Phase>& phases, size_t rawBytes = 0) {
        for (Phase ph : phases) {
            size_t n = ph == PH_FW ? 80 : rawBytes != 0 ? rawBytes : 2 * Chunk(ph) + 100;
            data[ph] = Pattern(n, ph + 1);
            WritePayload(ph, ph == PH_FW ? FirmwareHex(data[ph]) : data[ph]);
        }
    }
    // A page as the program starts it; true once the device answered the probe.
    bool StartPage() { return CPageRig::StartPage(50000); }
    // The terminal face in-process: its exit code, and what it printed in out.
    int RunFace(std::string& out, const std::function<void(UpdaterOptions&)>& adjust = {}) {
        UpdaterOptions opts{.ports = {port},
                            .payloadDir = dir.Path(),
                            .readFlash = "",
                            .headless = true,
                            .waitSeconds = 5};
        if (adjust) adjust(opts);
        CSession session(opts);
        std::string error;
        int code = -1;
        testing::internal::CaptureStdout();
        if (session.Prepare(error, code)) code = RunConsoleFace(session);
        out = testing::internal::GetCapturedStdout() + error;
        return code;
    }
    // Bytes of the payload the device holds; -1 unless they are its start, in order (the
    // firmware: one run of flash from its base).
    long Received(Phase ph) {
        dev->WaitIdle(50, 2000);
        std::vector<uint8_t> got = dev->RawPayload(kPayloads[ph].dataCode);
        if (ph == PH_FW) {
            sim::Report rep = dev->GetReport();
            if (rep.firmware.size() > 1) return -1;
            got = dev->Flash();
            got.resize(rep.firmware.empty() ? 0 : rep.firmware[0].length);
        }
        const std::vector<uint8_t>& want = data[ph];
        bool ok = got.size() <= want.size() && std::equal(got.begin(), got.end(), want.begin());
        return ok ? static_cast<long>(got.size()) : -1;
    }
    void ExpectIntact(const std::vector<Phase>& phases) {
        sim::Report rep = dev->GetReport();
        EXPECT_TRUE(rep.violations.empty()) << rep.violations.front();
        for (Phase ph : phases) EXPECT_EQ(Received(ph), long(data[ph].size())) << ph;
    }

    std::vector<uint8_t> data[PH_COUNT];  // the firmware's flash bytes, the raw files' bytes
};

class RigTest : public testing::Test {
protected:
    void TearDown() override {
        rig.reset();
        plat::SetTimeScale(1.0);
        EXPECT_LE(SettleThreads(m_nThreads), m_nThreads) << "threads left behind";
    }
    void NewRig(double timeScale, double timerStretch = 1.0) {
        plat::SetTimeScale(timeScale);
        rig = std::make_unique<CRig>(timerStretch);
    }
    int m_nThreads = ThreadCount();
    std::unique_ptr<CRig> rig;
};

}  // namespace faultrig
