// The port table's search order and numbers, and the diagnoses from made-up device lists and
// Linux facts.
#include <gtest/gtest.h>

#include "platform/DeviceId.h"
#include "serial/PortDiagnosis.h"
#include "serial/PortTable.h"

namespace {

using Kind = plat::SerialPortInfo::Kind;

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(PortTable, SearchOrderPutsUsbFirstAndLeavesBluetoothOut) {
    auto port = [](const char* name, Kind kind) {
        plat::FoundPort p{name, {}};
        p.info.kind = kind;
        return p;
    };
    std::vector<plat::FoundPort> found = {
        port("COM1", Kind::OnBoardUart), port("COM4", Kind::Bluetooth),
        port("COM7", Kind::UsbAdapter),  port("COM3", Kind::Unknown),
        port("COM5", Kind::Bluetooth),   port("COM12", Kind::UsbAdapter)};
    std::vector<std::string> order;
    for (const auto& p : serialports::OrderForSearch(found)) order.push_back(p.path);
    EXPECT_EQ(order, (std::vector<std::string>{"COM7", "COM12", "COM1", "COM3"}));
}

TEST(PortTable, WindowsNamesKeepTheirNumberPathsTakeTheirPlace) {
    using N = std::vector<uint8_t>;
    EXPECT_EQ(serialports::AssignNumbers({12, 3}), (N{12, 3}));
    EXPECT_EQ(serialports::AssignNumbers({0, 0, 0}), (N{1, 2, 3}));
    // A name twice, one out of range, a path among names: the lowest free numbers.
    EXPECT_EQ(serialports::AssignNumbers({2, 0, 2, 300, 1}), (N{2, 3, 4, 5, 1}));

    // Linux: COM n is the n-th path, shown with it.
    serialports::SetPortTable({"/dev/a", "/dev/b"});
    EXPECT_EQ(serialports::PortNumberOf("/dev/b"), 2);
    EXPECT_EQ(serialports::PortLabel("/dev/b"), "COM2 /dev/b");
    EXPECT_EQ(serialports::LabelLine("/dev/b", "/dev/b: did not answer"),
              "COM2 /dev/b: did not answer");
    EXPECT_EQ(serialports::PortLabel("/dev/c"), "/dev/c");
}

TEST(DeviceId, InstanceIdsTellTheBusIdsAndSerial) {
    auto info = plat::InfoFromInstanceId("USB\\VID_1A86&PID_7523\\5&2A3B0C1&0&2");
    EXPECT_EQ(info.kind, Kind::UsbAdapter);
    EXPECT_EQ(info.usbId, "1a86:7523");
    EXPECT_EQ(info.serial, "");  // made up by Windows
    info = plat::InfoFromInstanceId("USB\\VID_0403&PID_6001\\A50285BI");
    EXPECT_EQ(info.usbId + " " + info.serial, "0403:6001 A50285BI");
    info = plat::InfoFromInstanceId("FTDIBUS\\VID_0403+PID_6015+DK0AB1CDA\\0000");
    EXPECT_EQ(info.usbId + " " + info.serial, "0403:6015 DK0AB1CDA");
    EXPECT_EQ(plat::InfoFromInstanceId("BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&"
                                       "0002\\7&1D80ABCD&0&000000000000_00000005")
                  .kind,
              Kind::Bluetooth);
    EXPECT_EQ(plat::InfoFromInstanceId("ACPI\\PNP0501\\1").kind, Kind::OnBoardUart);
    for (const char* odd :
         {"", "USB\\VID_12", "USB\\VID_ZZZZ&PID_0001\\x", "\\\\\\", "ROOT\\PORTS\\0000"})
        EXPECT_EQ(plat::InfoFromInstanceId(odd).kind, Kind::Unknown) << odd;
}

TEST(PortDiagnosis, WindowsNamesAdaptersWithoutAWorkingDriver) {
    auto dev = [](const char* id, unsigned problem, bool isPort = false) {
        plat::DeviceRecord d;
        d.instanceId = id;
        d.problem = problem;
        d.isPort = isPort;
        d.friendlyName = "USB Serial";
        return d;
    };
    std::vector<plat::DeviceRecord> devices = {
        dev("USB\\VID_1A86&PID_7523\\5&1&0&2", 28),        // CH340, no driver
        dev("USB\\VID_0403&PID_6001\\A50285BI", 0, true),  // working
        dev("USB\\VID_046D&PID_C52B\\6&2&0&1", 28),        // a mouse: not ours
        dev("USB\\VID_10C4&PID_EA60\\0001", 22, true),     // disabled
        dev("USB\\VID_1234&PID_5678\\7&3&0&1", 10, true),  // unknown chip, a port
        dev("BTHENUM\\{00001101}\\8&1", 10, true)};        // Bluetooth: not an adapter
    std::vector<std::string> lines = portdiag::DiagnoseWindows(devices);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(Contains(lines[0], "USB 1a86:7523, CH340/CH341 chip")) << lines[0];
    EXPECT_TRUE(Contains(lines[0], "problem code 28 (its driver is not installed)")) << lines[0];
    EXPECT_TRUE(Contains(lines[0], "Install the driver for the CH340/CH341 chip")) << lines[0];
    EXPECT_TRUE(Contains(lines[1], "CP210x")) << lines[1];
    EXPECT_TRUE(Contains(lines[1], "Enable device")) << lines[1];
    EXPECT_TRUE(Contains(lines[2], "code 10 (it cannot start)")) << lines[2];
    EXPECT_TRUE(Contains(lines[2], "from its maker")) << lines[2];
    EXPECT_TRUE(portdiag::DiagnoseWindows({}).empty());
}

plat::UsbDeviceRecord Adapter(const char* usbId, const char* tty, const char* driver) {
    plat::UsbDeviceRecord d;
    d.usbId = usbId;
    d.product = "USB Serial";
    d.tty = tty;
    d.interfaceDriver = driver;
    return d;
}

TEST(PortDiagnosis, LinuxBrlttyTakingAnAdapter) {
    plat::PortFacts facts;
    facts.brlttyInstalled = true;
    facts.brlttyRules = {"/usr/lib/udev/rules.d/90-brltty-device.rules"};
    facts.usbDevices = {Adapter("1a86:7523", "", "usbfs")};
    facts.kernelLog = {"usb 1-2: ch341-uart converter now attached to ttyUSB0",
                       "usbfs: interface 0 claimed by ch341 while 'brltty' sets config #1",
                       "ch341-uart ttyUSB0: ch341-uart converter now disconnected from ttyUSB0"};
    std::vector<std::string> lines = portdiag::DiagnoseLinux(facts);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(Contains(lines[0], "90-brltty-device.rules")) << lines[0];
    EXPECT_TRUE(Contains(lines[0], "It holds \"USB Serial\" (USB 1a86:7523, CH340/CH341 chip)"));
    EXPECT_TRUE(Contains(lines[0], "claimed by ch341 while 'brltty'")) << lines[0];
    EXPECT_TRUE(Contains(lines[0], "sudo apt remove brltty")) << lines[0];
    EXPECT_TRUE(Contains(lines[1], "/dev/ttyUSB0 and vanished again: brltty")) << lines[1];

    // Its rules masked and nothing seen: not a word about it.
    facts = {};
    facts.brlttyInstalled = true;
    EXPECT_TRUE(portdiag::DiagnoseLinux(facts).empty());
}

TEST(PortDiagnosis, LinuxAdapterWithoutPortAndModemManager) {
    plat::PortFacts facts;
    facts.usbDevices = {Adapter("10c4:ea60", "", ""), Adapter("0403:6001", "ttyUSB1", "ftdi_sio"),
                        Adapter("1d6b:0002", "", "hub")};
    facts.processes = {"systemd", "ModemManager"};
    std::vector<std::string> lines = portdiag::DiagnoseLinux(facts);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(Contains(lines[0], "CP210x chip) is plugged in but has no serial port"))
        << lines[0];
    EXPECT_TRUE(Contains(lines[0], "sudo modprobe cp210x")) << lines[0];
    EXPECT_TRUE(Contains(lines[1], "ModemManager is running")) << lines[1];
    EXPECT_TRUE(Contains(lines[1], "sudo systemctl stop ModemManager")) << lines[1];

    // Every adapter marked for ModemManager to leave alone: nothing to say about it; an adapter
    // unplugged and plugged in again is no news.
    facts.usbDevices = {Adapter("0403:6001", "ttyUSB1", "ftdi_sio")};
    facts.usbDevices[0].modemManagerIgnores = true;
    facts.kernelLog = {
        "ftdi_sio 1-3:1.0: FTDI USB Serial Device converter now attached to ttyUSB1",
        "ftdi_sio ttyUSB1: FTDI USB Serial Device converter now disconnected from "
        "ttyUSB1",
        "ftdi_sio 1-3:1.0: FTDI USB Serial Device converter now attached to ttyUSB1"};
    EXPECT_TRUE(portdiag::DiagnoseLinux(facts).empty());
}

}  // namespace
