// The device's line on Windows, which has no pseudo-terminals: the in-process loopback port.
#include "sim/Device.h"

namespace sim {

bool CDevice::CreatePort(std::string* portPath, std::string* error) {
    return CreateLoopback("sim", portPath, error);
}

}  // namespace sim
