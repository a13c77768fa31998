// One queued command: the unsealed frame and the send bookkeeping of the task manager.
#pragma once

#include <cstdint>

#include "core/RawString.h"

class CTask {
public:
    virtual ~CTask() = default;

    int32_t m_nMaxRetry = 5;
    int32_t m_nParam1 = 1000;
    int32_t m_nParam2 = 100;
    int32_t m_nTryCount = 0;
};

class CCmdTask {};

class CISPPacket : public CRawString, public CTask, public CCmdTask {
public:
    CISPPacket() = default;
    CISPPacket(const CISPPacket&) = default;
    CISPPacket& operator=(const CISPPacket&) = default;
    ~CISPPacket() override = default;

    virtual const char* GetRuntimeClass() const { return "CISPPacket"; }

    // Command code: byte 3 of the frame, 0 for a frame shorter than 4 bytes.
    uint8_t GetCode() const { return m_frame.GetAt(3); }

    CRawString m_frame;
};
