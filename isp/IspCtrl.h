// The protocol controller: owns the serial port, writes command frames, takes the device's bytes
// apart into frames, decides when an answer is complete, finishes the command in flight and hands
// every result to the page through one callback. The core is IspCtrl.cpp; the command builders,
// the downloads with the verify, the flash read-out and the port probing have a file each.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/AutoThread.h"
#include "core/RawString.h"
#include "core/TaskManager.h"
#include "image/HexFile.h"
#include "image/RawPayload.h"
#include "isp/IspCodes.h"
#include "platform/File.h"
#include "serial/Serial.h"

// data points at the answer data (valid only during the call); dataLen says how many bytes there
// are valid, never more than were received. The same shape serves the controller's own
// notifications (NOTIFY_...), which go through a pointer of their own: no byte from the line can
// pass for one.
using PFN_CMD_RESULT = void (*)(const uint8_t* data, void* context, uint8_t code, int32_t dataLen);

// The ports that could be opened at start-up, COM numbers in the order found.
constexpr int MAX_COM_PORTS = 10;
extern uint8_t g_pComPortList[MAX_COM_PORTS];
extern std::atomic<uint8_t> g_byComPortCount;

// Values of CISPCtrl::m_nRunState.
enum : int32_t {
    RUN_STOP_REQUESTED = 0,  // set by the page: the next completed answer drops the whole queue
    RUN_STOPPED = 1,         // the queue was dropped at an answer
    RUN_RUNNING = 2,         // a completed answer finishes the matching queued command
};

// Values of CISPCtrl::m_byReplyState. A status error stores the answered code, which from 2 up
// counts as consumed too.
enum : uint8_t {
    REPLY_COLLECTING = 0,  // the raw reply buffer gathers the bytes of the next answer
    REPLY_MULTIPART = 1,   // a status frame with result 1 came: its data follow in later chunks
    REPLY_CONSUMED = 2,    // the answer was taken: the next bytes start the buffer anew
};

class CISPCtrl : private CMuTexObject, public CSerialObject, public CFrameSender {
public:
    CISPCtrl();
    ~CISPCtrl() override;

    // The callbacks Open registers: the page's result handler and its notification handler.
    void SetResultCallback(PFN_CMD_RESULT pfn, PFN_CMD_RESULT notify) {
        m_pfnRegister.store(pfn);
        m_pfnNotifyRegister.store(notify);
    }

    int Open(uint8_t port, void* context);
    int send_data(const uint8_t* frame, int32_t len) override;
    int OnReceive(const uint8_t* data, uint32_t count) override;
    void OnLineLost() override;
    // The task manager gave up a send that hung: nothing more goes out on this port, so that no
    // frame after the lost ones reaches the device, and the page is told the write failed.
    void OnSendGivenUp(uint32_t elapsedMs) override;

    // Purge, stop the reader, close the handle and forget the partial answer. Safe from the reader
    // thread itself.
    void ClosePort();
    bool IsPortOpen() const { return m_serial.IsOpen(); }
    // A pause of the result handling on the reader thread: ends early, with false, when the port
    // is closed (the close waits for this thread) or WakePauses is called; false at once when the
    // port was closed since the bytes being handled came in.
    bool PauseReader(uint32_t ms);
    void WakePauses();

    // Single-frame builders: each queues one command.
    void GetChipVersion();
    void GetChipID();
    void GetFlashSize();
    void SetDeviceBaud(uint32_t baud);
    int ReadFlash();
    // Asks for one block (2048 bytes) at each address in turn, the next once the one before has
    // been answered; a block that fails its check is asked for again up to READ_RETRIES times.
    int ReadFlashBlocks(const std::vector<uint32_t>& addresses);
    // Address of the block whose answer was passed on last.
    uint32_t ReadBlockAddress() const { return m_dwReadAnswered.load(); }
    void QueryChipExtra();
    void AnswerLoaderStarted();
    void SendEcho();
    int EraseChip();
    void EndFirmware();
    void BeginFirmware(uint16_t version);
    void EndEdog();
    void BeginEdog();
    void EndMusic();
    void BeginMusic();
    void BeginRadar(const uint8_t* length4);

    // Stores one read-block answer in the dump file and reports progress. FALSE when the dump
    // file cannot be created or written, or the answer is short; the reason is in GetReadError.
    int SaveReadBlock(const std::string& name, const uint8_t* data, int32_t dataLen);
    uint32_t LookupFlashSize(const uint8_t* code);
    // Closes a half-done flash dump.
    void AbortReadFlash();
    // Ends a read-out that cannot go on: a ReadFlash still queueing its blocks stops.
    void CancelReadFlash();

    int DownloadHex(CHEXFile* image);
    // Stops every download still queueing its frames (an error dropped the queue).
    void CancelDownloads();
    int DownloadEdog(CRawPayload* holder);
    int DownloadMusic(CRawPayload* holder);
    int DownloadRadar(CRawPayload* holder);

