// Why no device may have answered, from what the system reports about the serial adapters
// (platform/Ports.h): adapters without a working driver on Windows, brltty and ModemManager on
// Linux. Pure functions from the reports to the lines told to the user (English).
#pragma once

#include <string>
#include <vector>

#include "platform/Ports.h"

namespace portdiag {

// The USB serial chips the updater knows by their ids; res/77-kalvo-updater-serial.rules lists the
// same ids for ModemManager (a test keeps the two alike).
struct SerialChip {
    const char* usbId;   // "1a86:7523"
    const char* family;  // "CH340/CH341"
    const char* module;  // its Linux driver
};
const std::vector<SerialChip>& SerialChips();
// The chip family of a USB id ("1a86:7523": "CH340/CH341"), "" when it is none of them.
std::string ChipFamily(const std::string& usbId);

// Windows: adapters present with a device problem (no driver, cannot start, disabled).
std::vector<std::string> DiagnoseWindows(const std::vector<plat::DeviceRecord>& devices);
// Linux: brltty taking adapters, adapters without a port or that came and went, ModemManager.
std::vector<std::string> DiagnoseLinux(const plat::PortFacts& facts);
// Both (each finds nothing in the other system's facts).
std::vector<std::string> Diagnose(const plat::PortFacts& facts);

}  // namespace portdiag
