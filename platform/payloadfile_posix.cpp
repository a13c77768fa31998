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
    const PayloadRead result = ReadBounded(
        [&](uint8_t* buf, size_t size) -> long {
            for (;;) {
                ssize_t n = ::read(fd, buf, size);
                if (n >= 0) return static_cast<long>(n);
                if (errno == EINTR) continue;
                const int e = errno;
                text = std::strerror(e);
                return -static_cast<long>(e == EACCES ? PayloadRead::PermissionDenied
                                                      : PayloadRead::Error);
            }
        },
        static_cast<uint64_t>(st.st_size), limit, out);
    ::close(fd);
    return result;
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
