// The page, the controller and the simulated device over a real pseudo-terminal, on a UI loop of
// the test's own, with a window system that records what the page shows and reports. The page
// tests, the fault tests and the soak tests all run on this rig.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "app/KalvoDlg.h"
#include "app/PayloadTable.h"
#include "app/UiLoop.h"
#include "platform/Time.h"
#include "sim/Device.h"
#include "sim/Pattern.h"
#include "support/TestMain.h"

using sim::Pattern;

// Intel HEX of data at base in records of recordLen bytes, followed by the version tag.
std::string MakeHex(const std::vector<uint8_t>& data, uint32_t base, const std::string& version,
                    size_t recordLen = 16);

// A window system on a UI loop that records what the page shows and reports; stretch lengthens
// the page's timers (a test may speed the pauses up more than the reply timer).
class CRecordingWindow : public CLoopWindow {
public:
    explicit CRecordingWindow(CUiLoop& loop, double stretch = 1.0)
        : CLoopWindow(loop), m_stretch(stretch) {}

    void SetTimer(uint32_t id, uint32_t ms) override {
        Record([&] { m_lastTimer[id] = ms; });
        CLoopWindow::SetTimer(id, static_cast<uint32_t>(ms * m_stretch));
    }
    // Before the page starts: its timers last stretch times as long.
    void SetStretch(double stretch) { m_stretch = stretch; }
    // The period the page last set for a timer, before stretching.
    uint32_t LastTimer(uint32_t id) {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_lastTimer.count(id) ? m_lastTimer[id] : 0;
    }
    void ShowStatusText(const std::string& text) override {
        Record([&] { m_texts.push_back(text); });
        CLoopWindow::ShowStatusText(text);
    }
    void SetProgressPos(int pos) override {
        Record([&] { m_positions.push_back(pos); });
        CLoopWindow::SetProgressPos(pos);
    }
    void MessageBox(const std::string& text, const std::string& caption) override {
        Record([&] { m_boxes.push_back(caption + ": " + text); });
    }
    // The user's OK comes at once, or, with HoldBoxes, when the test says so.
    void MessageBoxModal(const std::string& text, const std::string& caption,
                         std::function<void()> onClosed) override {
        Record([&] { m_boxes.push_back(caption + ": " + text); });
        std::unique_lock<std::mutex> lock(m_mtx);
        if (!m_bHoldBoxes) {
            lock.unlock();
            if (onClosed) onClosed();
            return;
        }
        m_held.push_back(std::move(onClosed));
    }
    void HoldBoxes() {
        Record([&] { m_bHoldBoxes = true; });
    }
    void CloseBoxes() {
        std::vector<std::function<void()>> held;
        Record([&] { held.swap(m_held); });
        for (auto& fn : held)
            if (fn) fn();
    }
    void OnPageEvent(PageEvent event, const std::string&) override {
        Record([&] { m_events.push_back(event); });
    }
    void OnPayloadProgress(int payload, int percent) override {
        Record([&] { m_progress.emplace_back(payload, percent); });
    }
    void OnPayloadOutcome(int payload, PayloadOutcome outcome) override {
        Record([&] { m_outcomes.emplace_back(payload, outcome); });
    }
    std::vector<std::pair<int, int>> Progress() { return Copy(m_progress); }
    std::vector<std::pair<int, PayloadOutcome>> Outcomes() { return Copy(m_outcomes); }
    void ShowNoticeLine(const std::string& line) override {
        Record([&] { m_strNotice = line; });
    }
    // What the line under the pane says now.
    std::string Notice() {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_strNotice;
    }

