#include <unistd.h>

#include "platform/Console.h"

namespace plat {

// Terminals here take UTF-8 and control sequences as they are.
bool PrepareConsoleOutput() {
    return ::isatty(STDOUT_FILENO) != 0;
}

}  // namespace plat
