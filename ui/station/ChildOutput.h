// What the station reads from a child updater: its status texts, line by line (the progress of
// each payload and the page's own words for how it stands), and its JSON report at the end.
// Both come from another process: anything that does not fit is passed over, never trusted.
#pragma once

#include <cstdint>
#include <string>

namespace station {

// Folds one line of the child's standard error into what the row shows.
struct ChildStatus {
    int payload = -1;  // the payload in progress (PayloadKind), -1: none yet
    int percent = 0;   // its progress
    // The page's last text other than a progress text; "" none yet, or a payload in progress.
    std::string outcome;
    void TakeLine(const std::string& line);

private:
    // A text of several lines, while its later lines come in.
    std::string m_strPending;
    size_t m_nPendingLine = 0;
};

struct ChildReport {
    bool valid = false;    // a report was found at all
    int exitCode = -1;     // as the report says
    std::string reason;    // its reason
    std::string version;   // the firmware version word the device reported ("0x0103"), or ""
    std::string payloads;  // the payloads written, "+" between them
    uint64_t bytes = 0;    // their data bytes
};
ChildReport ParseChildReport(const std::string& json);

}  // namespace station
