// The service station: watches the machine's serial ports, starts one child updater process for
// each port on which a device answers, follows each child's texts into a row, and appends a
// record line per device run. The station never opens a port that a child holds.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Event.h"

struct StationRow {
    int id = 0;
    std::string port;
    std::string serial;  // the USB adapter's serial number, "" when unknown
    int payload = -1;    // the payload in progress (PayloadKind), -1 none yet
    int percent = 0;
    uint32_t startTick = 0, endTick = 0;  // program time
    bool running = true;
    bool interrupted = false;  // ended by the station's own end
    std::string outcome;       // the page's own words; "interrupted"; else the child's reason
    int exitCode = -1;         // once ended
    std::string logPath;
};

struct StationConfig {
    std::vector<std::string> ports;  // the ports to watch; empty: the machine's serial ports
    std::string payloadDir;
    std::string recordPath;   // the CSV record, appended to
    bool jsonRecord = false;  // also JSON Lines in recordPath + ".jsonl"
    bool once = false;        // one look at the ports, then end when every child has
    // The child's program and its first arguments; the station adds --port P --headless --json
    // --payload-dir D and childExtra.
    std::vector<std::string> childCommand;
    std::vector<std::string> childExtra;
    std::string logDir;  // each run's texts and report
    uint32_t scanPeriodMs = 2000;
    uint32_t probeWaitMs = 300;
    uint32_t stopWaitMs = 3000;  // how long an asked child gets before it is killed
};

class CStation {
public:
    explicit CStation(StationConfig cfg);
    // Ends every child that still runs.
    ~CStation();

    bool Start(std::string& error);
    // Ends the watch and every child (asked first, killed after stopWaitMs); their rows say
    // "interrupted". signal: the stop signal that ended the station, 0 for the window's close.
    void Stop(int signal = 0);
    // --once: every child has ended (or no device answered).
    bool Finished() const;
    std::vector<StationRow> Rows() const;
    // 0 when every device run succeeded (and, with --once, there was one); else the exit code of
    // the first that did not, 3 when no device answered, 128 + signal after a stop signal.
    int ExitCode() const;
    // Each record line as it is written, in JSON (for --json's standard output); on the
    // station's thread.
    std::function<void(const std::string&)> onRecord;

private:
    struct Run;
    struct PortState {
        bool served = false;  // a child ended here; a new device needs the port vacated first
        int silentPasses = 0;
    };
    void Loop();
    void Scan();
    void PollChildren();
    void StartChild(const std::string& port);
    void Finish(Run& run, int code);
    void WriteRecord(const Run& run);
    bool Held(const std::string& port) const;

    StationConfig m_cfg;
    std::thread m_thread;
    plat::CEvent m_evWake;
    std::atomic<bool> m_bStop{false};
    std::atomic<bool> m_bFinished{false};
    int m_nSignal = 0;
    int m_nPasses = 0;
    uint32_t m_dwLastScan = 0;
    int m_nNextId = 1;
    std::map<std::string, PortState> m_ports;
    mutable std::mutex m_mtx;  // the rows, for the faces
    std::vector<std::unique_ptr<Run>> m_runs;
};
