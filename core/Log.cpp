// WriteLog and the log file: one formatted line at a time, appended in UTF-16LE and handed to a
// writer thread that echoes it to standard output.
//
// The echo must never hold up the threads that log (the reader and the sender among them): a
// terminal or pipe that is slow or not read at all would otherwise stall the protocol. Lines wait
// in a bounded queue; when it is full they are not echoed, and a note says how many. A write error
// (the reader of the pipe went away) ends the echo for good; the file still gets every line.
#include "core/Log.h"

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "core/Utf.h"
#include "platform/Console.h"
#include "platform/File.h"
#include "platform/Paths.h"

std::atomic<int32_t> g_bLogEnable{0};

namespace {

// What may wait for the echo: a burst of frame dumps, not an unbounded backlog.
constexpr size_t kEchoQueueBytes = 1 << 20;

std::mutex& LogMutex() {
    static std::mutex mtx;
    return mtx;
}

plat::CFile& LogFile() {
    static plat::CFile file;
    return file;
}

// Shared with a writer thread that is never joined (it may sit in a write nobody reads): it is
// never destroyed, so that thread cannot outlive it.
struct CEcho {
    std::mutex mtx;
    std::condition_variable wake;
    std::condition_variable idle;
    std::deque<std::string> lines;
    size_t bytes = 0;
    uint64_t dropped = 0;
    bool started = false;
    bool writing = false;
    bool dead = false;
};

// The log file that cannot be written: said once per opening.
struct CProblem {
    std::mutex mtx;
    bool said = false;
    const void* owner = nullptr;
    LogProblemHandler handler;
};

CProblem& Problem() {
    static CProblem problem;
    return problem;
}

// Not under the log's lock: the handler shows the problem in the window.
void SayProblem(const std::string& path, const std::string& reason) {
    CProblem& p = Problem();
    std::lock_guard<std::mutex> lock(p.mtx);
    if (p.said) return;
    p.said = true;
    std::fprintf(stderr,
                 "kalvo-updater: the log file %s cannot be written (%s); the run goes on "
                 "without it\n",
                 path.c_str(), reason.c_str());
    std::fflush(stderr);
    if (p.handler) p.handler(path, reason);
}

CEcho& Echo() {
    static CEcho* echo = new CEcho;
    return *echo;
}

std::string DropNote(uint64_t dropped) {
    char note[96];
    std::snprintf(note, sizeof note,
                  "[Log] %llu lines not echoed: standard output did not keep up\r\n",
                  static_cast<unsigned long long>(dropped));
    return note;
}

void WriterLoop(CEcho* echo) {
    std::unique_lock<std::mutex> lock(echo->mtx);
    for (;;) {
        echo->wake.wait(lock, [&] { return !echo->lines.empty(); });
        std::deque<std::string> batch;
        batch.swap(echo->lines);
        echo->bytes = 0;
        // Lines dropped so far came after every line of this batch.
        if (echo->dropped != 0) {
            batch.push_back(DropNote(echo->dropped));
            echo->dropped = 0;
        }
        echo->writing = true;
        lock.unlock();
        bool ok = true;
        for (const std::string& line : batch) {
            ok = plat::WriteStdout(line.data(), line.size());
            if (!ok) break;
        }
        lock.lock();
        echo->writing = false;
        if (!ok) {
            echo->dead = true;
            echo->lines.clear();
            echo->bytes = 0;
        }
        echo->idle.notify_all();
        if (!ok) return;
    }
}

void FlushAtExit() {
    FlushLogEcho(1000);
}

// Called with the log lock held, so that the echo keeps the file's order.
void EchoLine(const std::string& line) {
    CEcho& echo = Echo();
    std::lock_guard<std::mutex> lock(echo.mtx);
    if (echo.dead) return;
    if (!echo.started) {
        echo.started = true;
        try {
            std::thread(WriterLoop, &echo).detach();
        } catch (const std::system_error&) {
            echo.dead = true;
            return;
        }
        // What is still queued at the end of the program is written before it exits.
        std::atexit(FlushAtExit);
    }
    if (echo.bytes + line.size() > kEchoQueueBytes && !echo.lines.empty()) {
        ++echo.dropped;
        return;
    }
    if (echo.dropped != 0) {
        echo.lines.push_back(DropNote(echo.dropped));
        echo.bytes += echo.lines.back().size();
        echo.dropped = 0;
    }
    echo.lines.push_back(line);
    echo.bytes += line.size();
    echo.wake.notify_one();
}

}  // namespace

