// Payload files on Windows: UTF-16 names, binary reads, and only plain disk files accepted.
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "platform/PayloadFile.h"
#include "platform/win32_util.h"

namespace plat {

PayloadRead ReadPayloadFile(const std::string& path, uint64_t limit, std::vector<uint8_t>& out,
                            std::string& text) {
    out.clear();
    text.clear();
    const std::wstring wide = win::Wide(path);
    // A device name (CON, COM1, NUL) or a pipe is no payload: look before opening it.
    DWORD attrs = ::GetFileAttributesW(wide.c_str());
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        text = "not a regular file";
        return PayloadRead::NotRegular;
    }
    int fd = -1;
    errno_t e =
        ::_wsopen_s(&fd, wide.c_str(), _O_BINARY | _O_RDONLY | _O_NOINHERIT, _SH_DENYNO, _S_IREAD);
    if (e != 0 || fd < 0) {
        text = std::strerror(e != 0 ? e : EINVAL);
        if (e == ENOENT) return PayloadRead::Missing;
        if (e == EACCES) return PayloadRead::PermissionDenied;
        return PayloadRead::Error;
    }
    HANDLE h = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    if (h == INVALID_HANDLE_VALUE || ::GetFileType(h) != FILE_TYPE_DISK) {
        text = "not a regular file";
        ::_close(fd);
        return PayloadRead::NotRegular;
    }
    struct _stat64 st {};
    if (::_fstat64(fd, &st) != 0 || (st.st_mode & _S_IFREG) == 0) {
        text = "not a regular file";
        ::_close(fd);
        return PayloadRead::NotRegular;
    }
    if (static_cast<uint64_t>(st.st_size) > limit) {
        ::_close(fd);
        return PayloadRead::TooLarge;
    }
    const PayloadRead result = ReadBounded(
        [&](uint8_t* buf, size_t size) -> long {
            int n = ::_read(fd, buf, static_cast<unsigned>(size));
            if (n >= 0) return n;
            text = std::strerror(errno);
            return -static_cast<long>(PayloadRead::Error);
        },
        static_cast<uint64_t>(st.st_size), limit, out);
    ::_close(fd);
    return result;
}

FileStamp StampFile(const std::string& path) {
    FileStamp stamp;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(win::Wide(path).c_str(), GetFileExInfoStandard, &data))
        return stamp;
    stamp.exists = true;
    stamp.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    // In the file time's own 100 ns units: it only has to change when the file does.
    stamp.mtimeNs =
        static_cast<int64_t>((static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                             data.ftLastWriteTime.dwLowDateTime);
    return stamp;
}

}  // namespace plat
