// The bootloader's answers to each host command, the flash model and the raw payloads it keeps.
#include "sim/Loader.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "core/Log.h"
#include "isp/IspCodes.h"
#include "sim/HostParser.h"

namespace sim {

namespace {

constexpr uint8_t RESULT_ACCEPTED = 1;
constexpr uint8_t RESULT_DONE = 2;
constexpr uint8_t CHIP_VERSION = 0x21;
constexpr size_t VERIFY_MIN_DATA = 17;
constexpr size_t READ_RECORD = 16;
constexpr size_t READ_MAX = 0x800;

std::string Format(const char* fmt, ...) __attribute__((format(KALVO_PRINTF, 1, 2)));
std::string Format(const char* fmt, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

}  // namespace

uint32_t FlashSizeKiB(uint8_t code) {
    static const uint8_t codes[] = {0x00, 0x11, 0x01, 0x03, 0x23, 0x13, 0x04,
                                    0x24, 0x14, 0x05, 0x25, 0x15, 0x06, 0x16,
                                    0x07, 0x17, 0x08, 0x18, 0x09, 0x19, 0x0A};
    static const uint16_t kib[] = {2,  4,  6,  8,   10,  12,  16,  20,  24,  32,  40,
                                   48, 64, 96, 128, 192, 256, 384, 512, 768, 1024};
    for (size_t i = 0; i < sizeof codes; ++i) {
        if (codes[i] == code) return kib[i];
    }
    return 0;
}

CLoader::CLoader(const Options& o)
    : m_opt(o),
      m_baud(o.baud),
      m_payloads{{"edog", 0x21, 0x22, 0x23, 0x24, 0x20},
                 {"music", 0x31, 0x32, 0x33, 0x34, 0x30},
                 {"radar", 0x41, 0x42, 0x43, 0x44, 0x00}} {
    uint32_t kib = FlashSizeKiB(o.flashSizeCode);
    m_flash.assign(size_t(kib ? kib : 512) * 1024, 0xFF);
    m_written.assign(m_flash.size(), 0);
}

Answer CLoader::Single(uint8_t code, const std::vector<uint8_t>& payload) const {
    return {{BuildFrame(code, payload), m_baud}};
}

Answer CLoader::Status(uint8_t code, const std::vector<uint8_t>& data) const {
    Answer a{{BuildFrame(CMD_STATUS, {code, RESULT_ACCEPTED}), m_baud}};
    if (!data.empty()) a.push_back({data, m_baud});
    a.push_back({BuildFrame(CMD_STATUS, {code, RESULT_DONE}), m_baud});
    return a;
}

Answer CLoader::ErrorStatus(uint8_t code, uint8_t error) const {
    return {{BuildFrame(CMD_STATUS, {code, RESULT_ACCEPTED}), m_baud},
            {BuildFrame(CMD_STATUS, {code, error}), m_baud}};
}

Answer CLoader::Reject(uint8_t code, uint8_t error, const std::string& why) {
    Violation(why);
    return ErrorStatus(code, error);
}

CLoader::Payload* CLoader::PayloadFor(uint8_t code) {
    for (auto& pl : m_payloads) {
        if (code == pl.begin || code == pl.data || (pl.end && code == pl.end)) return &pl;
    }
    return nullptr;
}

const CLoader::Payload* CLoader::PayloadFor(uint8_t code) const {
    return const_cast<CLoader*>(this)->PayloadFor(code);
}

Answer CLoader::Handle(uint8_t code, const std::vector<uint8_t>& p) {
    auto expect = [&](size_t n) { return p.size() == n; };
    auto badLength = [&] {
        return Reject(code, ERR_BAD_PARAMETERS,
                      Format("command 0x%02X with %zu payload bytes", code, p.size()));
    };
    switch (code) {
        case CMD_CHIP_VERSION:
            return expect(0) ? Status(code, {CHIP_VERSION, 0x00}) : badLength();
        case CMD_CHIP_ID: {
            if (!expect(0)) return badLength();
            std::vector<uint8_t> id = {0x4B, 0x56, 0x53, 0x49, 0x4D, 0x00, 0x0A, 0xFF,
                                       0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0};
            id.push_back(Checksum(id.data(), id.size()));
            return Status(code, id);
        }
        case CMD_FLASH_SIZE:
            return expect(0) ? Status(code, {m_opt.flashSizeCode, 0x00}) : badLength();
        case CMD_SET_BAUD:
            return SetBaud(p);
        case CMD_READ_BLOCK:
            return ReadBlock(p);
        case CMD_WRITE_HEX:
            return WriteHex(p);
        case CMD_CHIP_EXTRA: {
            if (!expect(0)) return badLength();
            static const char extra[] = "kalvo devsim loader 1.0";
            return Status(code, std::vector<uint8_t>(extra, extra + 23));
        }
        case CMD_STATUS:
            return HostStatus(p);
        case CMD_ECHO:
            return expect(1) ? Status(code, {p[0], 0x00}) : badLength();
        case CMD_ERASE_CHIP:
            if (!expect(0)) return badLength();
            std::fill(m_flash.begin(), m_flash.end(), 0xFF);
            std::fill(m_written.begin(), m_written.end(), 0);
            return Status(code, {});
        case CMD_FW_BEGIN:
            return BeginFirmware(p);
        case CMD_FW_END:
            return expect(0) ? EndFirmware() : badLength();
        case CMD_PROBE:
            return expect(1) ? Single(CMD_PROBE_ACK, {CMD_PROBE, m_opt.selectNum}) : badLength();
        default:
            break;
    }
    if (Payload* pl = PayloadFor(code)) {
        if (code == pl->begin) return Begin(*pl, p);
        if (code == pl->data) return Data(*pl, p);
        return expect(0) ? End(*pl) : badLength();
    }
    return Reject(code, ERR_INVALID_COMMAND, Format("unknown command 0x%02X", code));
}

Answer CLoader::SetBaud(const std::vector<uint8_t>& p) {
    uint32_t baud =
        p.size() == 3 ? uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) : 0;
    if (baud == 0) {
        return Reject(CMD_SET_BAUD, ERR_BAD_PARAMETERS,
                      Format("set baud with %zu payload bytes or rate 0", p.size()));
    }
    // The first status still goes out at the old rate; the updater switches its port on it.
    Answer a{{BuildFrame(CMD_STATUS, {CMD_SET_BAUD, RESULT_ACCEPTED}), m_baud}};
    m_baud = baud;
    a.push_back({BuildFrame(CMD_STATUS, {CMD_SET_BAUD, RESULT_DONE}), m_baud});
    return a;
}

Answer CLoader::ReadBlock(const std::vector<uint8_t>& p) {
    if (p.size() != 6) {
        return Reject(CMD_READ_BLOCK, ERR_BAD_PARAMETERS,
                      Format("read block with %zu payload bytes", p.size()));
    }
    uint32_t addr = Le32(p.data());
    size_t count = size_t(p[4]) | (size_t(p[5]) << 8);
    if (count == 0 || count % READ_RECORD != 0 || count > READ_MAX) {
        return Reject(CMD_READ_BLOCK, ERR_BAD_PARAMETERS,
                      Format("read block of %zu bytes at 0x%08X", count, addr));
    }
    if (addr < FLASH_BASE || uint64_t(addr) - FLASH_BASE + count > m_flash.size()) {
        return Reject(CMD_READ_BLOCK, ERR_SOURCE_ADDRESS,
                      Format("read block of %zu bytes at 0x%08X outside the flash", count, addr));
    }
    std::vector<uint8_t> data;
    data.reserve(count / READ_RECORD * (READ_RECORD + 1));
    for (size_t off = addr - FLASH_BASE, end = off + count; off < end; off += READ_RECORD) {
        const uint8_t* rec = m_flash.data() + off;
        data.insert(data.end(), rec, rec + READ_RECORD);
        data.push_back(Checksum(rec, READ_RECORD));
    }
    return Status(CMD_READ_BLOCK, data);
}

Answer CLoader::BeginFirmware(const std::vector<uint8_t>& p) {
    if (p.size() != 2) {
        return Reject(CMD_FW_BEGIN, ERR_BAD_PARAMETERS,
                      Format("firmware begin with %zu payload bytes", p.size()));
    }
    if (m_fw == FwPhase::AwaitLoaderAck || m_fw == FwPhase::Writing) {
        Violation("firmware begun again before its end");
    }
    m_fw = FwPhase::AwaitLoaderAck;
    m_fwBegun = true;
    m_fwFrames = 0;
    std::fill(m_written.begin(), m_written.end(), 0);
    // The version word goes high byte first, at frame offsets 5 and 6.
    Answer a = Single(CMD_FW_BEGIN,
                      {0x00, uint8_t(m_opt.fwVersion >> 8), uint8_t(m_opt.fwVersion & 0xFF)});
    a.push_back({BuildFrame(CMD_LOADER_STARTED, {0x00, 0x00}), m_baud});
    return a;
}

Answer CLoader::HostStatus(const std::vector<uint8_t>& p) {
    if (p.size() == 2 && p[0] == CMD_LOADER_STARTED && p[1] == RESULT_DONE &&
        m_fw == FwPhase::AwaitLoaderAck) {
        m_fw = FwPhase::Writing;
        return Single(CMD_FW_READY, {0x00, 0x00});
    }
    std::string bytes;
    for (uint8_t b : p) bytes += Format(" %02X", b);
    return Reject(CMD_STATUS, ERR_INVALID_COMMAND, "unexpected status frame:" + bytes);
}

Answer CLoader::WriteHex(const std::vector<uint8_t>& p) {
    if (m_fw == FwPhase::Idle || m_fw == FwPhase::AwaitLoaderAck) {
        return Reject(CMD_WRITE_HEX, ERR_INVALID_COMMAND,
                      "firmware write before the loader was ready");
    }
    if (m_fw == FwPhase::Ended) {
        return Reject(CMD_WRITE_HEX, ERR_INVALID_COMMAND, "firmware write after the end");
    }
    if (p.size() < 5 || p.size() != 5 + size_t(p[4])) {
        return Reject(CMD_WRITE_HEX, ERR_BAD_PARAMETERS,
                      Format("firmware write with %zu payload bytes", p.size()));
    }
    uint32_t addr = Le32(p.data());
    size_t count = p[4];
    if (addr < FLASH_BASE || uint64_t(addr) - FLASH_BASE + count > m_flash.size()) {
        return Reject(
            CMD_WRITE_HEX, ERR_TARGET_ADDRESS,
            Format("firmware write of %zu bytes at 0x%08X outside the flash", count, addr));
    }
    size_t off = addr - FLASH_BASE;
    bool overlap = false;
    for (size_t i = 0; i < count; ++i) {
        overlap = overlap || m_written[off + i];
        m_flash[off + i] = p[5 + i];
        if (m_opt.badCellAt != 0 && addr + i == m_opt.badCellAt) m_flash[off + i] ^= 0x01;
        m_written[off + i] = 1;
    }
    if (overlap) {
        Violation(
            Format("firmware write of %zu bytes at 0x%08X overlaps earlier writes", count, addr));
    }
    ++m_fwFrames;
    Answer a = Status(CMD_WRITE_HEX, {});
    if (m_opt.verify) {
        std::vector<uint8_t> back(p.begin() + 5, p.end());
        if (back.size() < VERIFY_MIN_DATA) back.resize(VERIFY_MIN_DATA, 0x00);
        Answer v = Status(CMD_VERIFY, back);
        a.insert(a.end(), v.begin(), v.end());
    }
    return a;
}

Answer CLoader::EndFirmware() {
    if (m_fw != FwPhase::Writing) {
        return Reject(CMD_FW_END, ERR_INVALID_COMMAND,
                      m_fw == FwPhase::Ended ? "firmware ended twice"
                                             : "firmware end before the loader was ready");
    }
    m_fw = FwPhase::Ended;
    return Status(CMD_FW_END, {});
}

Answer CLoader::Begin(Payload& pl, const std::vector<uint8_t>& p) {
    bool withLength = pl.end == 0;
    if (p.size() != (withLength ? 4u : 0u)) {
        return Reject(pl.begin, ERR_BAD_PARAMETERS,
                      Format("%s begin with %zu payload bytes", pl.name, p.size()));
    }
    if (pl.phase == Phase::Running) Violation(Format("%s begun again before its end", pl.name));
    pl.phase = Phase::Running;
    pl.begun = true;
    pl.bytes.clear();
    pl.sha = CSha256();
    pl.frames = 0;
    pl.announced = withLength ? Le32(p.data()) : 0;
    if (withLength && pl.announced == 0) pl.phase = Phase::Ended;
    return Single(pl.ready, {0x00, 0x00});
}

Answer CLoader::Data(Payload& pl, const std::vector<uint8_t>& p) {
    if (pl.phase != Phase::Running) {
        return Reject(pl.data, ERR_INVALID_COMMAND,
                      Format("%s data %s", pl.name,
                             pl.phase == Phase::Idle ? "before its begin" : "after its end"));
    }
    if (p.empty()) {
        return Reject(pl.data, ERR_BAD_PARAMETERS, Format("%s data frame without data", pl.name));
    }
    bool withLength = pl.end == 0;
    if (withLength && pl.bytes.size() + p.size() > pl.announced) {
        return Reject(pl.data, ERR_BAD_PARAMETERS,
                      Format("%s data runs past the announced %llu bytes", pl.name,
                             static_cast<unsigned long long>(pl.announced)));
    }
    pl.bytes.insert(pl.bytes.end(), p.begin(), p.end());
    pl.sha.Update(p.data(), p.size());
    ++pl.frames;
    if (withLength && pl.bytes.size() == pl.announced) pl.phase = Phase::Ended;
    return Single(pl.ack, {pl.data});
}

Answer CLoader::End(Payload& pl) {
    if (pl.phase != Phase::Running) {
        return Reject(pl.end, ERR_INVALID_COMMAND,
                      Format("%s end %s", pl.name,
                             pl.phase == Phase::Idle ? "before its begin" : "after its end"));
    }
    pl.phase = Phase::Ended;
    return Status(pl.end, {});
}

bool CLoader::PayloadsComplete() const {
    bool any = m_fwBegun;
    if (m_fwBegun && m_fw != FwPhase::Ended) return false;
    for (const auto& pl : m_payloads) {
        any = any || pl.begun;
        if (pl.begun && pl.phase != Phase::Ended) return false;
    }
    return any;
}

std::vector<uint8_t> CLoader::RawPayload(uint8_t dataCmd) const {
    const Payload* pl = PayloadFor(dataCmd);
    return pl && pl->data == dataCmd ? pl->bytes : std::vector<uint8_t>{};
}

void CLoader::FillReport(Report& r) const {
    r.commands = m_commands;
    r.violations = m_violations;
    r.baud = m_baud;
    r.fwBegun = m_fwBegun;
    r.fwEnded = m_fw == FwPhase::Ended;
    r.fwFrames = m_fwFrames;
    r.firmware.clear();
    for (size_t i = 0; i < m_written.size();) {
        if (!m_written[i]) {
            ++i;
            continue;
        }
        size_t j = i;
        while (j < m_written.size() && m_written[j]) ++j;
        r.firmware.push_back(
            {uint32_t(FLASH_BASE + i), uint32_t(j - i), Sha256Hex(m_flash.data() + i, j - i)});
        i = j;
    }
    PayloadReport* out[] = {&r.edog, &r.music, &r.radar};
    for (int k = 0; k < 3; ++k) {
        const Payload& pl = m_payloads[k];
        out[k]->bytes = pl.bytes.size();
        out[k]->sha256 = pl.sha.HexDigest();
        out[k]->frames = pl.frames;
        out[k]->begun = pl.begun;
        out[k]->ended = pl.begun && pl.phase == Phase::Ended;
        out[k]->announced = pl.announced;
    }
}

}  // namespace sim
