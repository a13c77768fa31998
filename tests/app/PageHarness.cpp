#include "PageHarness.h"

#include "image/HexWriter.h"
#include "serial/PortTable.h"

std::string MakeHex(const std::vector<uint8_t>& data, uint32_t base, const std::string& version,
                    size_t recordLen) {
    return WriteIntelHex(data, base, version, recordLen);
}

std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : v) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    return v;
}

void PageTest::Start(const Payloads& p, sim::Options opts, bool waitProbe) {
    if (!p.hex.empty()) dir.Write("DE7811_project.hex", p.hex);
    if (!p.edog.empty()) dir.Write("flagdata.bin", p.edog);
    if (!p.music.empty()) dir.Write("audioHead.bin", p.music);
    if (!p.radar.empty()) dir.Write("rdfw.bin", p.radar);
    dev = std::make_unique<sim::CDevice>(opts);
    ASSERT_TRUE(dev->CreatePty(&port));
    ASSERT_TRUE(dev->Start());
    serialports::SetPortTable({port});
    PageConfig cfg;
    cfg.payloadDir = dir.Path();
    cfg.logPath = dir.File("KalvoLog.txt");
    page = std::make_unique<CKalvoDlg>(&wnd, cfg);
    loop.Post([this] { page->OnInitDialog(); });
    if (waitProbe) {
        ASSERT_TRUE(WaitEvent(PageEvent::ProbeAnswered, 20000));
        ASSERT_TRUE(page->IsButtonEnabled());
    }
}

void PageTest::TearDown() {
    if (page) {
        page->OnDestroy();
        page.reset();
    }
    loop.RunPending();
    if (dev) dev->Stop();
    g_ISPCtrl.m_nRunState.store(2);
    g_ISPCtrl.m_dwFlashSizeKB.store(512);
    g_ISPCtrl.m_nVerifyIndex.store(0);
    serialports::SetPortTable({});
    plat::SetTimeScale(1.0);
}

std::vector<uint8_t> PageTest::CommandsAfterProbe() {
    auto cmds = dev->GetReport().commands;
    size_t i = 0;
    while (i < cmds.size() && cmds[i] == 0x45) ++i;
    return std::vector<uint8_t>(cmds.begin() + static_cast<long>(i), cmds.end());
}
