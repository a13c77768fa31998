// The session both faces share: preparing the ports and the simulated device with its sample
// payloads, starting the page's operation, its milestones, and the verdict on what the device got.
#include "ui/Session.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "app/PayloadTable.h"
#include "core/Log.h"
#include "image/HexCheck.h"
#include "image/HexFile.h"
#include "image/HexWriter.h"
#include "isp/IspCtrl.h"
#include "platform/File.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "serial/PortTable.h"
#include "serial/Serial.h"
#include "sim/Device.h"
#include "sim/Sha256.h"

namespace {

bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error) {
    plat::CFile out;
    if (!out.Open(path, plat::CFile::modeCreate | plat::CFile::modeWrite) ||
        !out.Write(bytes.data(), static_cast<uint32_t>(bytes.size()))) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

bool Exists(const std::string& path) {
    return plat::IsRegularFile(path);
}

}  // namespace

bool WriteSamplePayloads(const std::string& dir, std::string& error) {
    std::mt19937 rng(20261206);
    auto random = [&](size_t n) {
        std::vector<uint8_t> v(n);
        for (auto& b : v) b = static_cast<uint8_t>(rng());
        return v;
    };
    // Firmware: 8 KiB at the start of flash in 16-byte records, as Intel HEX with its version tag.
    std::string hex = WriteIntelHex(random(8 * 1024), HEX_FLASH_BASE, "0103");
    auto path = [&](int which) { return dir + "/" + kPayloads[which].file; };
    if (!WriteBytes(path(PAYLOAD_FW), std::vector<uint8_t>(hex.begin(), hex.end()), error))
        return false;
    return WriteBytes(path(PAYLOAD_EDOG), random(48 * 1024 + 123), error) &&
           WriteBytes(path(PAYLOAD_MUSIC), random(40 * 1024 + 7), error) &&
           WriteBytes(path(PAYLOAD_RADAR), random(12 * 1024 + 512), error);
}

CSession::CSession(UpdaterOptions opts) : m_opts(std::move(opts)) {}

CSession::~CSession() {
    if (m_pSim) m_pSim->Stop();
    if (!m_strSamplesDir.empty()) {
        plat::RemoveTree(m_strSamplesDir);
    }
}

bool CSession::Prepare(std::string& error, int& exitCode) {
    g_bLogEnable.store(m_opts.log ? 1 : 0);
    m_strPayloadDir = m_opts.payloadDir.empty() ? plat::ExecutableDir() : m_opts.payloadDir;
    if (!m_opts.payloadDir.empty() && !plat::IsDirectory(m_opts.payloadDir)) {
        error = "--payload-dir: not a directory: " + m_opts.payloadDir;
        exitCode = EXIT_USAGE;
        return false;
    }
    if (m_opts.simulate) {
        sim::Options so;
        so.lineRate = true;
        m_pSim = std::make_unique<sim::CDevice>(so);
        std::string why;
        if (!m_pSim->CreatePort(&m_strSimPort, &why) || !m_pSim->Start()) {
            error = "cannot start the simulated device: " + why;
            exitCode = EXIT_NO_DEVICE;
            return false;
        }
        serialports::SetPortTable({m_strSimPort});
        bool any = false;
        for (const PayloadRow& row : kPayloads)
            any = any || Exists(m_strPayloadDir + "/" + row.file);
        if (!any && m_opts.readFlash.empty() && !m_opts.chipInfo && !m_opts.erase) {
            std::string tmpl = plat::MakeTempDir("kalvo-samples-");
            if (tmpl.empty() || !WriteSamplePayloads(tmpl, error)) {
                if (error.empty()) error = "cannot create a directory for the sample payloads";
                exitCode = EXIT_PAYLOAD;
                return false;
            }
            m_strSamplesDir = tmpl;
            m_strPayloadDir = tmpl;
        }
    } else {
        serialports::SetPortTable(m_opts.ports);
    }
    serialports::LogPortTable();
    return true;
}

PageConfig CSession::MakePageConfig() const {
    PageConfig cfg;
    cfg.payloadDir = m_strPayloadDir;
    cfg.targetBaud = m_opts.baud;
    return cfg;
}

