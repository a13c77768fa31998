// The console and the desktop on Windows: the parent's console for a program started from one,
// text for a console through the wide console API, and whether a window can be shown.
#include <fcntl.h>
#include <io.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/Console.h"
#include "platform/win32_util.h"

namespace plat {
namespace {

// Standard output and error, where they are a console, go through a pipe to a thread that hands
// the text to WriteConsoleW: right on any code page, and the console's own code page is left as
// the user had it.
struct ConsolePump {
    HANDLE console = nullptr;
    HANDLE reader = nullptr;
    HANDLE thread = nullptr;
    bool pumped[3] = {};
};
ConsolePump g_pump;

bool IsConsole(HANDLE h) {
    DWORD mode = 0;
    return h != nullptr && h != INVALID_HANDLE_VALUE && ::GetConsoleMode(h, &mode);
}

// The UTF-8 bytes of the pipe as UTF-16, a sequence cut by a read kept for the next one.
DWORD WINAPI PumpThread(void*) {
    char buf[4096];
    size_t kept = 0;
    for (;;) {
        DWORD n = 0;
        if (!::ReadFile(g_pump.reader, buf + kept, static_cast<DWORD>(sizeof buf - kept), &n,
                        nullptr) ||
            n == 0)
            break;
        size_t have = kept + n, whole = have;
        for (size_t back = 1; back <= 3 && back <= have; ++back) {
            unsigned char c = static_cast<unsigned char>(buf[have - back]);
            if ((c & 0xC0) == 0x80) continue;
            size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
            if (len > back) whole = have - back;
            break;
        }
        std::wstring text = win::Wide(std::string(buf, whole));
        DWORD written = 0;
        if (!text.empty())
            ::WriteConsoleW(g_pump.console, text.data(), static_cast<DWORD>(text.size()), &written,
                            nullptr);
        kept = have - whole;
        std::memmove(buf, buf + whole, kept);
    }
    return 0;
}

void StopPump() {
    std::fflush(stdout);
    std::fflush(stderr);
    for (int fd = 1; fd <= 2; ++fd)
        if (g_pump.pumped[fd]) _close(fd);
    // Every writer gone: the thread reads the end of the pipe and returns.
    if (g_pump.thread != nullptr) ::WaitForSingleObject(g_pump.thread, 2000);
}

}  // namespace

void PrepareConsole() {
    HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
    bool noOut = out == nullptr || out == INVALID_HANDLE_VALUE;
    bool noErr = err == nullptr || err == INVALID_HANDLE_VALUE;
    // The window program has no console of its own (nothing flashes up when it is double-clicked);
    // started from cmd or PowerShell, it writes into theirs.
    if ((noOut || noErr) && ::GetConsoleWindow() == nullptr &&
        ::AttachConsole(ATTACH_PARENT_PROCESS)) {
        g_pump.console =
            ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    }
    for (int fd = 1; fd <= 2; ++fd) {
        HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
        bool none = h == nullptr || h == INVALID_HANDLE_VALUE;
        if (IsConsole(h)) {
            // A handle of our own: the descriptor's is closed when the pipe takes its place.
            if (g_pump.console == nullptr &&
                !::DuplicateHandle(::GetCurrentProcess(), h, ::GetCurrentProcess(), &g_pump.console,
                                   0, FALSE, DUPLICATE_SAME_ACCESS))
                return;
            g_pump.pumped[fd] = true;
        } else if (none && IsConsole(g_pump.console)) {
            g_pump.pumped[fd] = true;
        }
    }
    if (!g_pump.pumped[1] && !g_pump.pumped[2]) return;
    int ends[2];
    if (_pipe(ends, 65536, _O_BINARY | _O_NOINHERIT) != 0) return;
    g_pump.reader = reinterpret_cast<HANDLE>(_get_osfhandle(ends[0]));
    g_pump.thread = ::CreateThread(nullptr, 0, PumpThread, nullptr, 0, nullptr);
    if (g_pump.thread == nullptr) {
        _close(ends[0]);
        _close(ends[1]);
        g_pump.pumped[1] = g_pump.pumped[2] = false;
        return;
    }
    // One pipe for both: the lines keep the order they were written in.
    for (int fd = 1; fd <= 2; ++fd)
        if (g_pump.pumped[fd]) _dup2(ends[1], fd);
    _close(ends[1]);
    std::atexit(StopPump);
}

bool StdoutIsTerminal() {
    if (!g_pump.pumped[1]) return false;
    DWORD mode = 0;
    if (!::GetConsoleMode(g_pump.console, &mode)) return false;
    // Windows 10 and later draw control sequences once asked to; older consoles refuse, and get
    // plain lines.
    if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
    return ::SetConsoleMode(g_pump.console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
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

void IgnoreBrokenPipe() {}

// Through the C runtime's descriptor 1, which follows a redirection made with _dup2 (the tests
// capture standard output so, and the console pump too).
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
