// The serial ports of this machine, in the order the program tries them (what walking COM1 to
// COM50 found on Windows), and what the system says about the devices behind them.
#pragma once

#include <string>
#include <vector>

namespace plat {

// The serial devices present now, as names SerialOpen takes, in a stable order, so that the same
// machine gives the same list (Linux: USB adapters first, then the on-board ports; Windows: COM
// number order). Looked up afresh at each call.
std::vector<std::string> DiscoverSerialPorts();

// What a serial device is, as far as the system tells (for the port list shown to the user).
struct SerialPortInfo {
    enum class Kind { UsbAdapter, OnBoardUart, PseudoTerminal, Bluetooth, Unknown };
    Kind kind = Kind::Unknown;
    // USB adapters: the ids ("0403:6001") and the strings of the device, where it has them.
    std::string usbId, vendor, product, serial;
    std::string driver;        // the system's driver of the port, where it names one
    std::string friendlyName;  // Windows: the device manager's name ("USB-SERIAL CH340 (COM5)")
};
SerialPortInfo DescribeSerialPort(const std::string& path);

struct FoundPort {
    std::string path;
    SerialPortInfo info;
};
// Every serial port present now with what it is, Bluetooth ones too, in the order of
// DiscoverSerialPorts (the search puts them in its own order).
std::vector<FoundPort> ListSerialPorts();

// The Windows number of a port name ("COM12", "\\.\com12": 12); 0 where ports are not named so
// (Linux paths).
unsigned ComNumberOf(const std::string& path);

// A line for the user when the adapter behind the port is known to hold short answers back (a
// USB adapter whose latency timer is above 2 ms), saying how to set it right; "" otherwise.
std::string SerialAdapterAdvice(const std::string& path);

// ---------------------------------------------------------------------------------------------
// What the system reports about serial adapters that did not become a usable port, for the
// diagnosis when no device answers (serial/PortDiagnosis.h reads it).

// Windows: one present device of the device manager.
struct DeviceRecord {
    std::string instanceId;  // "USB\VID_1A86&PID_7523\5&2A3B&0&2", "BTHENUM\{...}\..."
    std::string portName;    // "COM5" for a device of the Ports class
    std::string friendlyName, maker;
    std::string service;   // its driver ("usbser", "CH341SER_A64"), "" when none is installed
    bool isPort = false;   // of the Ports (COM & LPT) class
    unsigned problem = 0;  // the device manager's problem code, 0: working
};

// Linux: a USB device with its ids, as sysfs and udev show it.
struct UsbDeviceRecord {
    std::string name;  // the sysfs name ("1-2")
    std::string usbId, product;
    std::string tty;                   // the serial port one of its interfaces has, "" when none
    std::string interfaceDriver;       // the driver of its first interface ("usbfs": a program)
    bool brlttyMatched = false;        // brltty's udev rules picked it
    bool modemManagerIgnores = false;  // ID_MM_DEVICE_IGNORE is set on it
};

struct PortFacts {
    std::vector<DeviceRecord> devices;  // Windows
    // Linux
    std::vector<UsbDeviceRecord> usbDevices;
    bool brlttyInstalled = false;
    std::vector<std::string> brlttyRules;  // its udev rule files that are in effect
    std::vector<std::string> processes;    // names of the running programs
    std::vector<std::string> kernelLog;    // recent kernel messages about USB serial adapters
};
PortFacts GatherPortFacts();

}  // namespace plat
