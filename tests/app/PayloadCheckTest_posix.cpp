// Payload files against the simulated device: a refused file is named before any press and
// nothing but the probe reaches the device; good images are written intact; a file that changes
// while the device prepares is still sent as it was checked; the folder is watched while the
// page waits.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>

#include "image/HexCheck.h"
#include "platform/PayloadFile.h"
#include "support/HexLine.h"
#include "support/PageRig.h"

namespace {

using testsupport::HexLine;

const std::string kEof = ":00000001FF\r\n";

std::string Ext(uint16_t upper) {
    return HexLine(4, 0, {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)});
}

// Waits (bounded) until the page offers the button, or stops offering it.
bool WaitButton(CPageRig& rig, bool enabled, uint32_t ms = 20000) {
    return rig.WaitFor([&] { return rig.page->IsButtonEnabled() == enabled; }, ms);
}

class PayloadCheck : public PageTest {
protected:
    // A page with these files beside it, the device answering.
    void StartWith(const std::vector<std::pair<int, std::vector<uint8_t>>>& files) {
        for (const auto& [which, bytes] : files) WritePayload(which, bytes);
        ASSERT_TRUE(StartDevice());
        ASSERT_TRUE(StartPage(20000));
    }
    static std::vector<uint8_t> Of(const std::string& s) { return {s.begin(), s.end()}; }
};

