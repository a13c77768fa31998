// WriteLog and the log file: one formatted line at a time, echoed to standard output and
// appended in UTF-16LE.
#include "core/Log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <vector>

#include "core/Utf.h"
#include "platform/File.h"

std::atomic<int32_t> g_bLogEnable{0};

namespace {

std::mutex& LogMutex() {
    static std::mutex mtx;
    return mtx;
}

plat::CFile& LogFile() {
    static plat::CFile file;
    return file;
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
    std::lock_guard<std::mutex> lock(LogMutex());
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
    if (LogFile().IsOpen()) LogFile().Write(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

bool OpenLogFile(const std::string& path) {
    std::lock_guard<std::mutex> lock(LogMutex());
    return LogFile().Open(
        path, plat::CFile::modeCreate | plat::CFile::modeWrite | plat::CFile::shareDenyNone);
}

void CloseLogFile() {
    std::lock_guard<std::mutex> lock(LogMutex());
    LogFile().Close();
}
