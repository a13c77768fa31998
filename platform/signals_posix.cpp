// Stop requests on Linux: SIGINT and SIGTERM are written into a pipe by the handler (the one
// thing a signal handler may safely do) and read by a thread that calls the program back.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/Signals.h"

namespace plat {

namespace {

int g_pipe[2] = {-1, -1};

std::mutex& HandlerMutex() {
    static std::mutex mtx;
    return mtx;
}

std::function<void(StopRequest)>& Handler() {
    static std::function<void(StopRequest)> fn;
    return fn;
}

extern "C" void OnSignal(int sig) {
    const int saved = errno;
    const char byte = sig == SIGINT ? 'I' : 'T';
    // A full pipe drops the request: hundreds are waiting already.
    [[maybe_unused]] ssize_t n = ::write(g_pipe[1], &byte, 1);
    errno = saved;
}

void ReadLoop() {
    for (;;) {
        char byte = 0;
        ssize_t n = ::read(g_pipe[0], &byte, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
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
    // The pipe and its reader live as long as the process; they are made once.
    static const bool ready = [] {
        if (::pipe2(g_pipe, O_CLOEXEC) != 0) return false;
        ::fcntl(g_pipe[1], F_SETFL, O_NONBLOCK);
        try {
            std::thread(ReadLoop).detach();
        } catch (const std::system_error&) {
            return false;
        }
        return true;
    }();
    if (ready) SetAction(OnSignal);
}

void ReleaseStopRequests() {
    SetAction(SIG_DFL);
    std::lock_guard<std::mutex> lock(HandlerMutex());
    Handler() = nullptr;
}

}  // namespace plat
