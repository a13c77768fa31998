// The page rig's set-up and clean-up.
#include "support/PageRig.h"

#include "image/HexWriter.h"
#include "serial/PortTable.h"
#include "serial/Serial.h"
#include "support/ResetController.h"

std::string MakeHex(const std::vector<uint8_t>& data, uint32_t base, const std::string& version,
                    size_t recordLen) {
    return WriteIntelHex(data, base, version, recordLen);
}

bool CPageRig::StartDevice(const sim::Options& opts) {
    dev = std::make_unique<sim::CDevice>(opts);
    if (!dev->CreatePty(&port) || !dev->Start()) return false;
    serialports::SetPortTable({port});
    return true;
}

bool CPageRig::StartPage(uint32_t probeMs) {
    wnd.ForgetEvents();
    PageConfig cfg{.payloadDir = dir.Path(), .logPath = dir.File("KalvoLog.txt")};
    page = std::make_unique<CKalvoDlg>(&wnd, cfg);
    loop.Post([this] { page->OnInitDialog(); });
    return probeMs == 0 || WaitEvent(PageEvent::ProbeAnswered, probeMs);
}

void CPageRig::StopPage() {
    if (page) page->OnDestroy();
    page.reset();
    loop.RunPending();
}

void CPageRig::Reset() {
    StopPage();
    if (dev) dev->Stop();
    testsupport::ResetController();
    serialports::SetPortTable({});
}

PageEvent CPageRig::Run() {
    wnd.ForgetEvents();
    Press();
    // Beyond the longest bound of the page: the wait for a ready frame.
    WaitFor([this] { return wnd.Outcome() != PageEvent::ProbeAnswered; }, 2 * READY_WAIT_MS);
    // The UI thread hands the stops and the close of a failed run on: wait for them too.
    if (page) page->DrainChores();
    return wnd.Outcome();
}

std::vector<uint8_t> CPageRig::CommandsAfterProbe() {
    auto cmds = dev->GetReport().commands;
    size_t i = 0;
    while (i < cmds.size() && cmds[i] == CMD_PROBE) ++i;
    return std::vector<uint8_t>(cmds.begin() + static_cast<long>(i), cmds.end());
}

void PageTest::Start(const Payloads& p, sim::Options opts, bool waitProbe) {
    if (!p.hex.empty()) WritePayload(PAYLOAD_FW, p.hex);
    if (!p.edog.empty()) WritePayload(PAYLOAD_EDOG, p.edog);
    if (!p.music.empty()) WritePayload(PAYLOAD_MUSIC, p.music);
    if (!p.radar.empty()) WritePayload(PAYLOAD_RADAR, p.radar);
    ASSERT_TRUE(StartDevice(opts));
    ASSERT_TRUE(StartPage(waitProbe ? 20000 : 0));
    // The button is offered only with a payload to write.
    bool any = !(p.hex.empty() && p.edog.empty() && p.music.empty() && p.radar.empty());
    if (waitProbe) {
        ASSERT_EQ(page->IsButtonEnabled(), any);
    }
}
