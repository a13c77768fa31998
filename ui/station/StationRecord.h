// The station's record: one line per device run, appended to a CSV file (and a JSON Lines file),
// and reading what a child has written to its files so far.
#pragma once

#include <cstdint>
#include <string>

namespace station {

struct RecordLine {
    std::string time;  // when the run started, UTC
    std::string port, serial, version;
    std::string payloads;  // written, "+" between them
    uint64_t bytes = 0;
    double seconds = 0;
    std::string outcome;
    int exitCode = 0;
    std::string log;
};

// The CSV line's header.
extern const char* const RECORD_HEADER;

// False with a message when the file cannot be appended to (or created).
bool CheckRecordFile(const std::string& path, std::string& error);
// Appends the line (CSV, with the header first in a new file; or one JSON object a line).
bool AppendRecord(const std::string& path, const RecordLine& line, bool json);
std::string CsvRecord(const RecordLine& line);
std::string JsonRecord(const RecordLine& line);

// What the file holds from offset on (at most 1 MiB a call); offset moves past it.
std::string ReadFrom(const std::string& path, uint64_t& offset);

}  // namespace station
