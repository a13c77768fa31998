// Reading a payload file whole, once, without blocking: the bytes a run sends are the bytes that
// were checked, whatever happens to the file afterwards.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace plat {

enum class PayloadRead {
    Ok,
    Missing,           // no such file
    PermissionDenied,  // it exists but may not be read
    NotRegular,        // a directory, a FIFO, a device (also through a link)
    TooLarge,          // more than the limit, or it grew past it while being read
    Error,             // any other failure; the text says which
};

// Opens path without blocking (a FIFO never holds the caller), refuses what is not a regular
// file, and reads it whole into out, at most limit bytes. text is the system's wording of a
// failure.
PayloadRead ReadPayloadFile(const std::string& path, uint64_t limit, std::vector<uint8_t>& out,
                            std::string& text);

// What tells whether a payload file changed since it was last read: its size and modification
// time. exists is false when there is nothing at path.
struct FileStamp {
    bool exists = false;
    uint64_t size = 0;
    int64_t mtimeNs = 0;  // in the platform's own unit
    bool operator==(const FileStamp&) const = default;
};
FileStamp StampFile(const std::string& path);

}  // namespace plat
