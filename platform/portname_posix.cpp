// Port names on Linux: a device path is taken as given.
#include "platform/PortName.h"

namespace plat {

std::string CanonicalPortName(const std::string& name) {
    return name;
}

}  // namespace plat
