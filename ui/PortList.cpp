// --list-ports: each port of the table with what the system says it is and whether it opens,
// then what the system reports about adapters that did not become a port.
#include "ui/PortList.h"

#include "platform/Ports.h"
#include "serial/PortTable.h"
#include "serial/Serial.h"

namespace {

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
    std::vector<plat::FoundPort> table = serialports::GetPortEntries();
    std::string out;
    for (const plat::FoundPort& p : table) {
        out += serialports::PortLabel(p.path, "  ") + "  " + serialports::KindText(p.info) + "  " +
               Opens(p.path) + "\n";
    }
    // The ports the search leaves out; not opened: Windows would try to connect for seconds.
    if (givenPorts.empty()) {
        for (const plat::FoundPort& p : plat::ListSerialPorts()) {
            if (p.info.kind != plat::SerialPortInfo::Kind::Bluetooth) continue;
            out += p.path + "  " + serialports::KindText(p.info) + "\n";
        }
    }
    if (out.empty()) out = "no serial port found (give one with --port PATH)\n";
    std::string advice = serialports::NoDeviceAdvice();
    if (!advice.empty()) out += "\n" + advice + "\n";
    return out;
}
