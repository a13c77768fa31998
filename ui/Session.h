// What both faces share: the port table, the built-in simulated device with its sample payloads,
// the page's configuration, and what to do at each milestone of the page.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "app/KalvoDlg.h"
#include "ui/Options.h"

namespace sim {
class CDevice;
}

class CSession {
public:
    explicit CSession(UpdaterOptions opts);
    ~CSession();

    // Port table, log switch, simulator and payload directory. False with a message and an exit
    // code when the session cannot start.
    bool Prepare(std::string& error, int& exitCode);
    PageConfig MakePageConfig() const;
    const UpdaterOptions& Options() const { return m_opts; }

    // A milestone of the page, on the UI thread. Returns the exit code when the session is over,
    // -1 to go on. autoUpdate presses the update button once the device has answered.
    int OnEvent(CKalvoDlg& page, PageEvent event, const std::string& detail, bool autoUpdate);
    // The device did not answer in time: the reason, for the user.
    std::string NoDeviceReason() const;
    bool ProbeAnswered() const { return m_bProbeAnswered; }
    // --verify: the read-back of the firmware is under way.
    bool Verifying() const { return m_bVerifying; }
    // What the page decided about a payload; from any thread, as the page decides it.
    void OnPayloadOutcome(int payload, PayloadOutcome outcome);

    // For the report of --json: how the session ended, and what the page did, taken before the
    // page goes.
    void SetOutcome(int exitCode, const std::string& reason);
    void TakeRunRecord(const CKalvoDlg& page);
    // One JSON object, ending in a newline (ui/Report.cpp).
    std::string JsonReport() const;

    // After a simulated run: whether the simulator holds exactly the payloads, and what differs.
    bool Verdict(std::string& text) const;
    bool IsSimulated() const { return m_pSim != nullptr; }
    const std::string& SamplesDir() const { return m_strSamplesDir; }
    // --chip-info, --erase or --read-flash: no payload is written.
    bool IsServiceRun() const {
        return m_opts.chipInfo || m_opts.erase || !m_opts.readFlash.empty();
    }

private:
    void StartOperation(CKalvoDlg& page, bool autoUpdate);
    // Whether the last look at the files found any payload.
    bool AnyPending() const;

    UpdaterOptions m_opts;
    std::unique_ptr<sim::CDevice> m_pSim;
    std::string m_strSimPort;
    std::string m_strSamplesDir;
    std::string m_strPayloadDir;
    bool m_bProbeAnswered = false;
    bool m_bStarted = false;
    // The firmware image the update writes, kept for the read-back of --verify.
    std::shared_ptr<const CHEXFile> m_pVerifyImage;
    bool m_bVerifying = false;
    std::string m_strVerifyResult;  // "match", "differ", "read error"; empty: not ended

    std::string m_strPortUsed;
    // From the page's outcome events, under m_outcomeMtx: found by the last look at the files
    // and not yet written; written by this run.
    mutable std::mutex m_outcomeMtx;
    bool m_bPending[PAYLOAD_COUNT] = {};
    bool m_bWritten[PAYLOAD_COUNT] = {};
    // Taken from those at the press (or at the end, with no press) and at the end.
    bool m_bPendingAtStart[PAYLOAD_COUNT] = {};
    bool m_bWrittenAtEnd[PAYLOAD_COUNT] = {};
    // The payloads as the press read and checked them: what the device must hold afterwards.
    PayloadHolder m_sent[PAYLOAD_COUNT];
    std::string m_strProblem[PAYLOAD_COUNT];  // why a payload file was refused
    CRunRecord::Entry m_runEntries[PAYLOAD_COUNT];
    uint32_t m_dwAcksAtEnd = 0;
    uint16_t m_wDeviceVersion = 0;  // the firmware version word the device reported; 0: none
    CRunRecord::Clock::time_point m_tEnd{};
    CFlashReadBack::Result m_verify;
    int m_nExitCode = EXIT_DONE;
    std::string m_strReason = "done";
};

// Writes a small sample payload set (a firmware image as Intel HEX, camera database, sounds, radar
// image) into dir. False with a message when a file cannot be written.
bool WriteSamplePayloads(const std::string& dir, std::string& error);
