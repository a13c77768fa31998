// Operations besides the update: chip information, flash read-out, erase, the baud handshake,
// and the verify results.
#include <fstream>

#include "support/PageRig.h"

namespace {

TEST_F(PageTest, ChipInformation) {
    Start(Payloads{});
    loop.Post([this] { page->StartChipInfo(); });
    ASSERT_TRUE(WaitEvent(PageEvent::ServiceDone, 20000));
    std::string text = page->Status().GetText();
    EXPECT_NE(text.find("芯片版本号："), std::string::npos) << text;
    EXPECT_NE(text.find("芯片Flash大小:512 KB\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("芯片ID:\r\n"), std::string::npos) << text;
    EXPECT_EQ(page->m_byState.load(), STATE_IDLE);
    std::vector<uint8_t> cmds = CommandsAfterProbe();
    EXPECT_EQ(cmds, std::vector<uint8_t>({0x01, 0x03, 0x07, 0x02}));
}

TEST_F(PageTest, FlashReadOutEqualsTheDeviceFlash) {
    sim::Options opts;
    opts.flashSizeCode = 0x06;  // 64 KiB keeps the read-out short
    Payloads p;
    p.hex = MakeHex(Pattern(4096, 12), 0x08000100, "0102");
    Start(p, opts);
    Press();
    ASSERT_TRUE(WaitEvent(PageEvent::RunComplete));
    loop.Post([this] { page->StartChipInfo(); });  // learns the flash size
    ASSERT_TRUE(WaitEvent(PageEvent::ServiceDone, 20000));
    EXPECT_EQ(g_ISPCtrl.m_dwFlashSizeKB.load(), 64u);
    std::string dump = dir.File("flash.bin");
    loop.Post([this, dump] { page->StartReadFlash(dump); });
    ASSERT_TRUE(WaitFor(
        [&] { return page->Status().GetText().find("当前数据读取完成") != std::string::npos; },
        30000));
    std::vector<uint8_t> flash = dev->Flash();
    flash.resize(64 * 1024);
    EXPECT_EQ(testsupport::ReadFile(dump), flash);
    EXPECT_EQ(page->m_byState.load(), STATE_IDLE);
}

TEST_F(PageTest, FlashReadOutIntoAnUnwritablePlaceEndsWithAMessage) {
    Start(Payloads{});
    loop.Post([this] { page->StartReadFlash("/nonexistent-dir/flash.bin"); });
    ASSERT_TRUE(WaitEvent(PageEvent::ServiceFailed, 20000));
    EXPECT_NE(page->Status().GetText().find("当前数据读取错误\r\n"), std::string::npos);
    EXPECT_EQ(page->m_byState.load(), STATE_IDLE);
    RunUntil([] { return false; }, 500);
    EXPECT_LT(dev->GetReport().framesIn, 10);  // the rest of the read-out was dropped
}

TEST_F(PageTest, EraseEndsWithItsMessage) {
    Start(Payloads{});
    loop.Post([this] { page->StartErase(); });
    ASSERT_TRUE(WaitEvent(PageEvent::ServiceDone, 20000));
    EXPECT_EQ(page->Status().GetText(), "擦除完成,请重新上电\r\n");
    std::vector<uint8_t> flash = dev->Flash();
    EXPECT_TRUE(std::all_of(flash.begin(), flash.end(), [](uint8_t b) { return b == 0xFF; }));
}

TEST_F(PageTest, BaudHandshakeSwitchesBothSides) {
    Start(Payloads{});
    loop.Post([this] { page->StartBaudHandshake(921600); });
    ASSERT_TRUE(WaitEvent(PageEvent::BaudReady, 20000));
    EXPECT_EQ(page->Status().GetText(), "初始波特率通信成功，开始传输数据!\r\n");
    EXPECT_EQ(g_ISPCtrl.m_serial.GetBaudRate(), 921600u);
    EXPECT_EQ(dev->GetReport().baud, 921600u);
    EXPECT_EQ(CommandsAfterProbe(), std::vector<uint8_t>({0x0F, 0x04, 0x0F}));
}

TEST_F(PageTest, HandshakeAtTheInitialRateAsksForTheFlashSize) {
    Start(Payloads{});
    loop.Post([this] { page->StartBaudHandshake(256000); });
    ASSERT_TRUE(WaitEvent(PageEvent::BaudReady, 20000));
    WaitFor([&] { return CommandsAfterProbe().size() >= 2; }, 5000);
    EXPECT_EQ(CommandsAfterProbe(), std::vector<uint8_t>({0x0F, 0x03}));
    EXPECT_EQ(g_ISPCtrl.m_serial.GetBaudRate(), 256000u);
}

// Verify results are fed straight to the handler: the device sends them only in its own mode.
TEST_F(PageTest, VerifyPassesOnEqualBytesAndFailsOnChangedOnes) {
    Payloads p;
    std::vector<uint8_t> fw = Pattern(48, 13);  // three records
    p.hex = MakeHex(fw, 0x08000000, "0101");
    Start(p);
    auto hex = page->HexFile();
    ASSERT_TRUE(hex);
    page->m_byState.store(STATE_BURN_FW);
    page->m_dwAckCount.store(0);
    for (int r = 0; r < 3; ++r) page->OnVerifyResult(fw.data() + 16 * r, 17);
    EXPECT_EQ(page->Status().GetText(), "已校验:100 % \r\n烧写完成,请重新上电\r\n");
    EXPECT_EQ(page->m_byState.load(), STATE_IDLE);

    page->ShowStatus("", 128);
    page->m_byState.store(STATE_BURN_FW);
    page->m_dwAckCount.store(0);
    std::vector<uint8_t> swapped(fw.begin(), fw.begin() + 16);
    std::swap(swapped[0], swapped[1]);  // same sum, different bytes
    page->OnVerifyResult(swapped.data(), 17);
    EXPECT_EQ(page->Status().GetText(), "校验失败\r\n");
    EXPECT_EQ(page->m_byState.load(), STATE_IDLE);
    EXPECT_EQ(g_ISPCtrl.m_nVerifyIndex.load(), 0);

    page->OnVerifyResult(fw.data(), 17);  // outside a burn: nothing shown
    EXPECT_EQ(page->Status().GetText(), "校验失败\r\n");
}

}  // namespace
