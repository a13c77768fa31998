// What both faces share: the port table, the built-in simulated device with its sample payloads,
// the page's configuration, and what to do at each milestone of the page.
#pragma once

#include <memory>
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

    // After a simulated run: whether the simulator holds exactly the payloads, and what differs.
    bool Verdict(std::string& text) const;
    bool IsSimulated() const { return m_pSim != nullptr; }
    const std::string& SamplesDir() const { return m_strSamplesDir; }

private:
    void StartOperation(CKalvoDlg& page, bool autoUpdate);

    UpdaterOptions m_opts;
    std::unique_ptr<sim::CDevice> m_pSim;
    std::string m_strSimPort;
    std::string m_strSamplesDir;
    std::string m_strPayloadDir;
    bool m_bProbeAnswered = false;
    bool m_bStarted = false;
};

// Writes a small sample payload set (a firmware image as Intel HEX, camera database, sounds, radar
// image) into dir. False with a message when a file cannot be written.
bool WriteSamplePayloads(const std::string& dir, std::string& error);
