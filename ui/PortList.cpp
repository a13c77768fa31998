// --list-ports: each port of the table with what the system says it is and whether it opens.
#include "ui/PortList.h"

#include "platform/Ports.h"
#include "serial/PortTable.h"
#include "serial/Serial.h"

namespace {

std::string Kind(const plat::SerialPortInfo& info) {
    using K = plat::SerialPortInfo::Kind;
    std::string text;
    switch (info.kind) {
        case K::UsbAdapter:
            text = "USB adapter " + info.usbId;
            if (!info.vendor.empty()) text += " " + info.vendor;
            if (!info.product.empty()) text += " " + info.product;
            if (!info.serial.empty()) text += ", serial " + info.serial;
            // Which driver took the adapter tells a user what the system made of it.
            if (!info.driver.empty()) text += " (" + info.driver + ")";
            break;
        case K::OnBoardUart:
            text = "on-board UART";
            break;
        case K::PseudoTerminal:
            text = "pseudo-terminal";
            break;
        case K::Unknown:
            text = "serial device";
            break;
    }
    return text;
}

// Opens the port as the update would, and says why when it does not open.
std::string Opens(const std::string& path) {
    CSerial port;
    if (port.OpenPath(path)) {
        port.Close();
        return "opens";
    }
    std::string why = port.GetLastErrorText();
    // The text starts with the path, which the line has already.
    if (why.rfind(path + ": ", 0) == 0) why = why.substr(path.size() + 2);
    return "does not open: " + why;
}

}  // namespace

std::string PortListText(const std::vector<std::string>& givenPorts) {
    serialports::SetPortTable(givenPorts);
    std::vector<std::string> table = serialports::GetPortTable();
    if (table.empty()) return "no serial port found (give one with --port PATH)\n";
    std::string out;
    for (size_t i = 0; i < table.size(); ++i) {
        out += "COM" + std::to_string(i + 1) + "  " + table[i] + "  " +
               Kind(plat::DescribeSerialPort(table[i])) + "  " + Opens(table[i]) + "\n";
    }
    return out;
}
