// Intel HEX reader. A firmware image loads into one record per accepted line, in file order,
// with the version word taken from the characters after the last line, and offers one walk over
// its data records at their absolute addresses. The raw payload files are CRawPayload's
// (RawPayload.h).
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/RawString.h"
#include "platform/File.h"

// Record types: the type field of a line.
enum : uint8_t {
    HEX_DATA = 0x00,
    HEX_END_OF_FILE = 0x01,
    HEX_EXT_SEGMENT = 0x02,    // base address in 16-byte paragraphs; not written to the device
    HEX_START_SEGMENT = 0x03,  // CS:IP start address; nothing to write
    HEX_EXT_LINEAR = 0x04,     // upper 16 bits of the addresses of the data records after it
    HEX_START_LINEAR = 0x05,   // 32-bit start address; nothing to write
};

struct HEX_RECORD {
    char cMark;
    uint8_t byLen;
    uint16_t wAddr;
    uint8_t byType;
    const uint8_t* pData;  // byLen bytes, owned by the image (or the packet) that parsed them
    uint8_t byChecksum;
};

// One data record where it lands: its index among the records, its absolute address (the upper
// word of the type-04 record before it, shifted by 16, plus its own address) and its bytes.
struct HEX_PLACED {
    size_t nRecord;
    uint32_t dwAddr;
    uint8_t byLen;
    const uint8_t* pData;
};

class CHEXPacket : public CRawString {
public:
    CHEXPacket() = default;
    CHEXPacket(const CHEXPacket& other);
    CHEXPacket& operator=(const CHEXPacket& other);
    virtual ~CHEXPacket() = default;

    // Decodes one line held in memory (n characters, starting with its mark, without the line
    // end). 1 when the line is well formed (':', then only hex digits of either case, exactly
    // 11 + 2 * count characters) and its checksum holds; the record is stored either way as far
    // as it could be decoded (fields that did not decode are 0, pData always has byLen bytes).
    // pData stays valid while this packet or a copy of it lives and is not parsed again.
    int Parse(const char* line, size_t n);

    uint8_t GetLength() const;
    uint16_t GetAddress() const;
    uint8_t GetType() const;
    uint8_t GetChecksum() const;
    bool HasRecord() const { return m_record.m_nLen >= static_cast<int32_t>(sizeof(HEX_RECORD)); }
    HEX_RECORD GetHexRecord() const;  // zeroed when nothing was parsed

    CRawString m_record;  // the bytes of one HEX_RECORD after a parse

protected:
    std::shared_ptr<std::vector<uint8_t>> m_data;  // the data bytes pData points to
};

class CHEXFile : public CHEXPacket {
public:
    CHEXFile() = default;
    ~CHEXFile() override;
    virtual const char* GetRuntimeClass() const { return "CHEXFile"; }

    // Files larger than this are refused whole (result 0, no records): an image for the device's
    // flash is a few MiB at most, and an endless file must not exhaust memory.
    static constexpr uint64_t kMaxFileSize = 64ull * 1024 * 1024;

    // Reads m_file (opened by the caller) and closes it. 1 when the end-of-file record was among
    // the accepted lines. Lines may end in CR LF or LF.
    int Load();
    // The same from bytes already read (the payload's checked snapshot); m_file is not used.
    int Load(const std::vector<uint8_t>& bytes);
    size_t GetRecordCount() const { return m_lstRecord.size(); }
    // The record at index, in constant time; zeroed when index >= GetRecordCount(). Its pData
    // stays valid for the life of this object, also across a later Load.
    HEX_RECORD GetRecord(size_t index) const;
    uint16_t GetHexVer() const { return m_wVersion; }
    // Count of data records (type 00): the frames a firmware download sends.
    size_t GetDataRecordCount() const { return m_nDataRecords; }

    // Index of the first record that stops the data from being placed, GetRecordCount() when there
    // is none: a type-04 record without its two bytes, a data record before any type-04 record
    // (its upper address is unknown), a type-02 record or an unknown type.
    size_t GetUnplacedRecord() const { return m_nUnplaced; }
    // Calls visit(const HEX_PLACED&) for each data record in file order, from the first at or
    // after record index from, until visit returns false. 0, with nothing visited, when a record
    // stops the data from being placed (GetUnplacedRecord); else 1.
    template <class Visit>
    int WalkPlacedData(Visit&& visit, size_t from = 0) const;

    CHEXPacket m_packet;  // kept for fidelity: nothing uses it
    uint16_t m_wVersion = 0;
    // Kept for fidelity: line lengths (CR LF included) for 2, 16, 4 and 0 data bytes of a reader
    // with a fixed line buffer; this one reads whole lines and nothing reads them.
    int32_t m_nLineLen2 = 17;
    int32_t m_nLineLen16 = 45;
    int32_t m_nLineLen4 = 21;
    int32_t m_nLineLen0 = 13;
    plat::CFile m_file;
    // Accepted lines whose type field ends in '4'; kept for fidelity: only the tests read it.
    uint16_t m_wExtCount = 0;
    std::vector<HEX_RECORD> m_lstRecord;

private:
    struct PLACED {
        size_t nRecord;
        uint32_t dwAddr;
    };
    int LoadText(const std::string& text);
    void ClearImage();  // no records, no version word
    // Works out where each data record lands, once per load.
    void PlaceData();

    std::vector<std::shared_ptr<std::vector<uint8_t>>> m_dataStore;
    size_t m_nDataRecords = 0;
    std::vector<PLACED> m_vPlaced;
    size_t m_nUnplaced = 0;
};

template <class Visit>
int CHEXFile::WalkPlacedData(Visit&& visit, size_t from) const {
    if (m_nUnplaced < m_lstRecord.size()) return 0;
    auto it = std::lower_bound(m_vPlaced.begin(), m_vPlaced.end(), from,
                               [](const PLACED& p, size_t i) { return p.nRecord < i; });
    for (; it != m_vPlaced.end(); ++it) {
        const HEX_RECORD& r = m_lstRecord[it->nRecord];
        if (!visit(HEX_PLACED{it->nRecord, it->dwAddr, r.byLen, r.pData})) break;
    }
    return 1;
}
