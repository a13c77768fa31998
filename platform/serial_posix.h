// What only the POSIX serial device has: the discovery of ports in /dev and sysfs.
#pragma once

#include <string>
#include <vector>

#include "platform/SerialDevice.h"

namespace plat {

// The serial devices in devDir ("/dev"): ttyUSB*, ttyACM*, then the ttyS* with a real UART, each
// family in unit order; sysClassTty is the sysfs directory of ttys ("/sys/class/tty").
std::vector<std::string> SerialListPortsIn(const std::string& devDir,
                                           const std::string& sysClassTty);

// True when the tty named by devPath ("/dev/ttyS3") has a real UART behind it.
bool SerialHasUart(const std::string& devPath, const std::string& sysClassTty);

}  // namespace plat
