#include "platform/Console.h"
#include "platform/win32_util.h"

namespace plat {

bool PrepareConsoleOutput() {
    HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    // Redirected to a file or a pipe: the bytes go there as they are, UTF-8.
    if (out == nullptr || out == INVALID_HANDLE_VALUE || !::GetConsoleMode(out, &mode))
        return false;
    // The console shows the status texts (Russian, Chinese) only when told they are UTF-8.
    ::SetConsoleOutputCP(CP_UTF8);
    // Windows 10 and later draw control sequences once asked to; older consoles refuse.
    if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
    return ::SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

}  // namespace plat