    // Opens COM p and queues the probe on it, then waits up to PROBE_ANSWER_MS for the answer
    // (or until stop says so). 1 answered (the port stays open), 0 silent (open), -1 not opened.
    int ProbePort(uint8_t index, uint8_t p, void* context, bool checkJob,
                  const std::function<bool()>& stop);
    // Probes the listed ports in turn until one answers; the silent ones are closed again.
    void ProbeAllPorts(void* context);
    // The check-port job: the same loop, then closes the port.
    int ProbePorts();

    int CompareReadBack(CHEXFile* image, const uint8_t* data, int32_t dataLen);

    std::string GetWriteError() const;
    std::string GetReadError() const;

    std::atomic<PFN_CMD_RESULT> m_pfnResult{nullptr};
    std::atomic<PFN_CMD_RESULT> m_pfnNotify{nullptr};
    std::atomic<uint32_t> m_dwFlashSizeKB{512};
    std::atomic<int32_t> m_nSelectNum{0};  // kept for fidelity: the program does not read it
    std::atomic<int32_t> m_nProbeMode{0};
    CSerial m_serial;
    CRawString m_rxStream;
    CRawString m_rxReply;
    plat::CFile m_fileRead;
    std::atomic<void*> m_pResultCtx{nullptr};
    std::atomic<int32_t> m_nReadBlocks{0};
    uint32_t m_dwUpperAddr = 0;  // kept for fidelity: written by DownloadHex, read by nothing
    std::atomic<int32_t> m_nVerifyIndex{0};
    std::atomic<int32_t> m_nRunState{RUN_RUNNING};
    uint8_t m_byReplyState = REPLY_COLLECTING;
    std::atomic<bool> m_bProbeAnswered{false};
    // Counts every open and close of the port: a write failure is acted on only for the port it
    // was meant for.
    std::atomic<uint32_t> m_nPortGeneration{0};
    // Frames the running raw download queues, fixed before its first frame: the page's 100 %
    // mark must not move when the file changes while its frames are on the way.
    std::atomic<uint32_t> m_dwRawFrames{0};

    // A raw reply buffer larger than this is garbage: no answer is that long.
    static constexpr int32_t MAX_REPLY_BYTES = 64 * 1024;
    // How long a port may take to answer the probe: a device answers within a few milliseconds,
    // and every silent port of the machine costs this much of the search.
    static constexpr uint32_t PROBE_ANSWER_MS = 300;
    // Further requests for a read block that failed its check: a read may heal, a bad cell not.
    static constexpr int READ_RETRIES = 2;

private:
    static CCmdTaskManager& TaskManager() { return *CCmdTaskManager::GetInstance(); }
    // Sets m_nFrameEnd for a found frame.
    void LocateFrame(const CRawString& frame);
    void OnFrame(const CRawString& frame);
    void finish_task(const CRawString& frame);
    void OnStatusError(const CRawString& frame);
    // Calls the result callback with the reply buffer from offset on.
    void Callback(int32_t offset, uint8_t code);
    void CallbackData(const uint8_t* data, int32_t len, uint8_t code);
    void Notify(const uint8_t* data, int32_t len, uint8_t code);
    // After a complete read-block answer: true when the block is asked for again instead.
    bool RetryReadBlock(const uint8_t* data, int32_t len);
    void QueueNextReadBlock(uint32_t generation);
    void QueueFrame(uint8_t code, const uint8_t* payload, int32_t len);
    int DownloadRaw(CRawPayload* holder, uint8_t code, uint32_t chunk);
    bool QueueDownloadFrame(CISPPacket& rec, uint32_t generation);
    void ProbeLoop(bool checkJob, void* context);

    std::atomic<PFN_CMD_RESULT> m_pfnRegister{nullptr};
    std::atomic<PFN_CMD_RESULT> m_pfnNotifyRegister{nullptr};
    std::atomic<uint32_t> m_nReadGeneration{0};
    // The read-out under way: its block addresses, the next to ask for, the tries of the one in
    // flight.
    std::mutex m_readMtx;
    std::vector<uint32_t> m_readPlan;
    size_t m_nReadNext = 0;
    int m_nReadTries = 0;
    std::atomic<uint32_t> m_dwReadAddr{0}, m_dwReadAnswered{0};
    // Port generation + 1 on which a send was given up (0: none): nothing more is written on it.
    std::atomic<uint32_t> m_nGivenUpOn{0};
    std::mutex m_downloadMtx;
    std::atomic<uint32_t> m_nDownloadGeneration{0};
    // Reader thread only: reply bytes up to the end of the frame being handled, and where the
    // search for the next frame starts (-1: the port was closed under the handlers).
    int32_t m_nFrameEnd = 0;
    int32_t m_nReplyScan = 0;
    std::mutex m_pauseMtx;
    std::condition_variable m_pauseCv;
    uint32_t m_nPauseWakes = 0;
    // Reader thread only: the port generation its current chunk came in on.
    uint32_t m_nRecvGeneration = 0;
    mutable std::mutex m_errMtx;
    std::string m_strWriteError;
    std::string m_strReadError;
};

extern CISPCtrl g_ISPCtrl;
extern CCmdTaskManager g_CmdTaskManager;
