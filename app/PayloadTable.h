// The four payloads, one row each, in the order one press writes them: where each lies, how it is
// announced, cut, acknowledged and closed, and what the page shows and logs for it. The page, the
// faces, the tests and the benchmark all read this table.
#pragma once

#include <cstdint>

#include "app/KalvoDlg.h"
#include "app/PageTexts.h"
#include "image/HexFile.h"
#include "isp/IspCodes.h"
#include "isp/IspCtrl.h"

struct PayloadRow {
    const char* file;   // the file beside the program
    const char* title;  // what the faces call it
    const char* foundLog;
    const char* missingLog;
    // The start step: queues the begin command; the holder gives the version or the length.
    void (*begin)(const PayloadHolder& holder);
    const char* beginText;  // shown before the begin command goes; nullptr: none
    const char* beginLog;   // logged after it; nullptr: none
    uint8_t state;          // the page's state while it is written
    uint8_t job;            // the worker's job that queues its write frames
    const char* burnTag;    // the burn job's log line, with the state
    // Queues its write frames (the page's worker); 0 when it cannot.
    int (*download)(const PayloadHolder& holder);
    uint8_t dataCode;    // of its write frames
    uint32_t chunk;      // bytes a write frame; 0: one HEX data record a frame
    const char* ackLog;  // logged at each acknowledgement in its state; nullptr: none
    const char* progressText;
    const char* doneText;
    void (CISPCtrl::*end)();  // the end command; nullptr: none
    uint32_t pauseMs;         // after the end command, before the next payload starts
    bool startsNext;          // its completion starts the next pending payload
    const char* finalText;    // shown when it completes the run
    uint64_t maxBytes;        // a larger file is refused before the run
};

// The largest payload files taken: far above what the device's memories hold, and a bound on
// what a run reads into memory.
inline constexpr uint64_t FW_FILE_MAX = 64ull << 20;  // Intel HEX text: about 2.8 times the image
inline constexpr uint64_t EDOG_FILE_MAX = 32ull << 20;
inline constexpr uint64_t MUSIC_FILE_MAX = 32ull << 20;
inline constexpr uint64_t RADAR_FILE_MAX = 4ull << 20;

namespace payloads {

inline void BeginFirmware(const PayloadHolder& hex) {
    g_ISPCtrl.BeginFirmware(hex.image ? hex.image->m_wVersion : 0);
}
inline void BeginEdog(const PayloadHolder&) {
    g_ISPCtrl.BeginEdog();
}
inline void BeginMusic(const PayloadHolder&) {
    g_ISPCtrl.BeginMusic();
}
// The radar begin command carries the length of the bytes that will be sent, least significant
// byte first.
inline void BeginRadar(const PayloadHolder& radar) {
    auto length = static_cast<uint32_t>(radar.raw ? radar.raw->Size() : 0);
    const uint8_t bytes[4] = {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                              static_cast<uint8_t>(length >> 16),
                              static_cast<uint8_t>(length >> 24)};
    g_ISPCtrl.BeginRadar(bytes);
}

inline int DownloadFirmware(const PayloadHolder& hex) {
    return g_ISPCtrl.DownloadHex(hex.image.get());
}
inline int DownloadEdog(const PayloadHolder& edog) {
    return g_ISPCtrl.DownloadEdog(edog.raw.get());
}
inline int DownloadMusic(const PayloadHolder& music) {
    return g_ISPCtrl.DownloadMusic(music.raw.get());
}
inline int DownloadRadar(const PayloadHolder& radar) {
    return g_ISPCtrl.DownloadRadar(radar.raw.get());
}

}  // namespace payloads

