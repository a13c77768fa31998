// The reference payload set of the update benchmark: the four payloads of the payload table at
// their reference sizes, written as files into a directory of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

struct PayloadDef {
    int which;  // its row in the payload table
    std::string name;
    std::string file;
    size_t bytes;
    std::string unit;     // how the payload is cut into frames
    std::string success;  // the status text shown right after its last acknowledgement
    double goal;          // wanted ratio of the wire bound to the measured time, 0: none
};

std::vector<PayloadDef> ReferenceSet(bool quick);
// Write frames the payload takes.
int FramesOf(const PayloadDef& s);

struct PayloadSet {
    std::string dir;
    std::vector<std::vector<uint8_t>> data;  // firmware image bytes, then the raw files

    ~PayloadSet();
};

bool WriteFile(const std::string& path, const void* p, size_t n);
bool MakePayloads(const std::vector<PayloadDef>& defs, PayloadSet& set);

}  // namespace bench
