// What a Windows COM port is, for the port list. The registry's device tree would name the USB
// adapter behind a port; until that is read here, every port is reported as a serial device.
#include "platform/Ports.h"

namespace plat {

SerialPortInfo DescribeSerialPort(const std::string& /*path*/) {
    return {};
}

}  // namespace plat
