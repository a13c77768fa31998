// The clock on Windows: 1 ms timer resolution for the program's pauses.
#include "platform/win32_util.h"
// After windows.h, whose types it uses.
#include <timeapi.h>

#include "platform/Time.h"

namespace plat {

// Held for the life of the process; Windows drops the request when the process ends.
void RaiseTimerResolution() {
    ::timeBeginPeriod(1);
}

}  // namespace plat
