// The record lines in CSV and JSON, appended whole, and reading a child's files as they grow.
#include "ui/station/StationRecord.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "core/Utf.h"
#include "platform/File.h"
#include "platform/Paths.h"

namespace station {

const char* const RECORD_HEADER =
    "time,port,usb_serial,device_version,payloads,bytes,seconds,outcome,exit_code,log";

namespace {

// Text from another process may be any bytes: what is not UTF-8 becomes U+FFFD.
std::string Clean(const std::string& raw) {
    return Utf16ToUtf8(Utf8ToUtf16(raw));
}

std::string Csv(const std::string& raw) {
    std::string text = Clean(raw);
    // One line per run: the page's texts of several lines are joined with a blank.
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    if (text.find_first_of(",\"") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

std::string Seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", s);
    return text;
}

bool Append(const std::string& path, const std::string& text, const char* header) {
    plat::CFile f;
    bool fresh = !plat::IsRegularFile(path);
    if (fresh ? !f.Open(path, plat::CFile::modeCreate | plat::CFile::modeWrite)
              : !f.Open(path, plat::CFile::modeWrite) || !f.Seek(f.GetLength()))
        return false;
    // The header only at the top of an empty file.
    std::string all =
        (f.GetLength() == 0 && header != nullptr ? std::string(header) + "\n" : "") + text;
    return f.Write(all.data(), static_cast<uint32_t>(all.size()));
}

}  // namespace

bool CheckRecordFile(const std::string& path, std::string& error) {
    if (Append(
            path, "",
            path.size() > 6 && path.substr(path.size() - 6) == ".jsonl" ? nullptr : RECORD_HEADER))
        return true;
    error = "cannot write the record file " + path;
    return false;
}

std::string CsvRecord(const RecordLine& l) {
    return Csv(l.time) + "," + Csv(l.port) + "," + Csv(l.serial) + "," + Csv(l.version) + "," +
           Csv(l.payloads) + "," + std::to_string(l.bytes) + "," + Seconds(l.seconds) + "," +
           Csv(l.outcome) + "," + std::to_string(l.exitCode) + "," + Csv(l.log);
}

std::string JsonRecord(const RecordLine& l) {
    std::string payloads = "[";
    size_t at = 0;
    while (!l.payloads.empty()) {
        size_t plus = l.payloads.find('+', at);
        payloads += (at ? ", " : "") + JsonString(l.payloads.substr(at, plus - at));
        if (plus == std::string::npos) break;
        at = plus + 1;
    }
    payloads += "]";
    auto orNull = [](const std::string& s) {
        return s.empty() ? std::string("null") : JsonString(s);
    };
    return "{\"time\": " + JsonString(l.time) + ", \"port\": " + JsonString(l.port) +
           ", \"usb_serial\": " + orNull(l.serial) + ", \"device_version\": " + orNull(l.version) +
           ", \"payloads\": " + payloads + ", \"bytes\": " + std::to_string(l.bytes) +
           ", \"seconds\": " + Seconds(l.seconds) + ", \"outcome\": " + JsonString(l.outcome) +
           ", \"exit_code\": " + std::to_string(l.exitCode) + ", \"log\": " + JsonString(l.log) +
           "}";
}

bool AppendRecord(const std::string& path, const RecordLine& line, bool json) {
    return json ? Append(path, JsonRecord(line) + "\n", nullptr)
                : Append(path, CsvRecord(line) + "\n", RECORD_HEADER);
}

std::string ReadFrom(const std::string& path, uint64_t& offset) {
    plat::CFile f;
    if (!f.Open(path, plat::CFile::modeRead)) return {};
    uint64_t length = f.GetLength();
    if (length <= offset || !f.Seek(offset)) return {};
    std::vector<char> buf(static_cast<size_t>(std::min<uint64_t>(length - offset, 1u << 20)));
    uint32_t n = f.Read(buf.data(), static_cast<uint32_t>(buf.size()));
    offset += n;
    return std::string(buf.data(), n);
}

}  // namespace station
