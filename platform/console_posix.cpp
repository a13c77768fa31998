// The terminal and the display on Linux: isatty, TERM and the display variables of the environment,
// SIGPIPE and raw writes to standard output.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string_view>

#include "platform/Console.h"

namespace plat {

namespace {

bool IsSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

}  // namespace

void PrepareConsole() {}

bool StdoutIsTerminal() {
    // A dumb terminal (an editor's shell buffer, TERM=dumb) shows control sequences as text.
    const char* term = std::getenv("TERM");
    if (term != nullptr && std::string_view(term) == "dumb") return false;
    return ::isatty(STDOUT_FILENO) != 0;
}

bool HaveDisplay() {
    return IsSet("QT_QPA_PLATFORM") || IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY");
}

void IgnoreBrokenPipe() {
    std::signal(SIGPIPE, SIG_IGN);
}

bool WriteStdout(const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(STDOUT_FILENO, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace plat
