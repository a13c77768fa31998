// The serial ports of this machine, in the order the program tries them (what walking COM1 to
// COM50 found on Windows).
#pragma once

#include <string>
#include <vector>

namespace plat {

// The serial devices present now, as names SerialOpen takes, USB adapters first (they are what a
// user plugs in for the device), then the on-board ports; a stable order, so that the same
// machine gives the same list. Looked up afresh at each call.
std::vector<std::string> DiscoverSerialPorts();

// What a serial device is, as far as the system tells (for the port list shown to the user).
struct SerialPortInfo {
    enum class Kind { UsbAdapter, OnBoardUart, PseudoTerminal, Unknown };
    Kind kind = Kind::Unknown;
    // USB adapters: the ids ("0403:6001") and the strings of the device, where it has them.
    std::string usbId, vendor, product, serial;
    std::string driver;  // the system's driver of the port, where it names one
};
SerialPortInfo DescribeSerialPort(const std::string& path);

// A line for the user when the adapter behind the port is known to hold short answers back (a
// USB adapter whose latency timer is above 2 ms), saying how to set it right; "" otherwise.
std::string SerialAdapterAdvice(const std::string& path);

}  // namespace plat
