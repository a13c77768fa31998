// The page, the controller and the simulated device over a pseudo-terminal, for the fault suite
// and the soak test: payloads per phase, a window that records what the page shows, the terminal
// face in-process, and the process's thread count and resident memory.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/KalvoDlg.h"
#include "app/UiLoop.h"
#include "sim/Device.h"
#include "support/TestMain.h"

enum Phase { PH_FW, PH_EDOG, PH_MUSIC, PH_RADAR, PH_COUNT };

struct PhaseInfo {
    const char* name;
    const char* file;
    uint8_t dataCmd;  // 0x06 for the firmware
    // Host frame number of the first data frame when it is the only payload (the probe is 1);
    // its answer has the same number.
    int firstData;
    size_t chunk;  // bytes per data frame
};
extern const PhaseInfo kPhases[PH_COUNT];

std::string MakeHex(const std::vector<uint8_t>& data, uint32_t base, const std::string& version);
std::vector<uint8_t> Pattern(size_t n, uint32_t seed);
int ThreadCount();
size_t ResidentKiB();
// Waits (bounded) until the thread count is back at most at n; the count then.
int SettleThreads(int n);

class CFaultWindow : public CLoopWindow {
public:
    // stretch lengthens the page's timers (the soak test runs its pauses fast, not its time-outs).
    explicit CFaultWindow(CUiLoop& loop, double stretch = 1.0)
        : CLoopWindow(loop), m_stretch(stretch) {}
    void SetTimer(uint32_t id, uint32_t ms) override {
        CLoopWindow::SetTimer(id, static_cast<uint32_t>(ms * m_stretch));
    }
    void MessageBox(const std::string& text, const std::string& caption) override;
    void OnPageEvent(PageEvent event, const std::string& detail) override;
    bool Saw(PageEvent e);
    // The first event that ends a run, or ProbeAnswered when none has come.
    PageEvent Outcome();
    std::vector<std::string> Boxes();
    void Forget();

private:
    double m_stretch;
    std::mutex m_mtx;
    std::vector<PageEvent> m_events;
    std::vector<std::string> m_boxes;
};

// One device, one loop, one page at a time.
class CRig {
public:
    explicit CRig(double timerStretch = 1.0) : wnd(loop, timerStretch) {}
    ~CRig() { StopAll(); }

    // Writes the payload files of the given phases.
    void WritePayloads(const std::vector<Phase>& phases, size_t rawBytes = 0);
    bool StartDevice(const sim::Options& o);
    // A page as the program starts it; true once the device answered the probe.
    bool StartPage();
    void StopPage();
    void StopAll();
    void Press() {
        loop.Post([this] { page->OnBnClickedUpdate(); });
    }
    bool RunUntil(const std::function<bool()>& pred, uint32_t ms = 60000) {
        return loop.RunUntil(pred, ms);
    }
    // Runs until a run ends (bounded); the event that ended it.
    PageEvent WaitOutcome(uint32_t ms = 60000);
    // Data frames of the phase the device carried out, after checking that their bytes are the
    // payload's from its start (nothing lost, repeated or reordered); -1 when they are not.
    int ReceivedPrefix(Phase ph);

    testsupport::TempDir dir;
    CUiLoop loop;
    CFaultWindow wnd;
    std::unique_ptr<sim::CDevice> dev;
    std::unique_ptr<CKalvoDlg> page;
    std::string port;
    std::vector<uint8_t> data[PH_COUNT];  // the firmware's flash bytes, the raw files' bytes
};

// The terminal face in-process on the rig's device and payloads; the exit code and what it
// printed.
int RunConsole(CRig& rig, std::string& out);
// A status text as the terminal face prints it.
std::string ForTerminal(const std::string& text);
