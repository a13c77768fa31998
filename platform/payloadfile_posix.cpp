// Payload files on POSIX: opened with O_NONBLOCK and checked with fstat before anything is read.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/PayloadFile.h"

namespace plat {

PayloadRead ReadPayloadFile(const std::string& path, uint64_t limit, std::vector<uint8_t>& out,
                            std::string& text) {
    out.clear();
    text.clear();
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer for ever.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        text = std::strerror(e);
        if (e == ENOENT || e == ENOTDIR) return PayloadRead::Missing;
        if (e == EACCES || e == EPERM) return PayloadRead::PermissionDenied;
        return PayloadRead::Error;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        text = "not a regular file";
        ::close(fd);
        return PayloadRead::NotRegular;
    }
    if (static_cast<uint64_t>(st.st_size) > limit) {
        ::close(fd);
        return PayloadRead::TooLarge;
    }
    out.resize(static_cast<size_t>(st.st_size));
    size_t done = 0;
    for (;;) {
        // One byte of room past the limit tells a file that grew beyond it from one that ends.
        if (done == out.size()) {
            if (out.size() > limit) break;
            out.resize(out.size() + 64 * 1024 > limit + 1 ? static_cast<size_t>(limit + 1)
                                                          : out.size() + 64 * 1024);
        }
        ssize_t n = ::read(fd, out.data() + done, out.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int e = errno;
            text = std::strerror(e);
            ::close(fd);
            out.clear();
            return e == EACCES ? PayloadRead::PermissionDenied : PayloadRead::Error;
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    ::close(fd);
    out.resize(done);
    if (done > limit) {
        out.clear();
        return PayloadRead::TooLarge;
    }
    return PayloadRead::Ok;
}

FileStamp StampFile(const std::string& path) {
    FileStamp stamp;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return stamp;
    stamp.exists = true;
    stamp.size = static_cast<uint64_t>(st.st_size);
    stamp.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return stamp;
}

}  // namespace plat
