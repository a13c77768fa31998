// Minimal file object with the open modes the program uses (after the framework's CFile): the
// payloads, the log and the flash dump.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace plat {

class CFile {
public:
    enum : uint32_t {
        modeRead = 0x0000,
        modeWrite = 0x0001,
        modeReadWrite = 0x0002,
        shareDenyNone = 0x0040,
        modeCreate = 0x1000,
        // With modeCreate: only a new file; fails when the name exists, a link among others, so
        // that nothing is written through a link someone put there.
        modeCreateNew = 0x2000,
    };

    CFile() = default;
    ~CFile();
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    // Opens path; modeCreate creates the file or truncates an existing one. On failure the
    // system's wording of the reason is kept for LastError().
    bool Open(const std::string& path, uint32_t flags);
    void Close();
    bool IsOpen() const { return m_fd.load() >= 0; }

    // Reads up to count bytes at the current position; returns the count read (0 at the end or on
    // error).
    uint32_t Read(void* buf, uint32_t count);
    // Writes all count bytes; false when fewer were written.
    bool Write(const void* buf, uint32_t count);
    bool SeekToBegin() { return Seek(0); }
    bool Seek(uint64_t offset);
    // Length in bytes of the open file, 0 when closed.
    uint64_t GetLength() const;

    const std::string& GetPath() const { return m_strPath; }
    const std::string& LastError() const { return m_strError; }

private:
    std::atomic<intptr_t> m_fd{-1};  // the descriptor on POSIX, the HANDLE on Windows; -1: closed
    std::string m_strPath;
    std::string m_strError;
};

}  // namespace plat
