// The payload files: each is read whole and checked before a run may begin (a firmware image as
// Intel HEX with its version tag, the others as plain files of a bounded size), the bytes that a
// run sends are those read here, and while the page waits for a press the folder is watched so
// that the button and the pane say whether the files are right.
#include <cstdio>

#include "app/KalvoDlg.h"
#include "app/PageTexts.h"
#include "app/PayloadTable.h"
#include "core/Log.h"
#include "image/HexCheck.h"
#include "isp/IspCtrl.h"
#include "platform/PayloadFile.h"

namespace {

// Why a payload file could not be taken, or empty when it can (missing is not a problem).
std::string ReadProblem(plat::PayloadRead r, const std::string& text, uint64_t limit, bool empty) {
    switch (r) {
        case plat::PayloadRead::Ok:
            return empty ? "empty" : "";
        case plat::PayloadRead::Missing:
            return "";
        case plat::PayloadRead::PermissionDenied:
            return "permission denied";
        case plat::PayloadRead::NotRegular:
            return "not a regular file";
        case plat::PayloadRead::TooLarge:
            return "larger than " + std::to_string(limit >> 20) +
                   " MiB, the most this payload takes";
        case plat::PayloadRead::Error:
            break;
    }
    return "cannot be read (" + text + ")";
}

}  // namespace

CKalvoDlg::CPayloadLook CKalvoDlg::LookAtPayloadFiles(bool log) const {
    CPayloadLook look;
    uint32_t flashKB = g_ISPCtrl.m_dwFlashSizeKB.load();
    if (flashKB == 0) flashKB = HEX_DEFAULT_FLASH_KB;
    for (int i = 0; i < PAYLOAD_COUNT; ++i) {
        const PayloadRow& row = kPayloads[i];
        const std::string path = m_config.payloadDir + row.file;
        if (i == PAYLOAD_FW)
            look.holders[i].image = std::make_shared<CHEXFile>();
        else
            look.holders[i].raw = std::make_shared<CRawPayload>();
        if (log) WriteLog("\r\n hexPath==%s\r\n", path.c_str());
        // Stamped before the read: a change during the read is seen by the next look.
        look.stamps[i] = plat::StampFile(path);
        std::vector<uint8_t> bytes;
        std::string text;
        plat::PayloadRead r = plat::ReadPayloadFile(path, row.maxBytes, bytes, text);
        std::string& problem = look.problems[i];
        problem = ReadProblem(r, text, row.maxBytes, bytes.empty());
        bool found = r == plat::PayloadRead::Ok && problem.empty();
        if (found && i == PAYLOAD_FW) {
            HexCheckResult check =
                CheckHexImage(bytes.data(), bytes.size(), HEX_FLASH_BASE, flashKB * 1024u);
            if (!check.ok) {
                problem = check.reason;
                found = false;
            } else {
                found = look.holders[i].image->Load(bytes) == 1;
                if (!found) problem = "not a firmware image";
            }
        } else if (found) {
            look.holders[i].raw = std::make_shared<CRawPayload>(std::move(bytes));
        }
        look.found[i] = found;
        if (found) ++look.total;
        if (!log) continue;
        WriteLog("%s", found ? row.foundLog : row.missingLog);
        if (!problem.empty())
            WriteLog("#####[CKalvoDlg] %s refused: %s\r\n", row.file, problem.c_str());
    }
    return look;
}

void CKalvoDlg::TakeLook(const CPayloadLook& look) {
    std::lock_guard<std::mutex> lock(m_holderMtx);
    for (int i = 0; i < PAYLOAD_COUNT; ++i) {
        m_strProblem[i] = look.problems[i];
        m_stamp[i] = look.stamps[i];
    }
    m_nLookFound = look.total;
}

void CKalvoDlg::FindPayloadFiles() {
    DiscoverPayloads();
}

CKalvoDlg::CPayloadLook CKalvoDlg::DiscoverPayloads() {
    // The press, the end of a run, the start-up and the watch may look at once: one at a time,
    // so that an older look never covers a newer one.
    std::lock_guard<std::mutex> findLock(m_findMtx);
    m_wPayloadTotal.store(0);
    m_wPayloadDone.store(0);
    CPayloadLook look = LookAtPayloadFiles(true);
    for (int i = 0; i < PAYLOAD_COUNT; ++i) {
        Pending(i).store(look.found[i] ? 1 : 0);
        NotifyOutcome(i, look.found[i] ? PayloadOutcome::Pending : PayloadOutcome::Absent);
    }
    m_wPayloadTotal.store(static_cast<uint16_t>(look.total));
    TakeLook(look);
    std::lock_guard<std::mutex> lock(m_holderMtx);
    for (int i = 0; i < PAYLOAD_COUNT; ++i) {
        m_holders[i] = look.holders[i];
        m_bFound[i] = look.found[i];
    }
    return look;
}

