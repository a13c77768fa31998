// Port discovery and the facts about USB serial adapters on Linux over given directories, so that
// a test can lay out a /dev, a sysfs, a /run/udev and a /proc of its own.
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

// Where GatherPortFactsIn looks; the defaults are the machine's own.
struct FactRoots {
    std::string sysUsbDevices = "/sys/bus/usb/devices";
    std::string udevData = "/run/udev/data";
    // In udev's order: a file of the same name in an earlier directory overrides (masks) it.
    std::vector<std::string> rulesDirs = {"/etc/udev/rules.d", "/run/udev/rules.d",
                                          "/usr/lib/udev/rules.d", "/lib/udev/rules.d"};
    std::vector<std::string> binDirs = {"/usr/bin", "/bin", "/usr/sbin", "/sbin"};
    std::string proc = "/proc";
    std::string kernelLog = "/dev/kmsg";  // unreadable for most users: then nothing is taken
};
PortFacts GatherPortFactsIn(const FactRoots& roots);

}  // namespace plat
