// The Linux facts about USB serial adapters, read from a made-up sysfs, /run/udev, udev rules,
// /proc and kernel log, and the ModemManager rule file against the chip list.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "platform/ports_posix.h"
#include "serial/PortDiagnosis.h"
#include "support/TestMain.h"

namespace {

namespace fs = std::filesystem;

TEST(PortFacts, ReadFromSysfsUdevRulesProcAndKernelLog) {
    testsupport::TempDir dir;
    auto mk = [&](const std::string& p) { fs::create_directories(dir.File(p)); };
    auto link = [&](const std::string& target, const std::string& at) {
        fs::create_symlink(target.front() == '/' ? target : dir.File(target), dir.File(at));
    };
    // A CH340 held through usbfs (brltty), an FTDI with its tty, a root hub.
    mk("drivers/usbfs");
    mk("drivers/ftdi_sio");
    mk("usb/1-2:1.0");
    mk("usb/1-3:1.0/ttyUSB0");
    mk("usb/usb1");
    for (auto [d, vid, pid, dev] :
         {std::tuple{"1-2", "1a86", "7523", "189:5"}, std::tuple{"1-3", "0403", "6001", "189:6"},
          std::tuple{"usb1", "1d6b", "0002", "189:0"}}) {
        mk(std::string("usb/") + d);
        dir.Write(std::string("usb/") + d + "/idVendor", std::string(vid) + "\n");
        dir.Write(std::string("usb/") + d + "/idProduct", std::string(pid) + "\n");
        dir.Write(std::string("usb/") + d + "/dev", std::string(dev) + "\n");
    }
    dir.Write("usb/1-2/product", std::string("USB Serial\n"));
    link("drivers/usbfs", "usb/1-2:1.0/driver");
    link("drivers/ftdi_sio", "usb/1-3:1.0/driver");
    mk("udev");
    dir.Write("udev/c189:5", std::string("E:ID_VENDOR_ID=1a86\nE:BRLTTY_BRAILLE_DRIVER=bm\n"));
    dir.Write("udev/c189:6", std::string("E:ID_MM_DEVICE_IGNORE=1\n"));
    // One brltty rule masked in /etc, one in effect, an empty one, and another package's.
    mk("etc");
    mk("lib");
    link("/dev/null", "etc/85-brltty-usb.rules");
    dir.Write("lib/85-brltty-usb.rules", std::string("SUBSYSTEM==\"usb\"\n"));
    dir.Write("lib/90-brltty-device.rules", std::string("ENV{PRODUCT}==\"1a86/7523/*\"\n"));
    dir.Write("lib/91-brltty-empty.rules", std::string());
    dir.Write("lib/99-other.rules", std::string("x\n"));
    mk("bin");
    dir.Write("bin/brltty", std::string());
    for (auto [pid, comm] : {std::pair{"1", "systemd\n"}, {"812", "ModemManager\n"}}) {
        mk(std::string("proc/") + pid);
        dir.Write(std::string("proc/") + pid + "/comm", std::string(comm));
    }
    mk("proc/self");
    dir.Write("kmsg",
              std::string("6,1,10,-;usb 1-2: new full-speed USB device number 5 using xhci_hcd\n"
                          " SUBSYSTEM=usb\n"
                          "6,2,11,-;usb 1-2: ch341-uart converter now attached to ttyUSB1\n"
                          "6,3,12,-;usbfs: interface 0 claimed by ch341 while 'brltty' sets "
                          "config #1\n"
                          "6,4,13,-;ch341-uart ttyUSB1: ch341-uart converter now disconnected "
                          "from ttyUSB1"));  // no line break at the end

    plat::FactRoots roots;
    roots.sysUsbDevices = dir.File("usb");
    roots.udevData = dir.File("udev");
    roots.rulesDirs = {dir.File("etc"), dir.File("nonexistent"), dir.File("lib")};
    roots.binDirs = {dir.File("bin")};
    roots.proc = dir.File("proc");
    roots.kernelLog = dir.File("kmsg");
    plat::PortFacts facts = plat::GatherPortFactsIn(roots);

    ASSERT_EQ(facts.usbDevices.size(), 3u);
    const plat::UsbDeviceRecord& ch340 = facts.usbDevices[0];
    EXPECT_EQ(ch340.usbId + " " + ch340.product + " " + ch340.interfaceDriver,
              "1a86:7523 USB Serial usbfs");
    EXPECT_EQ(ch340.tty, "");
    EXPECT_TRUE(ch340.brlttyMatched);
    EXPECT_FALSE(ch340.modemManagerIgnores);
    EXPECT_EQ(facts.usbDevices[1].tty, "ttyUSB0");
    EXPECT_TRUE(facts.usbDevices[1].modemManagerIgnores);
    EXPECT_TRUE(facts.brlttyInstalled);
    EXPECT_EQ(facts.brlttyRules, std::vector<std::string>{dir.File("lib/90-brltty-device.rules")});
    EXPECT_EQ(facts.processes, (std::vector<std::string>{"ModemManager", "systemd"}));
    ASSERT_EQ(facts.kernelLog.size(), 3u);
    EXPECT_EQ(facts.kernelLog[1],
              "usbfs: interface 0 claimed by ch341 while 'brltty' sets config #1");

    // brltty with its evidence, the tty that vanished, ModemManager: three lines.
    EXPECT_EQ(portdiag::DiagnoseLinux(facts).size(), 3u);

    // The machine's own: runs, whatever it finds.
    plat::GatherPortFacts();
}

// The ids ModemManager is told to leave alone are exactly the chips the diagnosis knows.
TEST(PortFacts, ModemManagerRuleFileListsTheKnownChips) {
    std::ifstream in(std::string(KALVO_TEST_DATA) + "/../../res/77-kalvo-updater-serial.rules");
    ASSERT_TRUE(in.good());
    std::set<std::string> inFile, known;
    // Plain string search: GCC 12's std::regex trips its own uninitialised warning under ASan.
    const std::string vendor = "ATTRS{idVendor}==\"", product = "\", ATTRS{idProduct}==\"",
                      ignore = "\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"";
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(vendor, 0) != 0) continue;
        size_t v = vendor.size();
        if (line.compare(v + 4, product.size(), product) != 0) continue;
        size_t p = v + 4 + product.size();
        if (line.compare(p + 4, ignore.size(), ignore) != 0) continue;
        inFile.insert(line.substr(v, 4) + ":" + line.substr(p, 4));
    }
    for (const portdiag::SerialChip& c : portdiag::SerialChips()) known.insert(c.usbId);
    EXPECT_EQ(inFile, known);
}

}  // namespace