inline constexpr PayloadRow kPayloads[PAYLOAD_COUNT] = {
    {.file = "DE7811_project.hex",
     .title = "firmware",
     .foundLog = "\r\n  FW IS  EXIST \r\n",
     .missingLog = "\r\n  FW IS NOT  EXIST \r\n",
     .begin = &payloads::BeginFirmware,
     .beginText = TEXT_CLEAR_CACHE,
     .beginLog = nullptr,
     .state = STATE_BURN_FW,
     .job = JOB_BURN_HEX,
     .burnTag = "burn(%x)",
     .download = &payloads::DownloadFirmware,
     .dataCode = CMD_WRITE_HEX,
     .chunk = 0,
     .ackLog = "00 burn2",
     .progressText = TEXT_FW_PROGRESS,
     .doneText = TEXT_FW_DONE,
     .end = &CISPCtrl::EndFirmware,
     .pauseMs = 7000,
     .startsNext = true,
     .finalText = TEXT_RUN_DONE,
     .maxBytes = FW_FILE_MAX},
    {.file = "flagdata.bin",
     .title = "camera database",
     .foundLog = "\r\n  edog IS  EXIST \r\n",
     .missingLog = "\r\n  edog IS NOT  EXIST \r\n",
     .begin = &payloads::BeginEdog,
     .beginText = nullptr,
     .beginLog = "#####[CKalvoDlg] On Burn edogdata\r\n",
     .state = STATE_BURN_EDOG,
     .job = JOB_BURN_EDOG,
     .burnTag = "burn (%x)",
     .download = &payloads::DownloadEdog,
     .dataCode = CMD_EDOG_DATA,
     .chunk = EDOG_CHUNK,
     .ackLog = nullptr,
     .progressText = TEXT_EDOG_PROGRESS,
     .doneText = TEXT_EDOG_DONE,
     .end = &CISPCtrl::EndEdog,
     .pauseMs = 3000,
     .startsNext = true,
     .finalText = TEXT_RUN_DONE,
     .maxBytes = EDOG_FILE_MAX},
    {.file = "audioHead.bin",
     .title = "sounds",
     .foundLog = "\r\n  music IS  EXIST \r\n",
     .missingLog = "\r\n  music IS NOT  EXIST \r\n",
     .begin = &payloads::BeginMusic,
     .beginText = nullptr,
     .beginLog = "#####[CKalvoDlg] On Burn music\r\n",
     .state = STATE_BURN_MUSIC,
     .job = JOB_BURN_MUSIC,
     .burnTag = "burn (%x)",
     .download = &payloads::DownloadMusic,
     .dataCode = CMD_MUSIC_DATA,
     .chunk = MUSIC_CHUNK,
     .ackLog = nullptr,
     .progressText = TEXT_MUSIC_PROGRESS,
     .doneText = TEXT_MUSIC_DONE,
     .end = &CISPCtrl::EndMusic,
     .pauseMs = 3000,
     .startsNext = true,
     .finalText = TEXT_RUN_DONE,
     .maxBytes = MUSIC_FILE_MAX},
    // The last in the order: no end command, no pause, nothing after it.
    {.file = "rdfw.bin",
     .title = "radar firmware",
     .foundLog = "\r\n  radar IS  EXIST \r\n",
     .missingLog = "\r\n  radar IS NOT  EXIST \r\n",
     .begin = &payloads::BeginRadar,
     .beginText = nullptr,
     .beginLog = "#####[CKalvoDlg] On Burn radar\r\n",
     .state = STATE_BURN_RADAR,
     .job = JOB_BURN_RADAR,
     .burnTag = "burn (%x)",
     .download = &payloads::DownloadRadar,
     .dataCode = CMD_RADAR_DATA,
     .chunk = RADAR_CHUNK,
     .ackLog = "radar burn2",
     .progressText = TEXT_RADAR_PROGRESS,
     .doneText = TEXT_RADAR_DONE,
     .end = nullptr,
     .pauseMs = 0,
     .startsNext = false,
     .finalText = TEXT_RUN_DONE_RADAR,
     .maxBytes = RADAR_FILE_MAX},
};
