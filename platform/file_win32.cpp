// Files on Windows: UTF-16 paths, always binary (no CR LF translation, no end at a 0x1A byte).
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "platform/File.h"
#include "platform/win32_util.h"

namespace plat {

CFile::~CFile() {
    Close();
}

bool CFile::Open(const std::string& path, uint32_t flags) {
    Close();
    int oflags = _O_BINARY | _O_NOINHERIT;
    if (flags & modeReadWrite)
        oflags |= _O_RDWR;
    else if (flags & modeWrite)
        oflags |= _O_WRONLY;
    else
        oflags |= _O_RDONLY;
    if (flags & modeCreate) oflags |= _O_CREAT | ((flags & modeCreateNew) ? _O_EXCL : _O_TRUNC);
    int fd = -1;
    errno_t e = ::_wsopen_s(&fd, win::Wide(path).c_str(), oflags, _SH_DENYNO, _S_IREAD | _S_IWRITE);
    if (e != 0 || fd < 0) {
        m_strError = std::strerror(e != 0 ? e : EINVAL);
        return false;
    }
    m_strPath = path;
    m_strError.clear();
    m_fd.store(fd);
    return true;
}

void CFile::Close() {
    int fd = m_fd.exchange(-1);
    if (fd >= 0) ::_close(fd);
}

uint32_t CFile::Read(void* buf, uint32_t count) {
    int fd = m_fd.load();
    if (fd < 0 || buf == nullptr) return 0;
    uint32_t done = 0;
    auto* p = static_cast<uint8_t*>(buf);
    while (done < count) {
        int n = ::_read(fd, p + done, count - done);
        if (n <= 0) break;
        done += static_cast<uint32_t>(n);
    }
    return done;
}

bool CFile::Write(const void* buf, uint32_t count) {
    int fd = m_fd.load();
    if (fd < 0) return false;
    uint32_t done = 0;
    const auto* p = static_cast<const uint8_t*>(buf);
    while (done < count) {
        int n = ::_write(fd, p + done, count - done);
        if (n <= 0) {
            m_strError = std::strerror(errno);
            return false;
        }
        done += static_cast<uint32_t>(n);
    }
    return true;
}

bool CFile::Seek(uint64_t offset) {
    int fd = m_fd.load();
    if (fd < 0) return false;
    return ::_lseeki64(fd, static_cast<__int64>(offset), SEEK_SET) >= 0;
}

uint64_t CFile::GetLength() const {
    int fd = m_fd.load();
    if (fd < 0) return 0;
    struct _stat64 st {};
    if (::_fstat64(fd, &st) != 0) return 0;
    return static_cast<uint64_t>(st.st_size);
}

}  // namespace plat