void CSession::StartOperation(CKalvoDlg& page, bool autoUpdate) {
    if (m_bStarted) return;
    m_bStarted = true;
    if (m_opts.chipInfo) {
        page.StartChipInfo();
    } else if (m_opts.erase) {
        page.StartErase();
    } else if (!m_opts.readFlash.empty()) {
        page.StartReadFlash(m_opts.readFlash);
    } else if (autoUpdate) {
        // The press reads and checks the files; what it took is what the device must hold.
        {
            std::lock_guard<std::mutex> lock(m_outcomeMtx);
            for (bool& written : m_bWritten) written = false;
        }
        page.OnBnClickedUpdate();
        std::lock_guard<std::mutex> lock(m_outcomeMtx);
        for (int i = 0; i < PAYLOAD_COUNT; ++i) {
            m_sent[i] = page.RunPayload(i);
            // A press that refused a file took none: what it found was not reached.
            m_bPendingAtStart[i] = static_cast<bool>(m_sent[i]) || m_bPending[i];
        }
        if (m_opts.verify && m_bPendingAtStart[PAYLOAD_FW])
            m_pVerifyImage = m_sent[PAYLOAD_FW].image;
    } else {
        m_bStarted = false;  // the user presses the button
    }
}

void CSession::OnPayloadOutcome(int payload, PayloadOutcome outcome) {
    if (payload < 0 || payload >= PAYLOAD_COUNT) return;
    std::lock_guard<std::mutex> lock(m_outcomeMtx);
    m_bPending[payload] = outcome == PayloadOutcome::Pending;
    if (outcome == PayloadOutcome::Written) m_bWritten[payload] = true;
}

bool CSession::AnyPending() const {
    std::lock_guard<std::mutex> lock(m_outcomeMtx);
    for (bool pending : m_bPending)
        if (pending) return true;
    return false;
}

int CSession::OnEvent(CKalvoDlg& page, PageEvent event, const std::string& detail,
                      bool autoUpdate) {
    bool service = m_opts.chipInfo || m_opts.erase || !m_opts.readFlash.empty();
    if (m_bVerifying && m_strVerifyResult.empty()) {
        if (event == PageEvent::ServiceDone) m_strVerifyResult = "match";
        if (event == PageEvent::VerifyFailed)
            m_strVerifyResult = page.ReadBackResult().differing != 0 ? "differ" : "read error";
    }
    switch (event) {
        case PageEvent::ProbeAnswered:
            if (m_bProbeAnswered) return -1;
            m_bProbeAnswered = true;
            m_strPortUsed = detail;
            if (!service && autoUpdate && (!AnyPending() || !page.PayloadRefusals().empty()))
                return EXIT_PAYLOAD;
            if (m_opts.baud != 256000)
                page.StartBaudHandshake(m_opts.baud);
            else
                StartOperation(page, autoUpdate);
            return -1;
        case PageEvent::BaudReady:
            StartOperation(page, autoUpdate);
            return -1;
        case PageEvent::RunComplete:
            // The firmware is in: read it back before the session ends.
            if (m_pVerifyImage && !m_bVerifying) {
                m_bVerifying = page.StartReadBack(m_pVerifyImage);
                if (m_bVerifying) return -1;
            }
            return autoUpdate || service ? EXIT_DONE : -1;
        case PageEvent::ServiceDone:
            return EXIT_DONE;
        case PageEvent::NothingToDo:
            return autoUpdate ? EXIT_PAYLOAD : -1;
        case PageEvent::DeviceError:
        case PageEvent::VerifyFailed:
        case PageEvent::ServiceFailed:
            return autoUpdate || service ? EXIT_DEVICE_ERROR : -1;
        case PageEvent::Timeout:
        case PageEvent::LinkLost:
            return autoUpdate || service ? EXIT_LINK : -1;
        case PageEvent::FileError:
            return autoUpdate ? EXIT_PAYLOAD : -1;
        case PageEvent::VersionWarning:
        case PageEvent::WaitingForDevice:
        case PageEvent::PortUnusable:
            return -1;
    }
    return -1;
}

void CSession::SetOutcome(int exitCode, const std::string& reason) {
    m_nExitCode = exitCode;
    m_strReason = reason;
}

