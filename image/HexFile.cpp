// The Intel HEX reader: decoding one line, loading a file into records with its version tag, and
// placing the data records at their absolute addresses.
#include "image/HexFile.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "core/Log.h"

namespace {

// pData of a record without data bytes: never null, so a copy of 0 bytes from it is defined.
const uint8_t kNoData[1] = {0};

// Minimum line: ':' count(2) address(4) type(2) checksum(2).
constexpr size_t kMinLine = 11;
constexpr size_t kHeader = 9;

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The byte of the digit pair at line[at], or -1 when the pair is missing or not two hex digits.
int HexByte(const char* line, size_t n, size_t at) {
    if (at + 2 > n) return -1;
    int hi = HexDigit(line[at]);
    int lo = HexDigit(line[at + 1]);
    if (hi < 0 || lo < 0) return -1;
    return hi * 16 + lo;
}

// Decodes one line into rec and appends exactly rec.byLen data bytes to data (zero where a pair
// did not decode); rec.pData is left for the caller. 1 when well formed and the checksum holds.
int DecodeLine(const char* line, size_t n, HEX_RECORD& rec, std::vector<uint8_t>& data) {
    std::memset(&rec, 0, sizeof(rec));
    if (line == nullptr) n = 0;
    bool ok = n >= kMinLine;
    if (n > 0) rec.cMark = line[0];
    ok = ok && rec.cMark == ':';

    int len = HexByte(line, n, 1);
    int hi = HexByte(line, n, 3);
    int lo = HexByte(line, n, 5);
    int type = HexByte(line, n, 7);
    ok = ok && len >= 0 && hi >= 0 && lo >= 0 && type >= 0;
    rec.byLen = static_cast<uint8_t>(std::max(len, 0));
    rec.wAddr = static_cast<uint16_t>((std::max(hi, 0) << 8) | std::max(lo, 0));
    rec.byType = static_cast<uint8_t>(std::max(type, 0));
    ok = ok && n == kMinLine + 2u * rec.byLen;

    unsigned sum = rec.byLen + (rec.wAddr >> 8) + (rec.wAddr & 0xFF) + rec.byType;
    size_t start = data.size();
    data.resize(start + rec.byLen, 0);
    for (size_t i = 0; i < rec.byLen; ++i) {
        int b = HexByte(line, n, kHeader + 2 * i);
        ok = ok && b >= 0;
        if (b < 0) continue;
        data[start + i] = static_cast<uint8_t>(b);
        sum += static_cast<unsigned>(b);
    }
    int cs = HexByte(line, n, kHeader + 2u * rec.byLen);
    ok = ok && cs >= 0;
    rec.byChecksum = static_cast<uint8_t>(std::max(cs, 0));
    sum += rec.byChecksum;
    return (ok && (sum & 0xFF) == 0) ? 1 : 0;
}

bool IsEndOfFile(const HEX_RECORD& rec) {
    return rec.byLen == 0 && rec.wAddr == 0 && rec.byType == HEX_END_OF_FILE &&
           rec.byChecksum == 0xFF;
}

// Reads the whole open file; false when it holds more than limit bytes (or claims to).
bool ReadAll(plat::CFile& file, std::string& out, uint64_t limit) {
    out.clear();
    if (file.GetLength() > limit) return false;
    out.reserve(static_cast<size_t>(file.GetLength()));
    char chunk[64 * 1024];
    for (;;) {
        uint32_t got = file.Read(chunk, sizeof(chunk));
        if (got == 0) return true;
        // A device file or a file still growing reports a length it does not keep to.
        if (out.size() + got > limit) return false;
        out.append(chunk, got);
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// CHEXPacket

CHEXPacket::CHEXPacket(const CHEXPacket& other)
    : CRawString(other), m_record(other.m_record), m_data(other.m_data) {}

CHEXPacket& CHEXPacket::operator=(const CHEXPacket& other) {
    if (this == &other) return *this;
    CRawString::operator=(other);
    m_record = other.m_record;
    m_data = other.m_data;
    return *this;
}

int CHEXPacket::Parse(const char* line, size_t n) {
    auto data = std::make_shared<std::vector<uint8_t>>();
    HEX_RECORD rec;
    int ok = DecodeLine(line, n, rec, *data);
    rec.pData = data->empty() ? kNoData : data->data();
    m_data = std::move(data);
    m_record.Assign(reinterpret_cast<const uint8_t*>(&rec), static_cast<int32_t>(sizeof(rec)));
    return ok;
}

HEX_RECORD CHEXPacket::GetHexRecord() const {
    HEX_RECORD rec;
    std::memset(&rec, 0, sizeof(rec));
    if (HasRecord()) std::memcpy(&rec, m_record.m_pData, sizeof(rec));
    return rec;
}

uint8_t CHEXPacket::GetLength() const {
    return GetHexRecord().byLen;
}
uint16_t CHEXPacket::GetAddress() const {
    return GetHexRecord().wAddr;
}
uint8_t CHEXPacket::GetType() const {
    return GetHexRecord().byType;
}
uint8_t CHEXPacket::GetChecksum() const {
    return GetHexRecord().byChecksum;
}

// ---------------------------------------------------------------------------------------------
// CHEXFile

CHEXFile::~CHEXFile() = default;

HEX_RECORD CHEXFile::GetRecord(size_t index) const {
    if (index < m_lstRecord.size()) return m_lstRecord[index];
    HEX_RECORD rec;
    std::memset(&rec, 0, sizeof(rec));
    return rec;
}

int CHEXFile::Load() {
    std::string text;
    bool within = ReadAll(m_file, text, kMaxFileSize);
    std::string path = m_file.GetPath();
    m_file.Close();
    if (!within) {
        WriteLog("[CHEXFile] %s is larger than %llu bytes, not loaded\r\n", path.c_str(),
                 static_cast<unsigned long long>(kMaxFileSize));
        ClearImage();
        return 0;
    }
    return LoadText(text);
}

void CHEXFile::ClearImage() {
    m_lstRecord.clear();
    m_wExtCount = 0;
    m_wVersion = 0;
    m_nDataRecords = 0;
    m_vPlaced.clear();
    m_nUnplaced = 0;
}

int CHEXFile::Load(const std::vector<uint8_t>& bytes) {
    m_file.Close();
    return LoadText(std::string(bytes.begin(), bytes.end()));
}

int CHEXFile::LoadText(const std::string& text) {
    ClearImage();
    int result = 0;

    m_lstRecord.reserve(static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1);
    auto data = std::make_shared<std::vector<uint8_t>>();
    std::vector<size_t> offsets;
    offsets.reserve(m_lstRecord.capacity());

    // Version tags follow the rule of readers that take 9 characters at a time into one line
    // buffer: the word comes from its first four characters once a read comes back short, so the
    // tag overwrites only as many characters as it has and the rest are still the last line's.
    // head is that part of the buffer; it starts zeroed.
    char head[4] = {0, 0, 0, 0};
    bool tag = false;
    size_t pos = 0;
    for (;;) {
        size_t left = text.size() - pos;
        if (left < kHeader) {
            std::memcpy(head, text.data() + pos, std::min<size_t>(left, sizeof(head)));
            tag = true;
            break;
        }
        if (text[pos] != ':') break;
        size_t eol = text.find('\n', pos);
        size_t next = (eol == std::string::npos) ? text.size() : eol + 1;
        size_t end = (eol == std::string::npos) ? text.size() : eol;
        if (end > pos && text[end - 1] == '\r') --end;

        HEX_RECORD rec;
        size_t offset = data->size();
        if (!DecodeLine(text.data() + pos, end - pos, rec, *data)) {
            data->resize(offset);
            break;
        }
        if (IsEndOfFile(rec)) result = 1;
        // Counted on accepted lines only, so that records - m_wExtCount - 2 stays the frame count
        // of a well-formed image.
        if (text[pos + 8] == '4') ++m_wExtCount;
        if (rec.byType == HEX_DATA) ++m_nDataRecords;
        m_lstRecord.push_back(rec);
        offsets.push_back(offset);
        std::memcpy(head, text.data() + pos, sizeof(head));
        pos = next;
    }

    // The data block no longer grows: point the records into it. Earlier blocks stay alive, so
    // copies handed out before a reload keep their bytes.
    data->shrink_to_fit();
    for (size_t i = 0; i < m_lstRecord.size(); ++i) {
        HEX_RECORD& rec = m_lstRecord[i];
        rec.pData = rec.byLen == 0 ? kNoData : data->data() + offsets[i];
    }
    if (!data->empty()) m_dataStore.push_back(std::move(data));
    PlaceData();

    if (tag) {
        auto nib = [&](int i) {
            return static_cast<unsigned>(static_cast<unsigned char>(head[i]) & 0xF);
        };
        m_wVersion = static_cast<uint16_t>(nib(0) << 12 | nib(1) << 8 | nib(2) << 4 | nib(3));
        WriteLog("\r\n GetHexVer == %04x \r\n", static_cast<unsigned>(m_wVersion));
    }
    return result;
}

void CHEXFile::PlaceData() {
    m_vPlaced.clear();
    m_vPlaced.reserve(m_nDataRecords);
    m_nUnplaced = m_lstRecord.size();
    bool haveUpper = false;
    uint32_t upper = 0;
    for (size_t i = 0; i < m_lstRecord.size(); ++i) {
        const HEX_RECORD& r = m_lstRecord[i];
        bool badExt = r.byType == HEX_EXT_LINEAR && (r.byLen != 2 || r.pData == nullptr);
        bool unplaced = r.byType == HEX_DATA && !haveUpper;
        // Start-address records (03, 05) carry nothing to place; some tools put one first.
        if (badExt || unplaced || r.byType == HEX_EXT_SEGMENT || r.byType > HEX_START_LINEAR) {
            m_nUnplaced = i;
            m_vPlaced.clear();
            return;
        }
        if (r.byType == HEX_EXT_LINEAR) {
            haveUpper = true;
            upper = static_cast<uint32_t>(r.pData[0]) << 8 | r.pData[1];
        } else if (r.byType == HEX_DATA) {
            m_vPlaced.push_back({i, (upper << 16) + r.wAddr});
        }
    }
}
