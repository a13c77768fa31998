// A port name as the user typed it, in the form the port table shows.
#pragma once

#include <string>

namespace plat {

// Windows: "COM3:" and "com3" (the device names of DOS, still written so) are COM3. Linux: the
// path as given.
std::string CanonicalPortName(const std::string& name);

}  // namespace plat
