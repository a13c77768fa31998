// One queued command: the unsealed frame and the send bookkeeping of the task manager. The bases
// and fields keep the record layout of the original design, read or not.
#pragma once

#include <cstdint>

#include "core/RawString.h"

class CTask {
public:
    virtual ~CTask() = default;

    int32_t m_nMaxRetry = 5;
    int32_t m_nParam1 = 1000;  // nothing reads it; copied with the record
    int32_t m_nParam2 = 100;   // nothing reads it; copied with the record
    int32_t m_nTryCount = 0;
};

// Empty base of the record and of the page; nothing uses it.
class CCmdTask {};

// The CRawString base is left empty by every builder (the frame is m_frame); nothing reads it.
class CISPPacket : public CRawString, public CTask, public CCmdTask {
public:
    CISPPacket() = default;
    CISPPacket(const CISPPacket&) = default;
    CISPPacket& operator=(const CISPPacket&) = default;
    ~CISPPacket() override = default;

    // Nothing calls it.
    virtual const char* GetRuntimeClass() const { return "CISPPacket"; }

    // Command code: byte 3 of the frame, 0 for a frame shorter than 4 bytes.
    uint8_t GetCode() const { return m_frame.GetAt(3); }

    CRawString m_frame;
};
