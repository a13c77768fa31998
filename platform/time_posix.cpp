#include "platform/Time.h"

namespace plat {

// Sleeps of 1 ms already take about 1 ms here.
void RaiseTimerResolution() {}

}  // namespace plat
