// Child processes for the service station: one started with its output going to files, watched
// without blocking, and ended; and the stop signals the station turns into a clean end.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace plat {

class CChildProcess {
public:
    CChildProcess();
    // A child still running is killed and reaped: nothing is left behind.
    ~CChildProcess();
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    // Starts argv[0] with argv, standard input empty, standard output and error appended to the
    // two files (created when missing). In a process group of its own, so that the terminal's
    // Ctrl-C reaches the station alone. False with a message when it could not start.
    bool Start(const std::vector<std::string>& argv, const std::string& outPath,
               const std::string& errPath, std::string& error);
    // True once the child has ended; code is its exit code (128 + the signal's number when a
    // signal ended it). Never blocks.
    bool Poll(int& code);
    // Asks the child to end (SIGTERM; on Windows it is ended at once).
    void RequestStop();
    void Kill();
    bool Running() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_p;
};

// The path of the running program, to start it again as a child; "" when unknown.
std::string ExecutablePath();

// Creates path and its parents as needed; true when it is a directory afterwards.
bool MakeDirectories(const std::string& path);

// From now on Ctrl-C and a termination request (SIGINT, SIGTERM; the console's control events on
// Windows) only set a flag that StopSignal reports: 0 none yet, else the signal's number.
void CatchStopSignals();
int StopSignal();

}  // namespace plat
