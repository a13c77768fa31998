// Child processes and stop signals on Windows: CreateProcessW with the output in files, a wait of
// no time, TerminateProcess, and the console's control handler.
#include <atomic>
#include <filesystem>

#include "platform/Spawn.h"
#include "platform/win32_util.h"

namespace plat {

struct CChildProcess::Impl {
    HANDLE process = nullptr;
    bool ended = false;
    int code = 0;
};

namespace {

// One argument as CommandLineToArgvW reads it back.
std::wstring Quote(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
    std::wstring out = L"\"";
    size_t slashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++slashes;
            continue;
        }
        out.append(c == L'"' ? slashes * 2 + 1 : slashes, L'\\');
        slashes = 0;
        out += c;
    }
    out.append(slashes * 2, L'\\');
    return out + L"\"";
}

HANDLE OpenAppend(const std::string& path) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    return ::CreateFileW(win::Wide(path).c_str(), FILE_APPEND_DATA,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &sa, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

CChildProcess::CChildProcess() : m_p(std::make_unique<Impl>()) {}

CChildProcess::~CChildProcess() {
    if (m_p->process != nullptr) {
        if (!m_p->ended) {
            ::TerminateProcess(m_p->process, 1);
            ::WaitForSingleObject(m_p->process, 5000);
        }
        ::CloseHandle(m_p->process);
    }
}

bool CChildProcess::Start(const std::vector<std::string>& argv, const std::string& outPath,
                          const std::string& errPath, std::string& error) {
    if (argv.empty() || m_p->process != nullptr) {
        error = "nothing to start";
        return false;
    }
    std::wstring cmd;
    for (const std::string& a : argv) cmd += (cmd.empty() ? L"" : L" ") + Quote(win::Wide(a));
    HANDLE out = OpenAppend(outPath), err = OpenAppend(errPath);
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE in = ::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                              OPEN_EXISTING, 0, nullptr);
    bool ok = out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE;
    PROCESS_INFORMATION pi{};
    if (ok) {
        STARTUPINFOW si{};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = in;
        si.hStdOutput = out;
        si.hStdError = err;
        // A group of its own: the console's Ctrl-C reaches the station alone.
        ok = ::CreateProcessW(win::Wide(argv[0]).c_str(), cmd.data(), nullptr, nullptr, TRUE,
                              CREATE_NEW_PROCESS_GROUP | CREATE_NO_WINDOW, nullptr, nullptr, &si,
                              &pi) != 0;
        if (!ok) error = "cannot start " + argv[0] + ": " + win::ErrorText(::GetLastError());
    } else {
        error = "cannot create " + (out == INVALID_HANDLE_VALUE ? outPath : errPath) + ": " +
                win::ErrorText(::GetLastError());
    }
    for (HANDLE h : {out, err, in})
        if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
    if (!ok) return false;
    ::CloseHandle(pi.hThread);
    m_p->process = pi.hProcess;
    return true;
}

bool CChildProcess::Poll(int& code) {
    if (m_p->process == nullptr) return false;
    if (!m_p->ended) {
        if (::WaitForSingleObject(m_p->process, 0) != WAIT_OBJECT_0) return false;
        DWORD exitCode = 255;
        ::GetExitCodeProcess(m_p->process, &exitCode);
        m_p->ended = true;
        m_p->code = static_cast<int>(exitCode);
    }
    code = m_p->code;
    return true;
}

void CChildProcess::RequestStop() {
    // A console program in a group of its own and without a console takes no control event:
    // it is ended where it stands, and tells the device nothing more.
    Kill();
}

void CChildProcess::Kill() {
    if (m_p->process != nullptr && !m_p->ended) ::TerminateProcess(m_p->process, 143);
}

bool CChildProcess::Running() const {
    return m_p->process != nullptr && !m_p->ended;
}

bool MakeDirectories(const std::string& path) {
    std::error_code ec;
    std::filesystem::path p(win::Wide(path));
    std::filesystem::create_directories(p, ec);
    return std::filesystem::is_directory(p, ec);
}

std::string ExecutablePath() {
    wchar_t buf[MAX_PATH * 2];
    DWORD n = ::GetModuleFileNameW(nullptr, buf, MAX_PATH * 2);
    return n > 0 && n < MAX_PATH * 2 ? win::Narrow(buf, n) : std::string();
}

namespace {
std::atomic<int> g_stopSignal{0};
BOOL WINAPI OnControl(DWORD type) {
    int sig = type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT ? 2 : 15;
    int none = 0;
    g_stopSignal.compare_exchange_strong(none, sig);
    // A closing console gives a few seconds: the station uses them to end its children.
    if (type == CTRL_CLOSE_EVENT) ::Sleep(3000);
    return TRUE;
}
}  // namespace

void CatchStopSignals() {
    ::SetConsoleCtrlHandler(OnControl, TRUE);
}

int StopSignal() {
    return g_stopSignal.load();
}

}  // namespace plat
