// What the page says beside its status pane: the line under the pane (the search for the device,
// a log file that cannot be written), whether a payload is being written, and what a stop would
// leave unfinished.
#include <cctype>
#include <cstdlib>
#include <vector>

#include "app/KalvoDlg.h"
#include "app/PageTexts.h"
#include "app/PayloadTable.h"
#include "core/Log.h"
#include "serial/PortTable.h"

namespace {

// What a port's search line says about it, by the start of the reason the port search gives.
struct CauseText {
    const char* english;
    const char* chinese;
    bool keepRest;  // the rest of the reason (the system's wording) follows
};

constexpr CauseText kCauses[] = {
    {"did not answer", TEXT_PORT_SILENT, false},
    {"no such port", TEXT_PORT_ABSENT, false},
    {"port busy", TEXT_PORT_BUSY, false},
    {"permission denied", TEXT_PORT_DENIED, false},
    {"cannot open", TEXT_PORT_CANNOT_OPEN, true},
    {"line settings refused", TEXT_PORT_SETTINGS, true},
};

std::string Translate(const std::string& reason) {
    for (const CauseText& c : kCauses) {
        std::string en = c.english;
        if (reason.compare(0, en.size(), en) != 0) continue;
        std::string rest = reason.substr(en.size());
        return c.chinese + (c.keepRest ? rest : std::string());
    }
    return reason;
}

}  // namespace

std::string SearchLineText(const std::vector<std::string>& table, const std::string& summary) {
    if (table.empty()) return TEXT_SEARCH_NO_PORT;
    // The summary has one line per port tried: "COM<n> <path>: <reason>".
    std::vector<std::string> causes(table.size());
    size_t at = 0;
    while (at < summary.size()) {
        size_t end = summary.find('\n', at);
        if (end == std::string::npos) end = summary.size();
        std::string line = summary.substr(at, end - at);
        at = end + 1;
        // The port whose label starts the line: "COM12", or "COM1 /dev/ttyUSB0".
        size_t n = 0;
        std::string rest;
        for (size_t i = 0; i < table.size() && n == 0; ++i) {
            std::string label = serialports::PortLabel(table[i]);
            if (line.compare(0, label.size(), label) != 0 || line.size() == label.size()) continue;
            char next = line[label.size()];
            if (next != ':' && next != ' ') continue;
            n = i + 1;
            rest = line.substr(label.size() + (next == ':' ? 1 : 0));
            if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
        }
        if (n == 0) continue;
        const std::string& path = table[n - 1];
        if (rest.compare(0, path.size() + 2, path + ": ") == 0) rest = rest.substr(path.size() + 2);
        causes[n - 1] = Translate(rest);
    }
    std::string text = TEXT_SEARCHING;
    for (size_t i = 0; i < table.size() && i < 50; ++i) {
        text += (i != 0 ? TEXT_PORT_SEPARATOR : "") + serialports::PortLabel(table[i]);
        if (!causes[i].empty()) text += " " + causes[i];
    }
    return text;
}

void CKalvoDlg::ShowSearching(const std::string& summary) {
    {
        std::lock_guard<std::mutex> lock(m_noticeMtx);
        m_strSearchNotice = SearchLineText(serialports::GetPortTable(), summary);
    }
    ShowNotices();
}

void CKalvoDlg::EndSearchNotice() {
    {
        std::lock_guard<std::mutex> lock(m_noticeMtx);
        m_strSearchNotice.clear();
    }
    ShowNotices();
}

void CKalvoDlg::ShowNotices() {
    std::string line;
    {
        std::lock_guard<std::mutex> lock(m_noticeMtx);
        line = m_strSearchNotice;
        if (!m_strLogNotice.empty()) line += (line.empty() ? "" : "\n") + m_strLogNotice;
        // Calls from several threads reach the window in the order of the texts.
        if (m_pWnd != nullptr && !m_bDestroyed.load()) m_pWnd->ShowNoticeLine(line);
    }
}

void CKalvoDlg::OpenLog() {
    SetLogProblemHandler(this, [this](const std::string& path, const std::string& reason) {
        {
            std::lock_guard<std::mutex> lock(m_noticeMtx);
            m_strLogNotice = TEXT_LOG_PROBLEM + path + " (" + reason + ")";
        }
        ShowNotices();
    });
    OpenLogFile(m_config.logPath);
}

// ---------------------------------------------------------------------------------------------
// Writing, and what a stop leaves

int CKalvoDlg::WritingPayload() const {
    const uint8_t state = m_byState.load();
    for (int i = 0; i < PAYLOAD_COUNT; ++i)
        if (kPayloads[i].state == state) return i;
    // The begin command went out: the device prepares the first pending payload's memory.
    if (m_bAwaitReady.load()) {
        const std::atomic<uint8_t>* pending[PAYLOAD_COUNT] = {&m_bFwPending, &m_bEdogPending,
                                                              &m_bMusicPending, &m_bRadarPending};
        for (int i = 0; i < PAYLOAD_COUNT; ++i)
            if (pending[i]->load() != 0) return i;
    }
    return -1;
}

std::string CKalvoDlg::UnfinishedText() const {
    const std::atomic<uint8_t>* pending[PAYLOAD_COUNT] = {&m_bFwPending, &m_bEdogPending,
                                                          &m_bMusicPending, &m_bRadarPending};
    int which = WritingPayload();
    const char* how = "completed";
    if (which < 0) {
        // Between two payloads: one is written, a later one still waits for its begin command.
        // (After a whole run the discovery makes the written ones pending again.)
        bool written = false;
        for (int i = 0; i < PAYLOAD_COUNT && which < 0; ++i) {
            CRunRecord::Entry e = m_runRecord.Get(i);
            if (written && pending[i]->load() != 0 && !e.begun) which = i;
            written = written || e.written;
        }
        how = "written";
    }
    if (which < 0) return "";
    std::string title = kPayloads[which].title;
    const char* verb = title.back() == 's' ? " were not " : " was not ";
    return "the " + title + verb + how + ": run the update again";
}