PayloadHolder CKalvoDlg::RunPayload(int which) const {
    std::lock_guard<std::mutex> lock(m_holderMtx);
    return which >= 0 && which < PAYLOAD_COUNT ? m_runHolders[which] : PayloadHolder{};
}

std::string CKalvoDlg::PayloadProblem(int which) const {
    std::lock_guard<std::mutex> lock(m_holderMtx);
    return which >= 0 && which < PAYLOAD_COUNT ? m_strProblem[which] : std::string();
}

std::string CKalvoDlg::Refusals(const std::string (&problems)[PAYLOAD_COUNT]) {
    std::string lines;
    for (int i = 0; i < PAYLOAD_COUNT; ++i) {
        const std::string& why = problems[i];
        if (why.empty()) continue;
        // "DE7811_project.hex, line 65: bad checksum", "rdfw.bin: empty"
        lines += std::string(kPayloads[i].file) + (why.rfind("line ", 0) == 0 ? ", " : ": ") + why +
                 "\r\n";
    }
    return lines;
}

std::string CKalvoDlg::PayloadRefusals() const {
    std::string problems[PAYLOAD_COUNT];
    {
        std::lock_guard<std::mutex> lock(m_holderMtx);
        for (int i = 0; i < PAYLOAD_COUNT; ++i) problems[i] = m_strProblem[i];
    }
    return Refusals(problems);
}

std::string CKalvoDlg::PayloadProblemText() const {
    std::string refused = PayloadRefusals();
    if (!refused.empty()) return TEXT_PAYLOAD_REFUSED + refused;
    {
        std::lock_guard<std::mutex> lock(m_holderMtx);
        if (m_nLookFound != 0) return {};
    }
    std::string names;
    for (const PayloadRow& row : kPayloads)
        names += (names.empty() ? "" : ", ") + std::string(row.file);
    return TEXT_NO_PAYLOADS + m_config.payloadDir + "\r\n" + names + "\r\n";
}

bool CKalvoDlg::PayloadFilesChanged() const {
    std::lock_guard<std::mutex> lock(m_holderMtx);
    for (int i = 0; i < PAYLOAD_COUNT; ++i) {
        std::string path = m_config.payloadDir + kPayloads[i].file;
        if (!(plat::StampFile(path) == m_stamp[i])) return true;
    }
    return false;
}

bool CKalvoDlg::RunUnderWay() {
    if (m_byState.load() != STATE_IDLE || m_bAwaitReady.load() || m_wPayloadDone.load() != 0)
        return true;
    // A payload found but no longer pending was written by a run that has not reached its end
    // (the pause after a payload, or a run that ended early): only the next press looks again.
    std::lock_guard<std::mutex> lock(m_holderMtx);
    for (int i = 0; i < PAYLOAD_COUNT; ++i)
        if (m_bFound[i] && Pending(i).load() == 0) return true;
    return false;
}

bool CKalvoDlg::OfferUpdate() {
    std::lock_guard<std::mutex> lock(m_readyMtx);
    std::string problem = PayloadProblemText();
    if (problem.empty()) {
        // What the pane said about the files is over.
        if (!m_strWithheld.empty()) {
            ShowStatus("", 128);
            if (m_pWnd != nullptr) m_pWnd->SetUpdateButtonTip("");
        }
        m_strWithheld.clear();
        return true;
    }
    if (problem != m_strWithheld) ShowStatus(problem, 128);
    m_strWithheld = problem;
    // The pane is narrow: the button's tip holds the whole text.
    if (m_pWnd != nullptr) m_pWnd->SetUpdateButtonTip(problem);
    return false;
}

void CKalvoDlg::WatchPayloadFiles() {
    // Never beside a press: the press reads the files itself and may start a run meanwhile.
    std::unique_lock<std::mutex> press(m_pressMtx, std::try_to_lock);
    if (!press.owns_lock()) return;
    // Only a look: the holders and the pending flags belong to the press, so that what a run
    // announces and what it sends come from one reading.
    if (m_bDestroyed.load() || RunUnderWay() || !PayloadFilesChanged()) return;
    {
        std::lock_guard<std::mutex> findLock(m_findMtx);
        TakeLook(LookAtPayloadFiles(false));
    }
    bool device = g_ISPCtrl.m_bProbeAnswered.load() && g_ISPCtrl.IsPortOpen();
    bool withheld = false;
    {
        std::lock_guard<std::mutex> lock(m_readyMtx);
        withheld = !m_strWithheld.empty();
    }
    // The watch only takes back the button it gave, and gives back only what it withheld: the
    // other reasons for a disabled button (no device, an error) stay as they are.
    if (!device || RunUnderWay() || !(withheld || IsButtonEnabled())) return;
    EnableButton(OfferUpdate());
}
