// The terminal and the display on Linux: isatty and the display variables of the environment.
#include <unistd.h>

#include <cstdlib>

#include "platform/Console.h"

namespace plat {

namespace {

bool IsSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

}  // namespace

bool StdoutIsTerminal() {
    return ::isatty(STDOUT_FILENO) != 0;
}

bool HaveDisplay() {
    return IsSet("QT_QPA_PLATFORM") || IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY");
}

}  // namespace plat
