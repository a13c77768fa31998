// The owning byte buffer. Storage is always the length plus two zero bytes; every change
// reallocates to the exact size. Two empty states exist: no storage, and allocated-empty.
#pragma once

#include <cstdint>

class CRawString {
public:
    CRawString() = default;
    CRawString(const CRawString& other);
    CRawString& operator=(const CRawString& other);
    ~CRawString();

    // Contents become the first keep old bytes followed by len bytes from data.
    int Assign(const uint8_t* data, int32_t len, int32_t keep = 0);
    int Append(const uint8_t* data, int32_t len);
    int Remove(int32_t offset, int32_t count);
    void Clear();
    uint8_t GetAt(uint32_t index) const {
        return (m_pData != nullptr && index < static_cast<uint32_t>(m_nLen)) ? m_pData[index] : 0;
    }

    uint8_t* m_pData = nullptr;
    int32_t m_nLen = 0;
};
