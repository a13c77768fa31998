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

// The read loop both platforms share once the file is open and known to be regular: readSome(buf,
// size) returns the bytes read, 0 at the end, or a negative PayloadRead code (as int) after it
// filled text. sizeHint is the file's size when opened; a file that grows is read on up to one
// byte past the limit, which tells one that grew beyond it from one that ends there.
template <class ReadSome>
PayloadRead ReadBounded(ReadSome readSome, uint64_t sizeHint, uint64_t limit,
                        std::vector<uint8_t>& out) {
    out.resize(static_cast<size_t>(sizeHint));
    size_t done = 0;
    for (;;) {
        if (done == out.size()) {
            if (out.size() > limit) break;
            out.resize(out.size() + 64 * 1024 > limit + 1 ? static_cast<size_t>(limit + 1)
                                                          : out.size() + 64 * 1024);
        }
        const long n = readSome(out.data() + done, out.size() - done);
        if (n < 0) {
            out.clear();
            return static_cast<PayloadRead>(-n);
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    out.resize(done);
    if (done > limit) {
        out.clear();
        return PayloadRead::TooLarge;
    }
    return PayloadRead::Ok;
}

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
