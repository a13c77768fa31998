// COM numbers: COM n names an entry of the port table, the paths given by the user, else the
// serial ports found on the machine (platform/Ports.h) in search order. Windows ports keep their
// own number (COM12 is COM12); a Linux path is COM n by its place in the table.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/Ports.h"

namespace serialports {

// The table to use from now on; an empty list: the ports found on the machine.
void SetPortTable(const std::vector<std::string>& paths);
std::vector<std::string> GetPortTable();
// The table with what each port is.
std::vector<plat::FoundPort> GetPortEntries();
// The ports found on the machine now, with what each is, in search order and without Bluetooth,
// as the search would try them, whatever table is set (for a caller with a table of its own).
std::vector<plat::FoundPort> FindPortsInSearchOrder();
// Looks for the machine's serial ports again (an adapter plugged in, or back under a new name);
// a table given by the user stays as it is: its paths may appear later (udev links such as
// /dev/serial/by-id/...), and are tried again at each search.
void RefreshPortTable();
// The path of COM n, "" when COM n has no entry.
std::string PortPath(uint8_t n);
// The COM number of a path of the table, 0 when it has none.
uint8_t PortNumberOf(const std::string& path);
// How the user reads a port of the table: "COM12" where that is the system's own name, else
// "COM1 /dev/ttyUSB0" (separator between number and path); a path not in the table as it is.
std::string PortLabel(const std::string& path, const char* separator = " ");
// line ("/dev/ttyUSB0: did not answer") with the path at its start shown as PortLabel.
std::string LabelLine(const std::string& path, const std::string& line);
// One log line per entry ("COM1 = /dev/ttyUSB0  USB adapter 0403:6001 ...").
void LogPortTable();
// What a port is, in words ("USB adapter 0403:6001 FTDI FT232R USB UART (ftdi_sio)").
std::string KindText(const plat::SerialPortInfo& info);
// Why the device may not have answered, from what the system reports about its serial adapters:
// one line per cause, "" when nothing is known.
std::string NoDeviceAdvice();
// Where advice about a port's adapter goes besides the log (the terminal face prints it): once
// per port and process, on the thread that opened the port. Empty: the log only.
void SetAdviceHandler(std::function<void(const std::string&)> handler);

// The search order of the ports found: USB adapters (what a user plugs in for the device), then
// the others; Bluetooth serial ports not at all (opening one makes Windows try to connect for
// many seconds): they are used only when named with --port.
std::vector<plat::FoundPort> OrderForSearch(std::vector<plat::FoundPort> found);
// The COM numbers of a table from the system's own numbers of its entries (0: none): an entry
// keeps its own number, the others take the lowest free ones in table order.
std::vector<uint8_t> AssignNumbers(const std::vector<unsigned>& ownNumbers);

}  // namespace serialports
