// What the station asks of a serial port: whether a device's bootloader answers the probe there,
// whether the port is a Bluetooth one (never probed), and its adapter's serial number.
#pragma once

#include <cstdint>
#include <string>

namespace station {

enum class ProbeResult { Answered, Silent, NotOpened };

// Opens the port, sends the probe with comNumber as its payload, waits up to waitMs of program
// time for the answer, and closes the port again in every case before it returns.
ProbeResult ProbeDevice(const std::string& path, uint8_t comNumber, uint32_t waitMs);

// True for a port that goes over Bluetooth: probing it would start a pairing or a long connect.
bool IsBluetoothPort(const std::string& path);

// The USB serial number of the adapter behind the port, "" when the system names none.
std::string AdapterSerial(const std::string& path);

}  // namespace station
