// The claim each open port has on its path within this process: an exclusive open does not keep
// out a second open by root, nor one within the same process on every system.
#pragma once

#include <string>

namespace serialopen {

// False when the path is held already (by a port or an open in progress).
bool ClaimPath(const std::string& key);
void ReleasePath(const std::string& key);

}  // namespace serialopen