void CSession::TakeRunRecord(const CKalvoDlg& page) {
    for (int i = 0; i < PAYLOAD_COUNT; ++i) {
        m_runEntries[i] = page.RunRecord().Get(i);
        m_strProblem[i] = page.PayloadProblem(i);
    }
    {
        std::lock_guard<std::mutex> lock(m_outcomeMtx);
        for (int i = 0; i < PAYLOAD_COUNT; ++i) {
            // Ended before the press (a refused file): what was found was not reached.
            if (!m_bStarted) m_bPendingAtStart[i] = m_bPending[i];
            m_bWrittenAtEnd[i] = m_bWritten[i];
        }
    }
    m_dwAcksAtEnd = page.m_dwAckCount.load();
    m_wDeviceVersion = page.m_wFwVer.load();
    m_tEnd = CRunRecord::Clock::now();
    m_verify = page.ReadBackResult();
}

std::string CSession::NoDeviceReason() const {
    // What the system knows of adapters that did not become a port (no driver, brltty).
    std::string advice = serialports::NoDeviceAdvice();
    if (!advice.empty()) advice = "\n" + advice;
    std::vector<std::string> table = serialports::GetPortTable();
    if (table.empty()) return "no serial port found (give one with --port PATH)" + advice;
    std::string reasons;
    bool anyOpened = false;
    for (size_t i = 0; i < table.size() && i < 50; ++i) {
        CSerial probe;
        if (probe.OpenPath(table[i])) {
            probe.Close();
            anyOpened = true;
            continue;
        }
        reasons += "\n  " + probe.GetLastErrorText();
    }
    if (!anyOpened) return "no serial port could be opened:" + reasons + advice;
    std::string text = "no device answered on ";
    for (size_t i = 0; i < table.size(); ++i) text += (i ? ", " : "") + table[i];
    if (!reasons.empty()) text += "; other ports could not be opened:" + reasons;
    return text + advice;
}

bool CSession::Verdict(std::string& text) const {
    if (!m_pSim) return true;
    m_pSim->WaitIdle(200, 3000);
    sim::Report rep = m_pSim->GetReport();
    bool ok = rep.violations.empty();
    text.clear();
    // Each payload against the bytes the press took, not the file now: it may have changed.
    if (const CHEXFile* image = m_sent[PAYLOAD_FW].image.get()) {
        std::vector<uint8_t> flash = m_pSim->Flash();
        bool same = true;
        size_t bytes = 0;
        int placed = image->WalkPlacedData([&](const HEX_PLACED& d) {
            uint64_t at = static_cast<uint64_t>(d.dwAddr) - HEX_FLASH_BASE;
            bytes += d.byLen;
            if (d.dwAddr < HEX_FLASH_BASE || at + d.byLen > flash.size() ||
                std::memcmp(flash.data() + at, d.pData, d.byLen) != 0)
                same = false;
            return true;
        });
        same = same && placed == 1;
        ok = ok && same;
        text += std::string("  ") + kPayloads[PAYLOAD_FW].title + ": " +
                (same ? "written intact (" + std::to_string(bytes) + " bytes in flash)"
                      : "DIFFERS from the image") +
                "\n";
    }
    for (int i = PAYLOAD_EDOG; i < PAYLOAD_COUNT; ++i) {
        const CRawPayload* holder = m_sent[i].raw.get();
        if (holder == nullptr) continue;
        const std::vector<uint8_t>& want = holder->Bytes();
        std::vector<uint8_t> got = m_pSim->RawPayload(kPayloads[i].dataCode);
        bool same = want == got;
        ok = ok && same;
        text += std::string("  ") + kPayloads[i].title + ": " +
                (same ? "received intact (" + std::to_string(got.size()) + " bytes, SHA-256 " +
                            sim::Sha256Hex(got.data(), got.size()).substr(0, 16) + "...)"
                      : "DIFFERS: " + std::to_string(got.size()) + " of " +
                            std::to_string(want.size()) + " bytes received") +
                "\n";
    }
    for (const std::string& v : rep.violations) text += "  protocol violation: " + v + "\n";
    return ok;
}
