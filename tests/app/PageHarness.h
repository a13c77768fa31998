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
#include "support/TestMain.h"

class CRecordingWindow : public CLoopWindow {
public:
    using CLoopWindow::CLoopWindow;

    void ShowStatusText(const std::string& text) override {
        {
            std::lock_guard<std::mutex> lock(m_mtx);
            texts.push_back(text);
        }
        CLoopWindow::ShowStatusText(text);
    }
    void SetProgressPos(int pos) override {
        {
            std::lock_guard<std::mutex> lock(m_mtx);
            positions.push_back(pos);
        }
        CLoopWindow::SetProgressPos(pos);
    }
    void MessageBox(const std::string& text, const std::string& caption) override {
        std::lock_guard<std::mutex> lock(m_mtx);
        boxes.push_back(caption + ": " + text);
    }
    void OnPageEvent(PageEvent event, const std::string&) override {
        std::lock_guard<std::mutex> lock(m_mtx);
        events.push_back(event);
    }

    bool Saw(PageEvent e) {
        std::lock_guard<std::mutex> lock(m_mtx);
        for (PageEvent x : events)
            if (x == e) return true;
        return false;
    }
    bool ShowedText(const std::string& t) {
        std::lock_guard<std::mutex> lock(m_mtx);
        for (const auto& x : texts)
            if (x == t) return true;
        return false;
    }
    std::vector<std::string> Texts() {
        std::lock_guard<std::mutex> lock(m_mtx);
        return texts;
    }
    std::vector<int> Positions() {
        std::lock_guard<std::mutex> lock(m_mtx);
        return positions;
    }
    std::vector<std::string> Boxes() {
        std::lock_guard<std::mutex> lock(m_mtx);
        return boxes;
    }

private:
    std::mutex m_mtx;
    std::vector<std::string> texts;
    std::vector<int> positions;
    std::vector<std::string> boxes;
    std::vector<PageEvent> events;
};

// Payload files by name; an empty entry leaves the file out.
struct Payloads {
    std::string hex;
    std::vector<uint8_t> edog, music, radar;
    bool withEdog = false, withMusic = false, withRadar = false;
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
