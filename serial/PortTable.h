// COM numbers: COM n is the n-th entry of the port table, the paths given by the user, else the
// serial ports found on the machine (platform/Ports.h) in a stable order.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace serialports {

// The table to use from now on; an empty list: the ports found on the machine.
void SetPortTable(const std::vector<std::string>& paths);
std::vector<std::string> GetPortTable();
// Looks for the machine's serial ports again (an adapter plugged in, or back under a new name);
// a table given by the user stays as it is: its paths may appear later (udev links such as
// /dev/serial/by-id/...), and are tried again at each search.
void RefreshPortTable();
// The path of COM n, "" when COM n has no entry.
std::string PortPath(uint8_t n);
// One log line per entry ("COM1 = /dev/ttyUSB0").
void LogPortTable();
// Where advice about a port's adapter goes besides the log (the terminal face prints it): once
// per port and process, on the thread that opened the port. Empty: the log only.
void SetAdviceHandler(std::function<void(const std::string&)> handler);

}  // namespace serialports
