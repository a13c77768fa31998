// The file object on POSIX: open, read, write, lseek and fstat on a descriptor.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/File.h"

namespace plat {

CFile::~CFile() {
    Close();
}

bool CFile::Open(const std::string& path, uint32_t flags) {
    Close();
    int oflags = O_CLOEXEC;
    if (flags & modeReadWrite)
        oflags |= O_RDWR;
    else if (flags & modeWrite)
        oflags |= O_WRONLY;
    else
        oflags |= O_RDONLY;
    if (flags & modeCreate) oflags |= O_CREAT | ((flags & modeCreateNew) ? O_EXCL : O_TRUNC);
    const int fd = ::open(path.c_str(), oflags, 0644);
    if (fd < 0) {
        m_strError = std::strerror(errno);
        return false;
    }
    if (!(oflags & (O_WRONLY | O_RDWR))) {
        struct stat st {};
        if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
            ::close(fd);
            m_strError = std::strerror(EISDIR);
            return false;
        }
    }
    m_strPath = path;
    m_strError.clear();
    m_fd.store(fd);
    return true;
}

void CFile::Close() {
    const int fd = static_cast<int>(m_fd.exchange(-1));
    if (fd >= 0) ::close(fd);
}

uint32_t CFile::Read(void* buf, uint32_t count) {
    const int fd = static_cast<int>(m_fd.load());
    if (fd < 0 || buf == nullptr) return 0;
    uint32_t done = 0;
    auto* p = static_cast<uint8_t*>(buf);
    while (done < count) {
        ssize_t n = ::read(fd, p + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<uint32_t>(n);
    }
    return done;
}

bool CFile::Write(const void* buf, uint32_t count) {
    const int fd = static_cast<int>(m_fd.load());
    if (fd < 0) return false;
    uint32_t done = 0;
    const auto* p = static_cast<const uint8_t*>(buf);
    while (done < count) {
        ssize_t n = ::write(fd, p + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            m_strError = std::strerror(errno);
            return false;
        }
        done += static_cast<uint32_t>(n);
    }
    return true;
}

bool CFile::Seek(uint64_t offset) {
    const int fd = static_cast<int>(m_fd.load());
    if (fd < 0) return false;
    return ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) >= 0;
}

uint64_t CFile::GetLength() const {
    const int fd = static_cast<int>(m_fd.load());
    if (fd < 0) return 0;
    struct stat st {};
    if (::fstat(fd, &st) != 0) return 0;
    return static_cast<uint64_t>(st.st_size);
}

}  // namespace plat
