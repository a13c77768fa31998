// The controller's receive path with the page's result handling behind it, in-process and
// without a port: the first byte puts the page and the controller into a state, the rest arrives
// in chunks, either as bytes from the line or (first byte 162 and up) as results handed straight
// to the page's handlers, a code and its data a chunk. Nothing may crash, hang or read past a
// buffer, the buffers stay bounded and the page always ends in one of its states. Each input is
// cheap: no port, no thread (a task manager that only queues stands in), no pause that sleeps.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/KalvoDlg.h"
#include "app/PayloadTable.h"
#include "app/WindowSystem.h"
#include "fuzz/FuzzTargets.h"
#include "isp/IspCtrl.h"
#include "platform/Time.h"

namespace {

const uint8_t kStates[] = {STATE_IDLE,       STATE_BURN_FW,    STATE_CHIP_INFO,
                           STATE_READ_FLASH, STATE_ERASE,      STATE_BURN_EDOG,
                           STATE_BURN_MUSIC, STATE_BURN_RADAR, STATE_STOPPING};
constexpr size_t kStateCount = sizeof kStates;

// Inputs from this first byte on go to the page's handlers directly.
constexpr uint8_t kDirectFrom = kStateCount * 6 * 3;

bool KnownState(uint8_t s) {
    for (uint8_t k : kStates)
        if (k == s) return true;
    return false;
}

// One frame per payload, so that a single acknowledgment completes it and the chaining to the
// next payload runs too.
class CPayloadDir {
public:
    CPayloadDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "kalvo-fuzz-XXXXXX").string();
        if (mkdtemp(tmpl.data()) == nullptr) return;
        m_path = tmpl;
        Write(PAYLOAD_FW, ":020000040800F2\r\n:0400000001020304F2\r\n:00000001FF\r\n0103");
        Write(PAYLOAD_EDOG, "edog");
        Write(PAYLOAD_MUSIC, "music");
        Write(PAYLOAD_RADAR, "radar");
    }
    ~CPayloadDir() {
        std::error_code ec;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
    }
    const std::string& Path() const { return m_path; }

private:
    void Write(int which, const char* text) {
        std::ofstream(m_path + "/" + kPayloads[which].file, std::ios::binary) << text;
    }
    std::string m_path;
};

// The page's queue without its worker: what the handlers queue, clear, finish and restart stays
// in this input, and no thread starts.
class CQueueOnly : public CCmdTaskManager {
public:
    CQueueOnly() : CCmdTaskManager(nullptr) {}
    int Start() override { return ClearTask(); }
    int Stop() override { return ClearTask(); }
    int Restart() override { return ClearTask(); }
};

// A window that keeps nothing. A loop window would queue a copy of the whole status text for every
// change, and nothing runs its loop here: the copies piled up over an input. Posted calls (the
// link-failure clean-up) start the port search thread, so they are dropped as before.
class CNullWindow : public IWindowSystem {
public:
    void ShowStatusText(const std::string&) override {}
    void SetProgressRange(int, int) override {}
    void SetProgressPos(int) override {}
    void EnableProgress(bool) override {}
    void EnableUpdateButton(bool) override {}
    void SetTimer(uint32_t, uint32_t) override {}
    void KillTimer(uint32_t) override {}
    void SetTimerHandler(std::function<void(uint32_t)>) override {}
    void MessageBox(const std::string&, const std::string&) override {}
    void PostToUi(std::function<void()>) override {}
};

// As the controller hands results on: exactly dataLen readable bytes, and zeros when there are
// none.
void HandResult(CKalvoDlg& page, const uint8_t* chunk, size_t n) {
    static const uint8_t kNone[4] = {0, 0, 0, 0};
    std::vector<uint8_t> data(chunk + 1, chunk + n);
    // The controller's own notices come on their own path.
    const bool notice = chunk[0] >= NOTIFY_DEVICE_ERROR && chunk[0] <= NOTIFY_WRITE_FAILED;
    (notice ? &CKalvoDlg::OnCmdNotify : &CKalvoDlg::OnCmdResult)(
        data.empty() ? kNone : data.data(), &page, chunk[0], static_cast<int32_t>(data.size()));
}

}  // namespace

int FuzzReceive(const uint8_t* data, size_t size) {
    static CPayloadDir dir;
    if (size < 1 || dir.Path().empty()) return 0;
    const uint8_t sel = data[0];
    const double scale = plat::GetTimeScale();

    CQueueOnly tasks;
    CNullWindow wnd;
    PageConfig cfg;
    cfg.payloadDir = dir.Path();
    cfg.scanPorts = false;
    CKalvoDlg page(&wnd, cfg);
    page.FindPayloadFiles();

    g_ISPCtrl.m_rxStream.Clear();
    g_ISPCtrl.m_rxReply.Clear();
    g_ISPCtrl.m_byReplyState = static_cast<uint8_t>(sel / (kStateCount * 6) % 3);
    g_ISPCtrl.m_nRunState.store(static_cast<int32_t>(sel / kStateCount % 3));
    g_ISPCtrl.m_nVerifyIndex.store(0);
    g_ISPCtrl.m_dwFlashSizeKB.store(512);
    g_ISPCtrl.SetResultCallback(&CKalvoDlg::OnCmdResult, &CKalvoDlg::OnCmdNotify);
    g_ISPCtrl.m_pfnResult.store(&CKalvoDlg::OnCmdResult);
    g_ISPCtrl.m_pfnNotify.store(&CKalvoDlg::OnCmdNotify);
    g_ISPCtrl.m_pResultCtx.store(&page);
    page.m_byState.store(kStates[sel % kStateCount]);
    page.m_bBurnArmed.store(sel / (kStateCount * 3) % 2);

    // The pauses after a finished payload pass at once.
    plat::SetTimeScale(1e-9);
    fuzz::CChunker chunks(data + 1, size - 1);
    const uint8_t* chunk = nullptr;
    size_t n = 0;
    while (chunks.Next(chunk, n)) {
        if (sel >= kDirectFrom)
            HandResult(page, chunk, n);
        else
            g_ISPCtrl.OnReceive(chunk, static_cast<uint32_t>(n));
        if (g_ISPCtrl.m_rxStream.m_nLen >= 256) fuzz::Fail("receive", "frame stream not bounded");
        if (g_ISPCtrl.m_rxReply.m_nLen > CISPCtrl::MAX_REPLY_BYTES)
            fuzz::Fail("receive", "reply buffer not bounded");
        if (!KnownState(page.m_byState.load())) fuzz::Fail("receive", "page in an unknown state");
    }
    plat::SetTimeScale(scale);

    page.OnDestroy();
    g_ISPCtrl.m_pfnResult.store(nullptr);
    g_ISPCtrl.m_pfnNotify.store(nullptr);
    g_ISPCtrl.m_nRunState.store(2);
    g_ISPCtrl.m_rxStream.Clear();
    g_ISPCtrl.m_rxReply.Clear();
    g_ISPCtrl.m_byReplyState = 0;
    return 0;
}
