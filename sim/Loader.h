// The bootloader's side of the ISP protocol without any I/O: one host frame in, the device frames
// of its answer out. Keeps the flash model, the raw payloads and the record of what came in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/Device.h"
#include "sim/Sha256.h"

namespace sim {

constexpr uint32_t FLASH_BASE = 0x08000000;

// Device error codes of status frames.
enum : uint8_t {
    ERR_INVALID_COMMAND = 3,
    ERR_BAD_PARAMETERS = 7,
    ERR_TARGET_ADDRESS = 8,
    ERR_SOURCE_ADDRESS = 9,
};

// One write to the line: a device frame or a run of answer data, sent at the rate given.
struct Piece {
    std::vector<uint8_t> bytes;
    uint32_t baud;
};
using Answer = std::vector<Piece>;

// KiB for a flash size code, 0 when the code is not in the size table.
uint32_t FlashSizeKiB(uint8_t code);

class CLoader {
public:
    explicit CLoader(const Options& o);

    // Carries out a host frame with a good checksum.
    Answer Handle(uint8_t code, const std::vector<uint8_t>& payload);
    // Records a violation and refuses the frame with an error status.
    Answer Reject(uint8_t code, uint8_t error, const std::string& why);
    // status(code, 1) + status(code, error), nothing recorded.
    Answer ErrorStatus(uint8_t code, uint8_t error) const;
    void Violation(const std::string& why) { m_violations.push_back(why); }
    void RecordCommand(uint8_t code) { m_commands.push_back(code); }

    uint32_t Baud() const { return m_baud; }
    void FillReport(Report& r) const;
    bool PayloadsComplete() const;
    const std::vector<uint8_t>& Flash() const { return m_flash; }
    std::vector<uint8_t> RawPayload(uint8_t dataCmd) const;

private:
    enum class Phase { Idle, Running, Ended };
    enum class FwPhase { Idle, AwaitLoaderAck, Writing, Ended };
    struct Payload {
        const char* name;
        uint8_t begin, ready, data, ack, end;  // end 0: ends when the announced length is in
        Phase phase = Phase::Idle;
        std::vector<uint8_t> bytes{};
        CSha256 sha{};
        int frames = 0;
        bool begun = false;
        uint64_t announced = 0;
    };

    Answer Status(uint8_t code, const std::vector<uint8_t>& data) const;
    Answer Single(uint8_t code, const std::vector<uint8_t>& payload) const;
    Answer SetBaud(const std::vector<uint8_t>& p);
    Answer ReadBlock(const std::vector<uint8_t>& p);
    Answer WriteHex(const std::vector<uint8_t>& p);
    Answer HostStatus(const std::vector<uint8_t>& p);
    Answer BeginFirmware(const std::vector<uint8_t>& p);
    Answer EndFirmware();
    Answer Begin(Payload& pl, const std::vector<uint8_t>& p);
    Answer Data(Payload& pl, const std::vector<uint8_t>& p);
    Answer End(Payload& pl);
    Payload* PayloadFor(uint8_t code);
    const Payload* PayloadFor(uint8_t code) const;

    Options m_opt;
    uint32_t m_baud;
    std::vector<uint8_t> m_flash;
    std::vector<uint8_t> m_written;  // 1 where a write frame put a byte since the last begin
    FwPhase m_fw = FwPhase::Idle;
    bool m_fwBegun = false;
    int m_fwFrames = 0;
    Payload m_payloads[3];
    std::vector<uint8_t> m_commands;
    std::vector<std::string> m_violations;
};

}  // namespace sim
