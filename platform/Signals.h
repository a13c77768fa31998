// The requests to stop that come from outside the program: Ctrl-C and SIGTERM on Linux, the
// console's Ctrl-C, Ctrl-Break and close on Windows. The terminal face decides what each means;
// without it they end the process at once, as usual.
#pragma once

#include <functional>

namespace plat {

enum class StopRequest {
    Interrupt,  // Ctrl-C (SIGINT); the shell reports 130
    Terminate,  // SIGTERM, or the console going away; the shell reports 143
};

// From now on each request calls onRequest, on a thread of its own, instead of ending the process.
void CatchStopRequests(std::function<void(StopRequest)> onRequest);
// Back to the default. No call of onRequest runs any more once this has returned.
void ReleaseStopRequests();

}  // namespace plat
