// The update benchmark's reference payload set and its files.
#include "bench/update/ReferenceSet.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "app/PayloadTable.h"
#include "image/HexWriter.h"
#include "sim/Pattern.h"

namespace bench {

namespace {

// The firmware goes in 16-byte HEX records.
constexpr size_t kFwRecord = 16;

PayloadDef Def(int which, const char* name, size_t bytes, const char* unit, double goal) {
    return {which, name, kPayloads[which].file, bytes, unit, kPayloads[which].doneText, goal};
}

// Intel HEX at 0x08000000 in 16-byte records, followed by the version tag.
std::string MakeHex(const std::vector<uint8_t>& data) {
    return WriteIntelHex(data, 0x08000000, "0103");
}

}  // namespace

std::vector<PayloadDef> ReferenceSet(bool quick) {
    size_t k = quick ? 16 : 1;
    return {
        Def(PAYLOAD_FW, "firmware", 512 * 1024 / k, "16-byte HEX records", 0.85),
        Def(PAYLOAD_EDOG, "edog", 1024 * 1024 / k, "4 KiB chunks", 0.98),
        Def(PAYLOAD_MUSIC, "music", 1024 * 1024 / k, "4 KiB chunks", 0.98),
        Def(PAYLOAD_RADAR, "radar", 256 * 1024 / k, "1 KiB chunks", 0.0),
    };
}

int FramesOf(const PayloadDef& s) {
    size_t chunk = kPayloads[s.which].chunk != 0 ? kPayloads[s.which].chunk : kFwRecord;
    return static_cast<int>((s.bytes + chunk - 1) / chunk);
}

PayloadSet::~PayloadSet() {
    std::error_code ec;
    if (!dir.empty()) std::filesystem::remove_all(dir, ec);
}

bool WriteFile(const std::string& path, const void* p, size_t n) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(p), static_cast<std::streamsize>(n));
    return static_cast<bool>(out);
}

bool MakePayloads(const std::vector<PayloadDef>& defs, PayloadSet& set) {
    std::string tmpl = (std::filesystem::temp_directory_path() / "kalvo-bench-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) return false;
    set.dir = tmpl;
    for (size_t i = 0; i < defs.size(); ++i) {
        set.data.push_back(sim::Pattern(defs[i].bytes, static_cast<uint32_t>(i + 1)));
        std::string path = set.dir + "/" + defs[i].file;
        bool ok = i == 0 ? [&] {
            std::string hex = MakeHex(set.data[0]);
            return WriteFile(path, hex.data(), hex.size());
        }()
                         : WriteFile(path, set.data[i].data(), set.data[i].size());
        if (!ok) return false;
    }
    return true;
}

}  // namespace bench
