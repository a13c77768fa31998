// Stop requests on Linux: SIGINT and SIGTERM are written into a pipe by the handler (the one
// thing a signal handler may safely do) and read by a thread that calls the program back while
// the requests are caught.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/Signals.h"

namespace plat {

namespace {

// Made once and kept: a handler may still be writing to it while the requests are released.
int g_pipe[2] = {-1, -1};
// The handler's end, published once the pipe is ready: a lock-free atomic may be read in a
// handler, and its release and acquire order the pipe's making before any write from a handler
// that runs on another thread.
std::atomic<int> g_writeEnd{-1};
constexpr char kQuit = 'Q';

std::mutex& HandlerMutex() {
    static std::mutex mtx;
    return mtx;
}

std::function<void(StopRequest)>& Handler() {
    static std::function<void(StopRequest)> fn;
    return fn;
}

// Catch and Release come from one thread at a time (the terminal face).
std::thread& Reader() {
    static std::thread reader;
    return reader;
}

extern "C" void OnSignal(int sig) {
    const int saved = errno;
    const char byte = sig == SIGINT ? 'I' : 'T';
    // A full pipe drops the request: hundreds are waiting already.
    const int fd = g_writeEnd.load(std::memory_order_acquire);
    if (fd >= 0) {
        [[maybe_unused]] ssize_t n = ::write(fd, &byte, 1);
    }
    errno = saved;
}

void ReadLoop() {
    for (;;) {
        char byte = 0;
        ssize_t n = ::read(g_pipe[0], &byte, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || byte == kQuit) return;
        std::lock_guard<std::mutex> lock(HandlerMutex());
        if (Handler()) Handler()(byte == 'I' ? StopRequest::Interrupt : StopRequest::Terminate);
    }
}

void SetAction(void (*action)(int)) {
    struct sigaction sa {};
    sa.sa_handler = action;
    sigemptyset(&sa.sa_mask);
    // Reads and waits of the other threads go on after the handler.
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
}

}  // namespace

void CatchStopRequests(std::function<void(StopRequest)> onRequest) {
    {
        std::lock_guard<std::mutex> lock(HandlerMutex());
        Handler() = std::move(onRequest);
    }
    static const bool piped = [] {
        if (::pipe2(g_pipe, O_CLOEXEC) != 0) return false;
        // The handler must never block.
        ::fcntl(g_pipe[1], F_SETFL, O_NONBLOCK);
        g_writeEnd.store(g_pipe[1], std::memory_order_release);
        return true;
    }();
    if (!piped) return;
    if (!Reader().joinable()) {
        try {
            Reader() = std::thread(ReadLoop);
        } catch (const std::system_error&) {
            return;
        }
    }
    SetAction(OnSignal);
}

void ReleaseStopRequests() {
    SetAction(SIG_DFL);
    if (Reader().joinable()) {
        // Requests already in the pipe are handled first.
        const char quit = kQuit;
        if (::write(g_pipe[1], &quit, 1) == 1) Reader().join();
    }
    std::lock_guard<std::mutex> lock(HandlerMutex());
    Handler() = nullptr;
}

}  // namespace plat