TEST_F(PayloadCheck, ARefusedFileIsNamedBeforeThePressAndNothingButTheProbeIsSent) {
    std::mt19937 rng(20);
    auto image = [&](int records) {
        std::vector<uint8_t> data = Pattern(static_cast<size_t>(records) * 16, 5);
        return MakeHex(data, HEX_FLASH_BASE, "0203");
    };
    // A damaged line somewhere in an image of a few hundred records.
    std::string damaged = image(300);
    size_t line = 2 + rng() % 290, at = 0;
    for (size_t l = 1; l < line; ++l) at = damaged.find('\n', at) + 1;
    damaged[at + 9] = damaged[at + 9] == 'A' ? 'B' : 'A';
    const std::string lineName = "line " + std::to_string(line) + ": bad checksum";
    const std::string body = Ext(0x0800) + HexLine(0, 0, Pattern(16, 1));

    struct Case {
        const char* name;
        int which;
        std::vector<uint8_t> bytes;
        std::string reason;  // as the pane names it after the file name
    };
    const std::vector<Case> cases = {
        {"damaged line", PAYLOAD_FW, Of(damaged), ", " + lineName},
        {"start address only", PAYLOAD_FW, Of(HexLine(5, 0, {8, 0, 0, 0}) + kEof + "0203"),
         ": no data records"},
        {"no tag", PAYLOAD_FW, Of(body + kEof), ", line 4: the version tag"},
        {"cut short", PAYLOAD_FW, Of(image(40).substr(0, 700)), ", line 17: incomplete record"},
        {"outside the flash", PAYLOAD_FW, Of(Ext(0xF000) + HexLine(0, 0, {1}) + kEof + "0203"),
         ", line 2: address 0xF0000000 is outside"},
        {"written twice", PAYLOAD_FW, Of(body + HexLine(0, 8, Pattern(8, 2)) + kEof + "0203"),
         ", line 3: writes address 0x08000008 again"},
        {"segment address", PAYLOAD_FW, Of(HexLine(2, 0, {0x10, 0}) + body + kEof + "0203"),
         ", line 1: segment address"},
        {"unknown type", PAYLOAD_FW, Of(body + HexLine(9, 0, {1}) + kEof + "0203"),
         ", line 3: unknown record type 09"},
        {"data before type 04", PAYLOAD_FW, Of(HexLine(0, 0, {1, 2}) + kEof + "0203"),
         ", line 1: data before"},
        {"byte-order mark", PAYLOAD_FW, Of("\xEF\xBB\xBF" + body + kEof + "0203"),
         ", line 1: starts with a UTF-8 byte-order mark"},
        {"bare CR", PAYLOAD_FW, Of(Ext(0x0800).substr(0, 15) + "\r" + body + kEof + "0203"),
         ", line 1: a line ends in a bare CR"},
        {"no end-of-file record", PAYLOAD_FW, Of(body), ": no end-of-file record"},
        {"hex tag", PAYLOAD_FW, Of(body + kEof + "FFFF"), ", line 4: the version tag"},
        {"at 0x08100000", PAYLOAD_FW, Of(Ext(0x0810) + HexLine(0, 0, {1}) + kEof + "0203"),
         ", line 2: address 0x08100000 is outside"},
        {"empty camera database", PAYLOAD_EDOG, {}, ": empty"},
        {"empty sounds", PAYLOAD_MUSIC, {}, ": empty"},
        {"empty radar firmware", PAYLOAD_RADAR, {}, ": empty"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // A good file of another payload beside it is not written either.
        int other = c.which == PAYLOAD_EDOG ? PAYLOAD_MUSIC : PAYLOAD_EDOG;
        StartWith({{c.which, c.bytes}, {other, Pattern(5000, 3)}});
        const std::string named = std::string(kPayloads[c.which].file) + c.reason;
        EXPECT_FALSE(page->IsButtonEnabled());
        EXPECT_EQ(Text().rfind(TEXT_PAYLOAD_REFUSED, 0), 0u) << Text();
        EXPECT_NE(Text().find(named), std::string::npos) << Text();
        wnd.ForgetEvents();
        Press();
        ASSERT_TRUE(WaitEvent(PageEvent::FileError, 5000));
        dev->WaitIdle(50, 1000);
        EXPECT_TRUE(CommandsAfterProbe().empty());
        EXPECT_NE(Text().find(named), std::string::npos) << Text();
        EXPECT_FALSE(page->IsButtonEnabled());
        Reset();
        std::filesystem::remove(PayloadPath(c.which));
        std::filesystem::remove(PayloadPath(other));
    }
}

TEST_F(PayloadCheck, FilesThatAreNoPlainFilesAreRefusedWithoutWaiting) {
    // A FIFO would hold a blocking open for ever; a link to a device never ends.
    ASSERT_EQ(mkfifo(PayloadPath(PAYLOAD_FW).c_str(), 0600), 0);
    std::filesystem::create_symlink("/dev/zero", PayloadPath(PAYLOAD_EDOG));
    std::filesystem::create_directory(PayloadPath(PAYLOAD_MUSIC));
    // A sparse file one byte over the radar firmware's bound.
    {
        plat::CFile f;
        ASSERT_TRUE(f.Open(PayloadPath(PAYLOAD_RADAR), plat::CFile::modeCreate));
    }
    ASSERT_EQ(truncate(PayloadPath(PAYLOAD_RADAR).c_str(), static_cast<off_t>(RADAR_FILE_MAX + 1)),
              0);
    ASSERT_TRUE(StartDevice());
    ASSERT_TRUE(StartPage(20000));
    for (int i : {PAYLOAD_FW, PAYLOAD_EDOG, PAYLOAD_MUSIC})
        EXPECT_EQ(page->PayloadProblem(i), "not a regular file") << kPayloads[i].file;
    EXPECT_EQ(page->PayloadProblem(PAYLOAD_RADAR),
              "larger than 4 MiB, the most this payload takes");
    EXPECT_EQ(page->m_wPayloadTotal.load(), 0);
    EXPECT_FALSE(page->IsButtonEnabled());

    // Unreadable: root reads anything, so only another user sees the refusal.
    if (geteuid() != 0) {
        std::vector<uint8_t> bytes;
        std::string text;
        chmod(PayloadPath(PAYLOAD_RADAR).c_str(), 0);
        EXPECT_EQ(plat::ReadPayloadFile(PayloadPath(PAYLOAD_RADAR), 1, bytes, text),
                  plat::PayloadRead::PermissionDenied);
    }
}

TEST_F(PayloadCheck, UnusualButCorrectImagesAreWrittenIntact) {
    // Lowercase digits, LF and CR LF mixed, 255-byte and zero-length records, out of order, gaps,
    // 64 KiB segments crossed, the tag with a line end after it.
    std::vector<uint8_t> a = Pattern(255, 1), b = Pattern(16, 2), c = Pattern(255, 3),
                         d = Pattern(16, 4);
    std::string text = Ext(0x0800) + HexLine(0, 0x0200, a) + HexLine(0, 0x0000, b) +
                       HexLine(0, 0x1000, {}) + HexLine(0, 0xFFF0, d) + Ext(0x0801) +
                       HexLine(0, 0x0000, c) + HexLine(5, 0, {8, 0, 1, 0x21}) + kEof + "0203\r\n";
    std::string mixed;
    int n = 0;
    for (char ch : text) {
        if (ch == '\r' && ++n % 3 == 0) continue;
        mixed += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    }
    StartWith({{PAYLOAD_FW, Of(mixed)}});
    ASSERT_TRUE(page->IsButtonEnabled()) << Text();
    EXPECT_EQ(CPageRig::Run(), PageEvent::RunComplete) << Text();
    sim::Report rep = dev->GetReport();
    EXPECT_TRUE(rep.violations.empty()) << rep.violations.front();
    std::vector<uint8_t> flash = dev->Flash();
    auto at = [&](uint32_t off, const std::vector<uint8_t>& want) {
        return std::equal(want.begin(), want.end(), flash.begin() + off);
    };
    EXPECT_TRUE(at(0x0200, a) && at(0x0000, b) && at(0xFFF0, d) && at(0x10000, c));
}

TEST_F(PayloadCheck, APayloadChangedWhileTheDevicePreparesIsSentAsItWasChecked) {
    // The device takes its time to erase after each begin command; meanwhile the files are cut
    // short, grown and rewritten. The reply timer at its real length: this run is long enough for
    // a loaded machine to stall a sanitizer build past a tenth of it.
    wnd.SetStretch(10);
    sim::Options slow;
    slow.readyDelayMs = 3000;
    std::vector<uint8_t> edog = Pattern(30000, 7), radar = Pattern(9000, 8);
    std::vector<uint8_t> fw = Pattern(4000, 9);
    WritePayload(PAYLOAD_FW, MakeHex(fw, HEX_FLASH_BASE, "0203"));
    WritePayload(PAYLOAD_EDOG, edog);
    WritePayload(PAYLOAD_RADAR, radar);
    ASSERT_TRUE(StartDevice(slow));
    ASSERT_TRUE(StartPage(20000));
    Press();
    auto begun = [&](uint8_t code) {
        auto cmds = dev->GetReport().commands;
        return std::find(cmds.begin(), cmds.end(), code) != cmds.end();
    };
    ASSERT_TRUE(WaitFor([&] { return begun(CMD_FW_BEGIN); }, 10000)) << Text();
    WritePayload(PAYLOAD_FW, MakeHex(Pattern(100, 1), HEX_FLASH_BASE, "0203"));
    WritePayload(PAYLOAD_EDOG, std::vector<uint8_t>(edog.begin(), edog.begin() + 1000));
    ASSERT_TRUE(WaitFor([&] { return begun(CMD_RADAR_BEGIN); }, 120000)) << Text();
    std::vector<uint8_t> grown = radar;
    grown.resize(radar.size() + 3000, 0xEE);
    WritePayload(PAYLOAD_RADAR, grown);
    ASSERT_TRUE(WaitEvent(PageEvent::RunComplete, 120000)) << Text();

    sim::Report rep = dev->GetReport();
    EXPECT_TRUE(rep.violations.empty()) << rep.violations.front();
    std::vector<uint8_t> flash = dev->Flash();
    EXPECT_TRUE(std::equal(fw.begin(), fw.end(), flash.begin()));
    EXPECT_EQ(dev->RawPayload(CMD_EDOG_DATA), edog);
    EXPECT_EQ(dev->RawPayload(CMD_RADAR_DATA), radar);
    EXPECT_EQ(rep.radar.announced, radar.size());
}

TEST_F(PayloadCheck, TheFolderIsWatchedWhileThePageWaits) {
    StartWith({});
    // No files: the pane names the folder, the button waits.
    EXPECT_FALSE(page->IsButtonEnabled());
    EXPECT_EQ(Text().rfind(TEXT_NO_PAYLOADS, 0), 0u) << Text();
    EXPECT_NE(Text().find(dir.Path()), std::string::npos) << Text();
    // A bad one arrives: the pane says why; mended, the button is offered and the pane cleared.
    WritePayload(PAYLOAD_RADAR, std::vector<uint8_t>());
    ASSERT_TRUE(WaitFor([&] { return Text().find("rdfw.bin: empty") != std::string::npos; }));
    EXPECT_FALSE(page->IsButtonEnabled());
    WritePayload(PAYLOAD_RADAR, Pattern(3000, 1));
    ASSERT_TRUE(WaitButton(*this, true)) << Text();
    EXPECT_EQ(Text(), "");
    // Taken away again: the button with it.
    std::filesystem::remove(PayloadPath(PAYLOAD_RADAR));
    ASSERT_TRUE(WaitButton(*this, false)) << Text();
    EXPECT_EQ(Text().rfind(TEXT_NO_PAYLOADS, 0), 0u) << Text();
}

}  // namespace
