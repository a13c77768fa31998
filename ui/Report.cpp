// The report of --json: one object with the port, each payload, the verify result and the exit.
#include <cstdio>
#include <string>

#include "app/PayloadTable.h"
#include "core/Utf.h"
#include "ui/Session.h"

namespace {

std::string Seconds(CRunRecord::Clock::duration d) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", std::chrono::duration<double>(d).count());
    return text;
}

std::string Hex32(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", v);
    return text;
}

}  // namespace

std::string CSession::JsonReport() const {
    std::string j =
        "{\n  \"port\": " + (m_strPortUsed.empty() ? "null" : JsonString(m_strPortUsed));
    // What the device answered to the firmware's begin command (the station's record has it).
    char version[16];
    std::snprintf(version, sizeof version, "\"0x%04X\"", m_wDeviceVersion);
    j += ",\n  \"device_version\": " + std::string(m_wDeviceVersion ? version : "null");
    j += ",\n  \"payloads\": [";
    for (int i = 0; i < PAYLOAD_COUNT; ++i) {
        const CRunRecord::Entry& e = m_runEntries[i];
        const bool written = m_bWrittenAtEnd[i];
        // written: every frame acknowledged; failed: the run ended while it was under way;
        // not reached: found, but the run ended before it; refused: the file failed its check
        // (problem says why); missing: no such file.
        const bool refused = !e.begun && !m_bPendingAtStart[i] && !m_strProblem[i].empty();
        const char* outcome = written                ? "written"
                              : e.begun              ? "failed"
                              : m_bPendingAtStart[i] ? "not reached"
                              : refused              ? "refused"
                                                     : "missing";
        uint32_t frames = written ? e.frames : e.begun ? m_dwAcksAtEnd : 0;
        auto end = written ? e.end : m_tEnd;
        j += std::string(i ? "," : "") + "\n    {\"name\": " + JsonString(kPayloads[i].title) +
             ", \"file\": " + JsonString(kPayloads[i].file) +
             ", \"bytes\": " + std::to_string(e.begun ? e.bytes : 0) +
             ", \"frames\": " + std::to_string(frames) +
             ", \"seconds\": " + (e.begun ? Seconds(end - e.begin) : "0") + ", \"outcome\": \"" +
             outcome + "\"" + (refused ? ", \"problem\": " + JsonString(m_strProblem[i]) : "") +
             "}";
    }
    j += "\n  ],\n  \"verify\": ";
    if (!m_opts.verify) {
        j += "{\"result\": \"off\"}";
    } else {
        // not run: no firmware was written; incomplete: the read-back did not end.
        std::string result = !m_bVerifying               ? "not run"
                             : m_strVerifyResult.empty() ? "incomplete"
                                                         : m_strVerifyResult;
        j += "{\"result\": " + JsonString(result) +
             ", \"bytes\": " + std::to_string(m_verify.compared) +
             ", \"differing\": " + std::to_string(m_verify.differing) + ", \"first_difference\": " +
             (m_verify.differing ? JsonString(Hex32(m_verify.firstDiff)) : "null") + "}";
    }
    j += ",\n  \"exit_code\": " + std::to_string(m_nExitCode) +
         ",\n  \"reason\": " + JsonString(m_strReason) + "\n}\n";
    return j;
}
