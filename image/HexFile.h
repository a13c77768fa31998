// Intel HEX reader. A firmware image loads into one record per accepted line, in file order,
// with the version word taken from the characters after the last line. The same class holds the
// raw payload files (camera database, sounds, radar firmware) with their read offsets.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/RawString.h"
#include "platform/File.h"

struct HEX_RECORD {
    char cMark;
    uint8_t byLen;
    uint16_t wAddr;
    uint8_t byType;
    const uint8_t* pData;  // byLen bytes, owned by the image (or the packet) that parsed them
    uint8_t byChecksum;
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
    size_t GetRecordCount() const { return m_lstRecord.size(); }
    // The record at index, in constant time; zeroed when index >= GetRecordCount(). Its pData
    // stays valid for the life of this object, also across a later Load.
    HEX_RECORD GetRecord(size_t index) const;
    uint16_t GetHexVer() const { return m_wVersion; }
    // Count of data records (type 00): the frames a firmware download sends.
    size_t GetDataRecordCount() const { return m_nDataRecords; }

    uint32_t m_dwEdogOffset = 0;
    uint32_t m_dwMusicOffset = 0;
    uint32_t m_dwRadarOffset = 0;
    CHEXPacket m_packet;
    uint16_t m_wVersion = 0;
    int32_t m_nLineLen2 = 17;
    int32_t m_nLineLen16 = 45;
    int32_t m_nLineLen4 = 21;
    int32_t m_nLineLen0 = 13;
    plat::CFile m_file;
    uint16_t m_wExtCount = 0;
    std::vector<HEX_RECORD> m_lstRecord;

private:
    std::vector<std::shared_ptr<std::vector<uint8_t>>> m_dataStore;
    size_t m_nDataRecords = 0;
};
