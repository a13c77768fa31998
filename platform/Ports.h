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

// A line for the user when the adapter behind the port is known to hold short answers back (a
// USB adapter whose latency timer is above 2 ms), saying how to set it right; "" otherwise.
std::string SerialAdapterAdvice(const std::string& path);

}  // namespace plat
