// The page, the controller and the simulated device over a real pseudo-terminal, with a window
// system that records what the page shows.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/KalvoDlg.h"
#include "app/UiLoop.h"
#include "isp/IspCtrl.h"
#include "platform/Time.h"
#include "serial/Serial.h"
#include "sim/Device.h"
#include "support/RecordingWindow.h"
#include "support/TestMain.h"

// The payload files; an empty entry leaves its file out.
struct Payloads {
    std::string hex;
    std::vector<uint8_t> edog, music, radar;
};

std::string MakeHex(const std::vector<uint8_t>& data, uint32_t base, const std::string& version,
                    size_t recordLen = 16);
std::vector<uint8_t> Pattern(size_t n, uint32_t seed);

class PageTest : public testing::Test {
protected:
    // Time runs ten times faster: the 2500 ms reply timer lasts 250 ms.
    static constexpr double kScale = 0.1;

    void SetUp() override { plat::SetTimeScale(kScale); }
    void TearDown() override;

    // Starts the device and the page; waits for the probe answer unless told not to.
    void Start(const Payloads& p, sim::Options opts = {}, bool waitProbe = true);
    bool RunUntil(const std::function<bool()>& pred, uint32_t ms = 60000) {
        return loop.RunUntil(pred, ms);
    }
    bool WaitEvent(PageEvent e, uint32_t ms = 60000) {
        return RunUntil([&] { return wnd.Saw(e); }, ms);
    }
    void Press() {
        loop.Post([this] { page->OnBnClickedUpdate(); });
    }
    // Codes the device received after the probe.
    std::vector<uint8_t> CommandsAfterProbe();

    testsupport::TempDir dir;
    CUiLoop loop;
    CRecordingWindow wnd{loop};
    std::unique_ptr<sim::CDevice> dev;
    std::unique_ptr<CKalvoDlg> page;
    std::string port;
};
