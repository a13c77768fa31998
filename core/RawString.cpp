// The owning byte buffer's storage: exact-size reallocation with the two zero bytes after the
// data.
#include "core/RawString.h"

#include <cstring>
#include <new>

namespace {

// Storage for size - 2 bytes that the caller fills at once, and the two zero bytes after them.
// Zeroing all of it first would write every byte twice.
uint8_t* AllocWithTail(int64_t size) {
    auto* p = new (std::nothrow) uint8_t[static_cast<size_t>(size)];
    if (p != nullptr) {
        p[size - 2] = 0;
        p[size - 1] = 0;
    }
    return p;
}

}  // namespace

CRawString::CRawString(const CRawString& other) {
    if (other.m_pData != nullptr) Assign(other.m_pData, other.m_nLen, 0);
}

CRawString& CRawString::operator=(const CRawString& other) {
    if (this == &other) return *this;
    if (other.m_pData == nullptr) {
        Clear();
    } else {
        Assign(other.m_pData, other.m_nLen, 0);
    }
    return *this;
}

CRawString::~CRawString() {
    Clear();
}

void CRawString::Clear() {
    delete[] m_pData;
    m_pData = nullptr;
    m_nLen = 0;
}

int CRawString::Assign(const uint8_t* data, int32_t len, int32_t keep) {
    if (data == m_pData) return 0;
    if (keep < 0) keep = 0;
    if (keep > m_nLen) keep = m_nLen;
    if (data == nullptr || len < 0) return 0;
    if (static_cast<int64_t>(len) + keep > INT32_MAX - 2) return 0;

    uint8_t* storage = AllocWithTail(static_cast<int64_t>(len) + keep + 2);
    if (storage == nullptr) {
        Clear();
        return 0;
    }
    if (keep > 0) std::memcpy(storage, m_pData, static_cast<size_t>(keep));
    if (len > 0) std::memcpy(storage + keep, data, static_cast<size_t>(len));
    Clear();
    m_pData = storage;
    m_nLen = len + keep;
    return 1;
}

int CRawString::Append(const uint8_t* data, int32_t len) {
    if (data == nullptr || len <= 0) return 0;
    if (static_cast<int64_t>(m_nLen) + len > INT32_MAX - 2) return 0;
    uint8_t* storage = AllocWithTail(static_cast<int64_t>(m_nLen) + len + 2);
    if (storage == nullptr) {
        Clear();
        return 0;
    }
    if (m_nLen > 0) std::memcpy(storage, m_pData, static_cast<size_t>(m_nLen));
    std::memcpy(storage + m_nLen, data, static_cast<size_t>(len));
    int32_t total = m_nLen + len;
    Clear();
    m_pData = storage;
    m_nLen = total;
    return 1;
}

int CRawString::Remove(int32_t offset, int32_t count) {
    if (count <= 0 || offset < 0 || offset >= m_nLen) return 0;
    if (count > m_nLen - offset) count = m_nLen - offset;
    int32_t rest = m_nLen - offset - count;
    uint8_t* storage = AllocWithTail(static_cast<int64_t>(offset) + rest + 2);
    if (storage == nullptr) {
        Clear();
        return 0;
    }
    std::memcpy(storage, m_pData, static_cast<size_t>(offset));
    if (rest > 0)
        std::memcpy(storage + offset, m_pData + offset + count, static_cast<size_t>(rest));
    Clear();
    m_pData = storage;
    m_nLen = offset + rest;
    return 1;
}
