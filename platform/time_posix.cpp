// The clock on POSIX: its resolution is fine already.
#include "platform/Time.h"

namespace plat {

// Sleeps of 1 ms already take about 1 ms here.
void RaiseTimerResolution() {}

}  // namespace plat
