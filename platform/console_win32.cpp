// The console and the desktop on Windows.
#include <io.h>

#include <climits>
#include <cstdio>

#include "platform/Console.h"
#include "platform/win32_util.h"

namespace plat {

bool StdoutIsTerminal() {
    HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    // Redirected to a file or a pipe: the bytes go there as they are, UTF-8.
    if (out == nullptr || out == INVALID_HANDLE_VALUE || !::GetConsoleMode(out, &mode))
        return false;
    // The console shows the status texts (Russian, Chinese) only when told they are UTF-8.
    ::SetConsoleOutputCP(CP_UTF8);
    // Windows 10 and later draw control sequences once asked to; older consoles refuse, and get
    // plain lines.
    if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
    return ::SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

// A service or a scheduled task runs on a window station that nobody sees.
bool HaveDisplay() {
    HWINSTA station = ::GetProcessWindowStation();
    USEROBJECTFLAGS flags{};
    DWORD needed = 0;
    if (station == nullptr ||
        !::GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, &needed))
        return true;
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

}  // namespace plat

namespace plat {

void IgnoreBrokenPipe() {}

// Through the C runtime's descriptor 1, which follows a redirection made with _dup2 (the tests
// capture standard output so); text mode turns "\n" into "\r\n" as the stream did.
bool WriteStdout(const char* data, size_t size) {
    int fd = _fileno(stdout);
    if (fd < 0) return false;
    while (size > 0) {
        unsigned chunk = size > INT_MAX ? INT_MAX : static_cast<unsigned>(size);
        int n = _write(fd, data, chunk);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace plat