    bool Saw(PageEvent e) {
        std::lock_guard<std::mutex> lock(m_mtx);
        return std::find(m_events.begin(), m_events.end(), e) != m_events.end();
    }
    bool ShowedText(const std::string& t) {
        std::lock_guard<std::mutex> lock(m_mtx);
        return std::find(m_texts.begin(), m_texts.end(), t) != m_texts.end();
    }
    // The first event that ends a run; ProbeAnswered while none has come.
    PageEvent Outcome() {
        std::lock_guard<std::mutex> lock(m_mtx);
        for (PageEvent e : m_events)
            if (e != PageEvent::ProbeAnswered && e != PageEvent::VersionWarning &&
                e != PageEvent::WaitingForDevice && e != PageEvent::PortUnusable)
                return e;
        return PageEvent::ProbeAnswered;
    }
    void ForgetEvents() {
        Record([&] { m_events.clear(); });
    }
    std::vector<int> Positions() { return Copy(m_positions); }
    std::vector<std::string> Boxes() { return Copy(m_boxes); }

private:
    template <class F>
    void Record(F f) {
        std::lock_guard<std::mutex> lock(m_mtx);
        f();
    }
    template <class T>
    std::vector<T> Copy(const std::vector<T>& v) {
        std::lock_guard<std::mutex> lock(m_mtx);
        return v;
    }

    double m_stretch;
    std::mutex m_mtx;
    std::vector<std::string> m_texts;
    std::vector<int> m_positions;
    std::vector<std::string> m_boxes;
    std::vector<PageEvent> m_events;
    std::vector<std::pair<int, int>> m_progress;
    std::vector<std::pair<int, PayloadOutcome>> m_outcomes;
    std::string m_strNotice;
    bool m_bHoldBoxes = false;
    std::map<uint32_t, uint32_t> m_lastTimer;
    std::vector<std::function<void()>> m_held;
};

// One device, one loop, one page at a time. Going, it ends the page and the device and puts the
// controller and the port table back.
class CPageRig {
public:
    explicit CPageRig(double timerStretch = 1.0) : wnd(loop, timerStretch) {}
    ~CPageRig() { Reset(); }

    // The payload file of a PayloadKind, in the rig's payload directory.
    std::string PayloadPath(int which) const { return dir.File(kPayloads[which].file); }
    template <class Bytes>
    void WritePayload(int which, const Bytes& bytes) {
        dir.Write(kPayloads[which].file, bytes);
    }
    // The device on a new pseudo-terminal, the only entry of the port table.
    bool StartDevice(const sim::Options& opts = {});
    // A page as the program starts it; with probeMs, true once the device answered the probe.
    bool StartPage(uint32_t probeMs);
    void StopPage();
    void Reset();

    // Runs until pred holds or ms of program time have passed (a test may wait so on purpose).
    bool RunUntil(const std::function<bool()>& pred, uint32_t ms = 60000) {
        return loop.RunUntil(pred, ms);
    }
    // A wait for what must come: ms only keeps a broken build from hanging, so it is stretched
    // fivefold for a sanitizer build on a loaded machine.
    bool WaitFor(const std::function<bool()>& pred, uint32_t ms = 60000) {
        return loop.RunUntil(pred, static_cast<uint32_t>(std::min<uint64_t>(ms * 5ull, 3600000)));
    }
    bool WaitEvent(PageEvent e, uint32_t ms = 60000) {
        return WaitFor([&] { return wnd.Saw(e); }, ms);
    }
    void Press() {
        loop.Post([this] { page->OnBnClickedUpdate(); });
    }
    // Presses the button and runs until the run ends (bounded); the event that ended it.
    PageEvent Run();
    std::string Text() const { return page->Status().GetText(); }
    // Codes the device received after the probe.
    std::vector<uint8_t> CommandsAfterProbe();

    testsupport::TempDir dir;
    CUiLoop loop;
    CRecordingWindow wnd;
    std::unique_ptr<sim::CDevice> dev;
    std::unique_ptr<CKalvoDlg> page;
    std::string port;
};

// The payload files of a page test; an empty entry leaves its file out.
struct Payloads {
    std::string hex;
    std::vector<uint8_t> edog, music, radar;
};

// A test of the page on the rig, with time ten times faster: the 2500 ms reply timer lasts 250 ms.
class PageTest : public testing::Test, protected CPageRig {
protected:
    static constexpr double kScale = 0.1;

    void SetUp() override { plat::SetTimeScale(kScale); }
    void TearDown() override {
        Reset();
        plat::SetTimeScale(1.0);
    }
    // Writes the payloads and starts the device and the page; waits for the probe answer unless
    // told not to.
    void Start(const Payloads& p, sim::Options opts = {}, bool waitProbe = true);
};
