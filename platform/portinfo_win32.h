// The device manager's list of devices, shared by the Windows port table and the diagnosis.
#pragma once

#include <vector>

#include "platform/Ports.h"

namespace plat::win {

// The present devices; portsOnly: those of the Ports (COM & LPT) class, else every class.
std::vector<DeviceRecord> EnumerateDevices(bool portsOnly);

}  // namespace plat::win
