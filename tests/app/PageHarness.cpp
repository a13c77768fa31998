#include "PageHarness.h"

#include <cstdio>

std::string MakeHex(const std::vector<uint8_t>& data, uint32_t base, const std::string& version,
                    size_t recordLen) {
    auto line = [](uint8_t type, uint16_t addr, const uint8_t* d, size_t n) {
        char buf[16];
        std::string s = ":";
        uint8_t sum = static_cast<uint8_t>(n + (addr >> 8) + (addr & 0xFF) + type);
        std::snprintf(buf, sizeof buf, "%02X%04X%02X", static_cast<unsigned>(n), addr, type);
        s += buf;
        for (size_t i = 0; i < n; ++i) {
            std::snprintf(buf, sizeof buf, "%02X", d[i]);
            s += buf;
            sum = static_cast<uint8_t>(sum + d[i]);
        }
        std::snprintf(buf, sizeof buf, "%02X\r\n", static_cast<uint8_t>(-sum));
        return s + buf;
    };
    std::string out;
    uint32_t upper = 0xFFFFFFFF;
    for (size_t off = 0; off < data.size(); off += recordLen) {
        uint32_t addr = base + static_cast<uint32_t>(off);
        if (addr >> 16 != upper) {
            upper = addr >> 16;
            const uint8_t u[2] = {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)};
            out += line(0x04, 0, u, 2);
        }
        out += line(0x00, static_cast<uint16_t>(addr), data.data() + off,
                    std::min(recordLen, data.size() - off));
    }
    const uint8_t start[4] = {0x08, 0x00, 0x01, 0x01};
    out += line(0x05, 0, start, 4);
    return out + ":00000001FF\r\n" + version;
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
    if (p.withEdog) dir.Write("flagdata.bin", p.edog);
    if (p.withMusic) dir.Write("audioHead.bin", p.music);
    if (p.withRadar) dir.Write("rdfw.bin", p.radar);
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
