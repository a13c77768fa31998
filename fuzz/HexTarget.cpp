// The Intel HEX reader on arbitrary file contents. What it accepts must hold together: every
// record's checksum holds and its data bytes are readable, the counts agree, the walk over the
// placed data visits every data record of a placeable image in order, the download queues one
// frame per data record exactly when the image can be placed, and the read-back comparison
// matches the records in order. The whole-file check of a payload either refuses with a reason or
// accepts an image whose placed bytes are exactly those of the file, each inside the flash and
// written once.
#include <sys/mman.h>
#include <unistd.h>

#include <map>
#include <string>
#include <string_view>

#include "fuzz/FuzzTargets.h"
#include "image/HexCheck.h"
#include "image/HexFile.h"
#include "isp/IspCtrl.h"

namespace {

void Check(bool ok, const char* what) {
    if (!ok) fuzz::Fail("hex", what);
}

int Nibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 'A' + 10;
}

// A plain decode of an image the check took: address -> byte, from its own reading of the lines.
std::map<uint64_t, uint8_t> Reference(std::string_view text) {
    std::map<uint64_t, uint8_t> bytes;
    uint64_t upper = 0;
    size_t pos = 0;
    while (pos < text.size() && text[pos] == ':') {
        size_t eol = text.find('\n', pos);
        std::string_view l = text.substr(pos, eol - pos);
        if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
        pos = eol + 1;
        auto at = [&](size_t i) { return Nibble(l[1 + 2 * i]) * 16 + Nibble(l[2 + 2 * i]); };
        int len = at(0), type = at(3);
        uint64_t addr = static_cast<uint64_t>(at(1) * 256 + at(2));
        if (type == 4) upper = static_cast<uint64_t>(at(4) * 256 + at(5));
        if (type == 0)
            for (int k = 0; k < len; ++k)
                bytes[(upper << 16) + addr + k] = static_cast<uint8_t>(at(4 + k));
        if (type == 1) break;
    }
    return bytes;
}

void CheckWholeFile(const uint8_t* data, size_t size) {
    constexpr uint32_t flash = HEX_DEFAULT_FLASH_KB * 1024;
    HexCheckResult r = CheckHexImage(data, size, HEX_FLASH_BASE, flash);
    if (!r.ok) {
        Check(!r.reason.empty(), "refused without a reason");
        return;
    }
    Check(r.reason.empty(), "accepted with a reason");
    CHEXFile image;
    Check(image.Load(std::vector<uint8_t>(data, data + size)) == 1, "accepted image does not load");
    Check(image.GetHexVer() == r.wVersion, "version word differs from the tag");
    Check(image.GetDataRecordCount() == r.nDataRecords, "data record count differs");
    std::map<uint64_t, uint8_t> written;
    uint64_t bytes = 0;
    int placed = image.WalkPlacedData([&](const HEX_PLACED& d) {
        for (int k = 0; k < d.byLen; ++k) {
            uint64_t a = static_cast<uint64_t>(d.dwAddr) + k;
            Check(a >= HEX_FLASH_BASE && a < HEX_FLASH_BASE + flash, "byte outside the flash");
            Check(written.emplace(a, d.pData[k]).second, "byte written twice");
        }
        bytes += d.byLen;
        return true;
    });
    Check(placed == 1, "accepted image cannot be placed");
    Check(bytes == r.nDataBytes, "data byte count differs");
    Check(written == Reference({reinterpret_cast<const char*>(data), size}),
          "placed bytes differ from the file's");
}

}  // namespace

int FuzzHexLoad(const uint8_t* data, size_t size) {
    int fd = memfd_create("fuzz-hex", MFD_CLOEXEC);
    if (fd < 0) return 0;
    size_t done = 0;
    while (done < size) {
        ssize_t w = ::write(fd, data + done, size - done);
        if (w <= 0) break;
        done += static_cast<size_t>(w);
    }
    CHEXFile image;
    bool opened = done == size &&
                  image.m_file.Open("/proc/self/fd/" + std::to_string(fd), plat::CFile::modeRead);
    ::close(fd);
    if (!opened) return 0;
    int result = image.Load();
    Check(!image.m_file.IsOpen(), "Load left the file open");

    size_t count = image.GetRecordCount();
    size_t dataRecords = 0;
    bool eof = false;
    for (size_t i = 0; i < count; ++i) {
        HEX_RECORD r = image.GetRecord(i);
        Check(r.pData != nullptr, "record without data pointer");
        unsigned sum = r.byLen + (r.wAddr >> 8) + (r.wAddr & 0xFF) + r.byType + r.byChecksum;
        for (int k = 0; k < r.byLen; ++k) sum += r.pData[k];
        Check((sum & 0xFF) == 0, "accepted record fails its checksum");
        eof = eof || (r.byLen == 0 && r.wAddr == 0 && r.byType == 1 && r.byChecksum == 0xFF);
        if (r.byType == 0) ++dataRecords;
    }
    Check(result == (eof ? 1 : 0), "result disagrees with the end-of-file record");
    Check(image.m_wExtCount <= count, "more extended address lines than records");
    Check(image.GetDataRecordCount() == dataRecords, "data record count is off");
    Check(image.GetRecord(count).byLen == 0, "record past the end is not empty");

    size_t walked = 0, last = 0;
    int placed = image.WalkPlacedData([&](const HEX_PLACED& d) {
        HEX_RECORD r = image.GetRecord(d.nRecord);
        Check(r.byType == HEX_DATA && r.pData == d.pData && r.byLen == d.byLen &&
                  (d.dwAddr & 0xFFFF) == r.wAddr,
              "walk visits other than a data record");
        Check(walked == 0 || d.nRecord > last, "walk out of order");
        last = d.nRecord;
        ++walked;
        return true;
    });
    Check(placed == (image.GetUnplacedRecord() >= count ? 1 : 0), "walk disagrees with refusal");
    Check(!placed || walked == dataRecords, "walk skipped a data record");

    CCmdTaskManager& tasks = *CCmdTaskManager::GetInstance();
    tasks.ClearTask();
    g_ISPCtrl.m_nRunState.store(2);
    int queued = g_ISPCtrl.DownloadHex(&image);
    Check(queued == (count > 0 && placed ? 1 : 0), "download refuses other than the walk");
    if (queued != 0)
        Check(tasks.GetQueueSize() == dataRecords, "download queued other than one frame a record");
    tasks.ClearTask();

    g_ISPCtrl.m_nVerifyIndex.store(0);
    for (size_t i = 0; i < count; ++i) {
        HEX_RECORD r = image.GetRecord(i);
        if (r.byType != HEX_DATA) continue;
        Check(g_ISPCtrl.CompareReadBack(&image, r.pData, r.byLen) == placed,
              "read-back of the record's own bytes does not match");
    }
    g_ISPCtrl.m_nVerifyIndex.store(0);
    CheckWholeFile(data, size);
    return 0;
}
