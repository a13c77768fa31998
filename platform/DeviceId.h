// What a Windows device instance id says about a port's device: its bus (USB, Bluetooth, the
// board), its USB ids and serial number. Pure text work, so Linux tests check it too.
#pragma once

#include <cctype>
#include <string>

#include "platform/Ports.h"

namespace plat {

namespace deviceid {

inline std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

inline std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The four hex digits after key ("VID_") in id, lower case; "" when there are none.
inline std::string HexAfter(const std::string& id, const char* key) {
    size_t at = id.find(key);
    if (at == std::string::npos) return "";
    std::string hex = id.substr(at + 4, 4);
    if (hex.size() != 4) return "";
    for (char c : hex)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return "";
    return Lower(hex);
}

}  // namespace deviceid

// "USB\VID_1A86&PID_7523\5&2A3B&0&2": a USB adapter 1a86:7523 without a serial number (the last
// part is made up by Windows when it holds '&'); "FTDIBUS\VID_0403+PID_6001+A50285BIA\0000":
// FTDI's own bus, serial number in the middle part; "BTHENUM\...": a Bluetooth serial port;
// "ACPI\PNP0501\1": a UART on the board.
inline SerialPortInfo InfoFromInstanceId(const std::string& instanceId) {
    SerialPortInfo info;
    std::string id = deviceid::Upper(instanceId);
    std::string bus = id.substr(0, id.find('\\'));
    if (bus == "BTHENUM" || bus == "BTHLEDEVICE") {
        info.kind = SerialPortInfo::Kind::Bluetooth;
        return info;
    }
    if (bus == "ACPI" || bus == "PNPBIOS") {
        info.kind = SerialPortInfo::Kind::OnBoardUart;
        return info;
    }
    std::string vid = deviceid::HexAfter(id, "VID_"), pid = deviceid::HexAfter(id, "PID_");
    if (vid.empty() || pid.empty()) return info;
    info.kind = SerialPortInfo::Kind::UsbAdapter;
    info.usbId = vid + ":" + pid;
    if (bus == "FTDIBUS") {
        // VID_0403+PID_6001+A50285BIA: the third field.
        size_t plus = instanceId.find('+', instanceId.find('+') + 1);
        size_t end = instanceId.find('\\', plus);
        if (plus != std::string::npos) info.serial = instanceId.substr(plus + 1, end - plus - 1);
    } else if (size_t last = instanceId.find_last_of('\\');
               last != std::string::npos && instanceId.find('&', last) == std::string::npos &&
               instanceId.find('\\') != last) {
        info.serial = instanceId.substr(last + 1);
    }
    return info;
}

}  // namespace plat
