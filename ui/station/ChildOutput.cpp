// Reading a child's status lines and its JSON report, with nothing taken on trust.
#include "ui/station/ChildOutput.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/PayloadTable.h"

namespace station {
namespace {

// The page's texts as the terminal face prints them: no "\r" before "\n", no trailing breaks
// or blanks.
std::string AsPrinted(const char* text) {
    std::string out;
    for (const char* p = text; *p != '\0'; ++p)
        if (!(*p == '\r' && p[1] == '\n')) out += *p;
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ' || out.back() == '\r'))
        out.pop_back();
    return out;
}

const std::vector<std::string>& OutcomeTexts() {
    static const std::vector<std::string> texts = [] {
        std::vector<std::string> t;
        for (const char* s :
             {TEXT_RUN_DONE, TEXT_RUN_DONE_RADAR, TEXT_TIMEOUT, TEXT_LINE_LOST, TEXT_WRITE_FAILED,
              TEXT_FILE_ERROR, TEXT_VERIFY_FAILED, TEXT_BURN_DONE, TEXT_OPEN_PORT, TEXT_CHOOSE_FILE,
              TEXT_STOPPING, TEXT_CLEAR_CACHE})
            t.push_back(AsPrinted(s));
        for (const PayloadRow& row : kPayloads) t.push_back(AsPrinted(row.doneText));
        for (int code = 3; code <= 10; ++code) t.push_back(AsPrinted(DeviceErrorText(code)));
        return t;
    }();
    return texts;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    size_t at = 0;
    for (;;) {
        size_t nl = text.find('\n', at);
        out.push_back(text.substr(at, nl == std::string::npos ? std::string::npos : nl - at));
        if (nl == std::string::npos) return out;
        at = nl + 1;
    }
}

}  // namespace

void ChildStatus::TakeLine(const std::string& raw) {
    std::string line = raw;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    for (int i = 0; i < PAYLOAD_COUNT; ++i) {
        std::string head = kPayloads[i].progressText;
        head = head.substr(0, head.find("%d"));
        if (line.size() > head.size() && line.compare(0, head.size(), head) == 0 &&
            line.back() == '%') {
            int value = std::atoi(line.c_str() + head.size());
            payload = i;
            percent = value < 0 ? 0 : value > 100 ? 100 : value;
            // The bar says it now; what the page said before the payload is over.
            outcome.clear();
            m_strPending.clear();
            return;
        }
    }
    // The later lines of a text of several lines.
    if (!m_strPending.empty()) {
        std::vector<std::string> want = Lines(m_strPending);
        if (m_nPendingLine < want.size() && AsPrinted(want[m_nPendingLine].c_str()) == line) {
            if (++m_nPendingLine == want.size()) {
                outcome = m_strPending;
                m_strPending.clear();
            }
            return;
        }
        m_strPending.clear();
    }
    for (const std::string& text : OutcomeTexts()) {
        std::vector<std::string> lines = Lines(text);
        if (AsPrinted(lines[0].c_str()) != line) continue;
        if (lines.size() == 1) {
            outcome = text;
        } else {
            m_strPending = text;
            m_nPendingLine = 1;
        }
        return;
    }
}

namespace {

// The value after "key": in text from at on, up to the end of the object it is in.
bool FindValue(const std::string& text, size_t from, size_t to, const char* key, size_t& at) {
    std::string k = std::string("\"") + key + "\":";
    size_t p = text.find(k, from);
    if (p == std::string::npos || p >= to) return false;
    at = p + k.size();
    while (at < to && text[at] == ' ') ++at;
    return at < to;
}

bool StringValue(const std::string& text, size_t from, size_t to, const char* key,
                 std::string& out) {
    size_t at = 0;
    if (!FindValue(text, from, to, key, at) || text[at] != '"') return false;
    out.clear();
    for (size_t i = at + 1; i < to; ++i) {
        char c = text[i];
        if (c == '"') return true;
        if (c == '\\' && i + 1 < to) {
            char e = text[++i];
            if (e == 'u' && i + 4 < to) {
                unsigned v =
                    static_cast<unsigned>(std::strtoul(text.substr(i + 1, 4).c_str(), nullptr, 16));
                i += 4;
                // Only control characters are escaped in the report.
                out += v < 0x80 ? static_cast<char>(v) : '?';
            } else {
                out += e == 'n' ? '\n' : e == 'r' ? '\r' : e == 't' ? '\t' : e;
            }
            continue;
        }
        out += c;
    }
    return false;
}

bool NumberValue(const std::string& text, size_t from, size_t to, const char* key, long long& out) {
    size_t at = 0;
    if (!FindValue(text, from, to, key, at)) return false;
    char* end = nullptr;
    std::string tail = text.substr(at, std::min<size_t>(24, to - at));
    out = std::strtoll(tail.c_str(), &end, 10);
    return end != tail.c_str();
}

}  // namespace

ChildReport ParseChildReport(const std::string& json) {
    ChildReport r;
    long long code = -1;
    const size_t all = json.size();
    if (!NumberValue(json, 0, all, "exit_code", code)) return r;
    r.valid = true;
    r.exitCode = code >= 0 && code <= 255 ? static_cast<int>(code) : -1;
    StringValue(json, 0, all, "reason", r.reason);
    StringValue(json, 0, all, "device_version", r.version);
    size_t list = json.find("\"payloads\":");
    size_t listEnd = list == std::string::npos ? list : json.find(']', list);
    if (list == std::string::npos || listEnd == std::string::npos) return r;
    for (size_t at = json.find('{', list); at != std::string::npos && at < listEnd;
         at = json.find('{', at + 1)) {
        size_t end = json.find('}', at);
        if (end == std::string::npos || end > listEnd) break;
        std::string name, outcome;
        long long bytes = 0;
        if (!StringValue(json, at, end, "name", name) ||
            !StringValue(json, at, end, "outcome", outcome) || outcome != "written")
            continue;
        if (NumberValue(json, at, end, "bytes", bytes) && bytes > 0)
            r.bytes += static_cast<uint64_t>(bytes);
        r.payloads += (r.payloads.empty() ? "" : "+") + name;
    }
    return r;
}

}  // namespace station
