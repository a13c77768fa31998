// ISP frame format: AC, 16-bit length (whole frame, little-endian), command, payload, checksum
// (low 8 bits of the sum of the command and payload bytes).
#pragma once

#include <cstdint>
#include <functional>

#include "core/RawString.h"

namespace isp {

constexpr uint8_t FRAME_START = 0xAC;
constexpr uint8_t MIN_RX_CODE = 0x01;
constexpr uint8_t MAX_RX_CODE = 0x51;

// Writes the head of an unsealed frame to out[0..3]: the start byte, the length of the sealed frame
// (payload + 5, low byte first) and the command.
void PutFrameHead(uint8_t* out, uint8_t code, uint32_t payloadLen);

// Writes a 32-bit payload field (an address) to out[0..3], low byte first.
void PutLe32(uint8_t* out, uint32_t value);

// Checksum of frame bytes 3 .. n-1 of an unsealed frame of n bytes.
uint8_t FrameChecksum(const uint8_t* frame, int32_t n);

// Appends the checksum to an unsealed frame.
bool SealFrame(CRawString& frame);

}  // namespace isp

// Finds the first valid frame in the stream. On TRUE, stream[start] is its low length byte (one
// past the start byte) and stream[end] its checksum byte. Only the low length byte is read, and
// only command codes 0x01..0x51 are accepted.
int FindFrame(const CRawString& stream, int& start, int& end);

namespace isp {

// Takes every valid frame out of the stream, in order, handing each (without its start byte) to
// onFrame; a frame and everything before it leave the stream together. Afterwards drops the bytes
// that can no longer begin a valid frame, so a noisy line cannot make the stream grow: what stays
// is at most one incomplete frame candidate (under 256 bytes).
void ExtractFrames(CRawString& stream, const std::function<void(const CRawString&)>& onFrame);

// Index of the first byte that may still begin a valid frame once more bytes arrive, or the
// stream length when there is none.
int32_t FirstLiveCandidate(const CRawString& stream);

}  // namespace isp