void WriteLog(const char* format, ...) {
    if (g_bLogEnable.load(std::memory_order_relaxed) == 0 || format == nullptr) return;

    char small[1024];
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    std::string line;
    if (n < 0) {
        va_end(copy);
        return;
    }
    if (static_cast<size_t>(n) < sizeof small) {
        line.assign(small, static_cast<size_t>(n));
    } else {
        // Longer than the usual line buffer: grow rather than cut.
        std::vector<char> big(static_cast<size_t>(n) + 1);
        std::vsnprintf(big.data(), big.size(), format, copy);
        line.assign(big.data(), static_cast<size_t>(n));
    }
    va_end(copy);
    if (line.empty()) return;

    std::u16string wide = Utf8ToUtf16(line);
    std::vector<uint8_t> bytes;
    bytes.reserve(wide.size() * 2);
    for (char16_t ch : wide) {
        bytes.push_back(static_cast<uint8_t>(ch & 0xFF));
        bytes.push_back(static_cast<uint8_t>(ch >> 8));
    }
    std::string failed, path;
    {
        std::lock_guard<std::mutex> lock(LogMutex());
        EchoLine(line);
        if (LogFile().IsOpen() &&
            !LogFile().Write(bytes.data(), static_cast<uint32_t>(bytes.size()))) {
            failed = LogFile().LastError();
            path = LogFile().GetPath();
        }
    }
    if (!failed.empty()) SayProblem(path, failed);
}

bool FlushLogEcho(uint32_t ms) {
    CEcho& echo = Echo();
    std::unique_lock<std::mutex> lock(echo.mtx);
    auto done = [&] { return echo.dead || (echo.lines.empty() && !echo.writing); };
    // Against our own clock: a wait may end early, and only the deadline ends the flush.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        echo.idle.wait_until(lock, deadline);
    }
    return true;
}

std::string OldLogPath(const std::string& path) {
    size_t name = path.find_last_of("/\\");
    name = name == std::string::npos ? 0 : name + 1;
    size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot <= name) return path + ".1";
    return path.substr(0, dot) + ".1" + path.substr(dot);
}

bool OpenLogFile(const std::string& path) {
    if (g_bLogEnable.load() == 0) return false;
    {
        std::lock_guard<std::mutex> lock(Problem().mtx);
        Problem().said = false;
    }
    std::string reason;
    {
        std::lock_guard<std::mutex> lock(LogMutex());
        LogFile().Close();
        // Whatever has the log's name moves aside, a link as the link: the new file is made
        // afresh, and not at all if something took the name meanwhile.
        if (plat::MoveReplacing(path, OldLogPath(path), &reason) >= 0) {
            if (LogFile().Open(path, plat::CFile::modeCreate | plat::CFile::modeCreateNew |
                                         plat::CFile::modeWrite | plat::CFile::shareDenyNone))
                return true;
            reason = LogFile().LastError();
        } else {
            reason = "the previous log cannot be kept as " + OldLogPath(path) + ": " + reason;
        }
    }
    SayProblem(path, reason);
    return false;
}

void SetLogProblemHandler(const void* owner, LogProblemHandler handler) {
    CProblem& p = Problem();
    std::lock_guard<std::mutex> lock(p.mtx);
    p.owner = owner;
    p.handler = std::move(handler);
}

void ClearLogProblemHandler(const void* owner) {
    CProblem& p = Problem();
    std::lock_guard<std::mutex> lock(p.mtx);
    if (p.owner != owner) return;
    p.owner = nullptr;
    p.handler = nullptr;
}

void CloseLogFile() {
    FlushLogEcho(1000);
    std::lock_guard<std::mutex> lock(LogMutex());
    LogFile().Close();
}
