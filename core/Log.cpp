#include "core/Log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <vector>

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

std::u16string Utf8ToUtf16(const std::string& text) {
    std::u16string out;
    out.reserve(text.size());
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        uint32_t c = s[i];
        size_t len = 1;
        uint32_t cp = 0xFFFD;
        if (c < 0x80) {
            cp = c;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
        }
        if (len > 1) {
            if (i + len > n) {
                len = 1;
            } else {
                uint32_t v = c & (0xFF >> (len + 1));
                bool ok = true;
                for (size_t k = 1; k < len; ++k) {
                    if ((s[i + k] & 0xC0) != 0x80) {
                        ok = false;
                        break;
                    }
                    v = (v << 6) | (s[i + k] & 0x3F);
                }
                if (ok) {
                    cp = v;
                } else {
                    len = 1;
                }
            }
        }
        i += len;
        if (cp >= 0x10000 && cp <= 0x10FFFF) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            out.push_back(u'\xFFFD');
        } else {
            out.push_back(static_cast<char16_t>(cp <= 0xFFFF ? cp : 0xFFFD));
        }
    }
    return out;
}

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
