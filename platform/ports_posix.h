// Port discovery on Linux over given directories, so that a test can lay out a /dev and a sysfs of
// its own.
#pragma once

#include <string>
#include <vector>

#include "platform/Ports.h"

namespace plat {

// /dev/ttyUSB*, /dev/ttyACM*, then /dev/ttyS* that have a real UART, each family in the natural
// order of its unit numbers. devDir stands for "/dev", sysClassTty for "/sys/class/tty".
std::vector<std::string> DiscoverSerialPortsIn(const std::string& devDir,
                                               const std::string& sysClassTty);

// What the tty at devPath is, from sysClassTty (standing for "/sys/class/tty").
SerialPortInfo DescribeSerialPortIn(const std::string& devPath, const std::string& sysClassTty);

}  // namespace plat
