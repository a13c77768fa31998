// Child processes and stop signals on POSIX: posix_spawn with the output in files, waitpid
// without blocking, SIGTERM and SIGKILL.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>

#include "platform/Spawn.h"

extern char** environ;

namespace plat {

struct CChildProcess::Impl {
    pid_t pid = -1;
    bool ended = false;
    int code = 0;
};

CChildProcess::CChildProcess() : m_p(std::make_unique<Impl>()) {}

CChildProcess::~CChildProcess() {
    if (m_p->pid > 0 && !m_p->ended) {
        ::kill(m_p->pid, SIGKILL);
        int status = 0;
        while (::waitpid(m_p->pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

bool CChildProcess::Start(const std::vector<std::string>& argv, const std::string& outPath,
                          const std::string& errPath, std::string& error) {
    if (argv.empty() || m_p->pid > 0) {
        error = "nothing to start";
        return false;
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&fa);
    posix_spawnattr_init(&attr);
    // Not O_CLOEXEC: the action opens straight onto the descriptor the child keeps.
    const int mode = O_WRONLY | O_CREAT | O_APPEND;
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, outPath.c_str(), mode, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, errPath.c_str(), mode, 0644);
    // Its own process group: Ctrl-C goes to the station, which ends the children in order.
    // The station ignores SIGPIPE; the child starts with the defaults again.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(
        &attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, args[0], &fa, &attr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        error = "cannot start " + argv[0] + ": " + std::strerror(rc);
        return false;
    }
    m_p->pid = pid;
    return true;
}

bool CChildProcess::Poll(int& code) {
    if (m_p->pid <= 0) return false;
    if (!m_p->ended) {
        int status = 0;
        pid_t r = ::waitpid(m_p->pid, &status, WNOHANG);
        if (r != m_p->pid) return false;
        m_p->ended = true;
        m_p->code = WIFEXITED(status)     ? WEXITSTATUS(status)
                    : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                          : 255;
    }
    code = m_p->code;
    return true;
}

void CChildProcess::RequestStop() {
    if (m_p->pid > 0 && !m_p->ended) ::kill(m_p->pid, SIGTERM);
}

void CChildProcess::Kill() {
    if (m_p->pid > 0 && !m_p->ended) ::kill(m_p->pid, SIGKILL);
}

bool CChildProcess::Running() const {
    return m_p->pid > 0 && !m_p->ended;
}

bool MakeDirectories(const std::string& path) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    return std::filesystem::is_directory(path, ec);
}

std::string ExecutablePath() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

namespace {
std::atomic<int> g_stopSignal{0};
void OnStopSignal(int sig) {
    int none = 0;
    g_stopSignal.compare_exchange_strong(none, sig);
}
}  // namespace

void CatchStopSignals() {
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
}

int StopSignal() {
    return g_stopSignal.load();
}

}  // namespace plat
