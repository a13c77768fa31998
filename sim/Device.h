// A simulated device: the bootloader's side of the ISP protocol, served on a pseudo-terminal (or
// any tty, or an in-process loopback port) by a service thread. It records everything it receives
// so that tests can prove a run byte for byte, can emulate the wire time of its line rate, and can
// inject faults on the wire.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sim {

class ILine;

// Frame numbers count the host frames received since the device was made, from 1 (frames with a
// bad checksum included); answer numbers count the answers sent, from 1. Faults changed at run
// time keep these counts. -1 switches a fault off.
struct Faults {
    int garbleAnswer = -1;  // flip the last byte (a checksum) of answer N
    int dropAnswerTo = -1;  // carry out frame N but send no answer
    int silenceAfter = -1;  // answer frame N, then neither carry out nor answer anything more
    int errorAt = -1;       // refuse frame N with status(code, 1) + status(code, errorCode)
    uint8_t errorCode = 3;
    bool singleByteWrites = false;  // every answer byte in a write of its own
    int garbageBetween = 0;         // this many bytes (never 0xAC) before each answer
    int hangupAfter = -1;           // after answering frame N, close the line
    int strayAt = -1;               // answer frame N with a status frame of another command
    // Line noise: noiseLen bytes ahead of answer noiseAt (0: ahead of every answer), each of them
    // noiseByte, or random bytes with start bytes among them when noiseByte is -1 (never such
    // that a valid frame begins in them); with noiseApart in a write of their own.
    int noiseLen = 0;
    int noiseAt = 0;
    int noiseByte = -1;
    bool noiseApart = false;
    // Answer raw data frame N with a status "done" for its code in place of its acknowledgement.
    int statusForAckAt = -1;
    // Ahead of the answer to frame N, a status pair for strayStatusCode (no command in flight).
    int strayStatusAt = -1;
    uint8_t strayStatusCode = 0x11;
    // The read block at this address comes with a bad check byte its first badReadTimes times.
    uint32_t badReadAt = 0;
    int badReadTimes = 0;
    // The answer to frame N comes stallMs of program time late.
    int stallAt = -1;
    uint32_t stallMs = 0;
};

struct Options {
    uint32_t baud = 256000;
    bool lineRate = false;  // emulate 10 bits per byte at the current baud, both directions
    uint32_t procMicros = 0;
    uint16_t fwVersion = 0x0103;
    uint8_t selectNum = 1;
    uint8_t flashSizeCode = 0x09;  // 512 KiB; a code outside the size table also gives 512 KiB
    bool verify = false;           // follow every firmware write by a verify answer (0x0E)
    // Program time (the time-scale seam) the device takes to prepare its memory before each
    // ready frame (0x19, 0x22, 0x32, 0x42), as real flash does.
    uint32_t readyDelayMs = 0;
    // A flash cell that stores what is written to it with its lowest bit flipped, as a worn or
    // faulty cell would; 0: none.
    uint32_t badCellAt = 0;
    Faults faults;
};

struct PayloadReport {
    uint64_t bytes = 0;
    std::string sha256;  // of the bytes received, in order
    int frames = 0;
    bool begun = false, ended = false;
    uint64_t announced = 0;  // radar only: the length given with its begin command
};

struct Segment {
    uint32_t address;
    uint32_t length;
    std::string sha256;
};

struct Report {
    std::vector<uint8_t> commands;  // codes of the host frames with a good checksum, in order
    PayloadReport edog, music, radar;
    std::vector<Segment> firmware;  // contiguous runs of written flash, ascending
    int fwFrames = 0;
    bool fwBegun = false, fwEnded = false;
    std::vector<std::string> violations;
    uint64_t bytesIn = 0, bytesOut = 0;
    // From the delivery of an answer's last byte to the first byte of the next host frame.
    std::vector<double> turnaroundMicros;
    uint32_t baud = 0;
    int framesIn = 0, answersOut = 0;
    bool hungUp = false;

    std::string ToJson() const;
};

class CDevice {
public:
    explicit CDevice(Options o);
    ~CDevice();
    CDevice(const CDevice&) = delete;
    CDevice& operator=(const CDevice&) = delete;

    // Opens a pseudo-terminal pair in raw mode and keeps its slave side open, so the line
    // survives the updater closing and reopening it. *slavePath is the tty to hand out.
    bool CreatePty(std::string* slavePath, std::string* error = nullptr);
    // Serves an existing tty (put in raw mode) instead.
    bool ServePath(const std::string& tty, std::string* error = nullptr);
    // Serves the in-process loopback port *portPath ("loop:" + name) instead: no tty at all.
    bool CreateLoopback(const std::string& name, std::string* portPath,
                        std::string* error = nullptr);
    // The line this platform's --simulate uses: a pseudo-terminal on POSIX, a loopback port on
    // Windows. *portPath is what the updater opens.
    bool CreatePort(std::string* portPath, std::string* error = nullptr);

    bool Start();
    void Stop();

    Report GetReport() const;
    std::vector<uint8_t> Flash() const;
    // The bytes of the data frames 0x23, 0x33 or 0x43 in the order received; empty for others.
    std::vector<uint8_t> RawPayload(uint8_t dataCmd) const;
    void SetFaults(const Faults& faults);
    // Hangs the line up now, as a pulled cable would.
    void PullCable();
    // True once nothing has moved on the line for quietMs with nothing left to send; false when
    // maxMs pass first.
    bool WaitIdle(uint32_t quietMs, uint32_t maxMs);
    // Every payload that was begun has ended (and at least one was begun).
    bool PayloadsComplete() const;

private:
    // Takes the line to serve; false when the device already serves one.
    bool Attach(std::unique_ptr<ILine> line, std::string* error);
    uint32_t LineBaud() const;

    struct State;
    std::unique_ptr<State> m_p;
};

}  // namespace sim
