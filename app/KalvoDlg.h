// The updater page: set-up, result dispatch, progress and completion, device messages, the
// update run and the service operations. No GUI in here: it talks to an IWindowSystem. Its code
// lies in KalvoDlg.cpp (set-up, life cycle, timers), ResultDispatch.cpp (results and device
// messages), UpdateRun.cpp (the run, its worker and progress) and ServiceOps.cpp (chip
// information, erase, flash read-out, baud change).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/Chores.h"
#include "app/RunRecord.h"
#include "app/StatusText.h"
#include "app/WindowSystem.h"
#include "core/AutoThread.h"
#include "core/ISPPacket.h"
#include "image/HexFile.h"
#include "image/RawPayload.h"
#include "isp/FlashReadBack.h"
#include "isp/PortSearch.h"
#include "platform/Event.h"
#include "platform/PayloadFile.h"

class CCmdTaskManager;

enum : uint8_t {
    STATE_IDLE = 0,
    STATE_BURN_FW = 2,
    STATE_CHIP_INFO = 3,
    STATE_READ_FLASH = 4,
    STATE_ERASE = 5,
    STATE_BURN_EDOG = 6,
    STATE_BURN_MUSIC = 7,
    STATE_BURN_RADAR = 8,
    STATE_STOPPING = 10,
};

enum : uint8_t {
    JOB_NONE = 0,
    JOB_ERASE = 1,
    JOB_BURN_HEX = 2,
    JOB_BURN_EDOG = 3,
    JOB_BURN_MUSIC = 4,
    JOB_BURN_RADAR = 5,
    JOB_CHECK_PORT = 6,
    JOB_READ_FLASH = 7,
    JOB_CHIP_INFO = 8,
};

enum : uint32_t { TIMER_REPLY = 1, TIMER_STOP = 2 };

// The reply timer's bound for the answer to a frame.
constexpr uint32_t REPLY_WAIT_MS = 2500;
// The bound for a ready frame after a begin command: the device erases or prepares its memory
// first, which takes seconds on real flash and tens of seconds for a whole chip.
constexpr uint32_t READY_WAIT_MS = 120000;

// The payloads, in the order a run writes them: the rows of the payload table (PayloadTable.h).
enum PayloadKind : int { PAYLOAD_FW, PAYLOAD_EDOG, PAYLOAD_MUSIC, PAYLOAD_RADAR, PAYLOAD_COUNT };

// One payload as a look at its file took it: the firmware as its Intel HEX image, the others as
// their raw bytes.
struct PayloadHolder {
    std::shared_ptr<CHEXFile> image;   // PAYLOAD_FW
    std::shared_ptr<CRawPayload> raw;  // the others
    explicit operator bool() const { return image != nullptr || raw != nullptr; }
};

// Where the page finds its payloads and writes its files.
struct PageConfig {
    std::string payloadDir;  // empty: the executable's directory
    std::string logPath = "KalvoLog.txt";
    uint32_t targetBaud = 256000;  // 256000: no baud change
    bool scanPorts = true;         // false: the port list is already filled (tests)
};

class CKalvoDlg : public CAutoThread, public CCmdTask {
public:
    CKalvoDlg(IWindowSystem* wnd, PageConfig config = {});
    ~CKalvoDlg() override;

    // Set-up, on the UI thread.
    int OnInitDialog();
    void ScanComPorts();
    void FindPayloadFiles();

    // Command results and the controller's own notifications (reader and sender threads), each
    // on its own path.
    static void OnCmdResult(const uint8_t* data, void* context, uint8_t code, int32_t dataLen);
    static void OnCmdNotify(const uint8_t* data, void* context, uint8_t code, int32_t dataLen);
    void ProcessResult(uint8_t code, const uint8_t* data, int32_t dataLen);
    void ProcessNotify(uint8_t code, const uint8_t* data, int32_t dataLen);
    void DispatchResult(uint8_t code, CKalvoDlg* dlg, const uint8_t* data, int32_t dataLen);
    void AbortPending(uint8_t code);
    void ShowStatus(const std::string& text, uint8_t mode);
    // A progress text of a payload (or PROGRESS_READ_BACK, PROGRESS_READ_OUT): the window hears
    // of the percentage just before the text, under the same lock.
    void ShowProgress(int payload, int percent, const std::string& text, uint8_t mode);

    // Progress and completion.
    void OnFwProgress() { OnPayloadAck(PAYLOAD_FW); }
    void OnEdogProgress() { OnPayloadAck(PAYLOAD_EDOG); }
    void OnMusicProgress() { OnPayloadAck(PAYLOAD_MUSIC); }
    void OnRadarProgress() { OnPayloadAck(PAYLOAD_RADAR); }
    void OnProbeAnswer();
    void OnReadProgress(const uint8_t* data, int32_t dataLen);
    void OnReadBlock(const uint8_t* data, int32_t dataLen);
    void OnReadBackBlock(const uint8_t* data, int32_t dataLen);

    // Device status and error messages.
    void OnVerifyResult(const uint8_t* data, int32_t dataLen);
    void OnDeviceError(const uint8_t* data, int32_t dataLen);
    void OnEchoResult(const uint8_t* data, int32_t dataLen);
    void OnBaudResult();
    void OnEraseDone();
    void OnChipVersion(const uint8_t* data, int32_t dataLen);
    void OnChipId(const uint8_t* data, int32_t dataLen);
    void OnFlashSize(const uint8_t* data, int32_t dataLen);

    // The update run.
    void OnBnClickedUpdate();
    void BurnHex() { Burn(PAYLOAD_FW); }
    void BurnEdog() { Burn(PAYLOAD_EDOG); }
    void BurnMusic() { Burn(PAYLOAD_MUSIC); }
    void BurnRadar() { Burn(PAYLOAD_RADAR); }
    uint32_t Run() override;
    void OnTimer(uint32_t id);
    void OnDestroy();

    // Service operations the window itself has no control for; each sets its state first.
    void StartChipInfo();
    void StartErase();
    void StartReadFlash(const std::string& dumpPath);
    // Reads back the flash blocks that hold the image's data and compares them with it; ends in
    // ServiceDone (all match) or VerifyFailed. False when the page is busy or the image is empty.
    bool StartReadBack(std::shared_ptr<const CHEXFile> image);
    CFlashReadBack::Result ReadBackResult() const;
    const CRunRecord& RunRecord() const { return m_runRecord; }
    void StartBaudHandshake(uint32_t targetBaud);
    void StartCheckPort();
    // Blocks until the steps the UI thread handed on have run (tests).
    void DrainChores() { m_chores.Drain(); }
    // Ends the search for the device (the terminal face gives up waiting).
    void StopPortSearch() { m_search.Stop(); }
    // Why the ports that could not be opened failed, one line each.
    std::string FailedPorts() const { return m_search.FailedPorts(); }

    // A payload is being written: from its begin command until its last frame is acknowledged
    // (the faces ask before they stop it). Which one, or -1.
    bool IsWriting() const { return WritingPayload() >= 0; }
    int WritingPayload() const;
    // What a stop now leaves unfinished ("the firmware was not completed: run the update again");
    // "" when nothing.
    std::string UnfinishedText() const;

    // For faces and tests.
    const CStatusText& Status() const { return m_status; }
    bool IsButtonEnabled() const { return m_bButtonEnabled.load(); }
    std::shared_ptr<CHEXFile> HexFile() const;
    // The four holders, by PayloadKind; each look at the files replaces them, so users take a
    // reference first.
    PayloadHolder Holder(int which) const;
    // The holder of payload which as the last press read it; empty when the press did not take
    // it (missing, refused, or no press yet).
    PayloadHolder RunPayload(int which) const;
    std::string PayloadDir() const;
    // Why the last look at the payload files refused payload which (empty: taken, or missing).
    std::string PayloadProblem(int which) const;
    // One line a refused payload file: "DE7811_project.hex, line 65: bad checksum\r\n".
    std::string PayloadRefusals() const;
    // What the pane says when a press could not start a run: the refused files, or that the
    // folder holds none; empty when the payloads are ready.
    std::string PayloadProblemText() const;

    std::atomic<uint8_t> m_byState{STATE_IDLE};
    std::atomic<uint8_t> m_bFwPending{0}, m_bEdogPending{0}, m_bMusicPending{0}, m_bRadarPending{0};
    std::atomic<uint16_t> m_wPayloadTotal{0}, m_wPayloadDone{0};
    std::atomic<uint32_t> m_dwAckCount{0};
    std::atomic<uint8_t> m_byJob{JOB_NONE};
    std::atomic<int32_t> m_bTimer2Set{0};
    std::atomic<uint32_t> m_dwTargetBaud{256000};
    std::atomic<uint8_t> m_byBaudStep{0};
    std::atomic<int32_t> m_bBaudSwitched{0};
    std::atomic<int32_t> m_bBurnArmed{0};
    std::atomic<uint16_t> m_wFwVer{0};
    plat::CEvent m_hJobEvent;

private:
    static CCmdTaskManager& TaskManager();
    // printf into a string, for the status texts that carry a value.
    static std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
    // The pending flags, by PayloadKind.
    std::atomic<uint8_t>& Pending(int which);
    // One acknowledgement of a payload's write frame; at 100 % the payload is closed.
    void OnPayloadAck(int which);
    void CompletePayload(int which);
    // The answer to the end command of a payload at 100 %.
    void OnEndAnswered(uint8_t code);
    // Counts one acknowledgement of payload which and shows its percentage; the percentage, or
    // -1 when the page is not writing it.
    int CountAck(int which, uint32_t total);
    void EnableButton(bool enable);
    void SetProgress(int pos);
    void ClosePort();
    // A pause on the reader thread that ends early, with false, when the window goes or the port
    // is closed: what came after it is then no longer wanted.
    bool Pause(uint32_t ms);
    void Notify(PageEvent event, const std::string& detail = {});
    void NotifyOutcome(int which, PayloadOutcome outcome);
    // A failed write or a hung-up line (on the UI thread): ends the run, or, while idle, releases
    // the port and looks for the device again.
    void OnLinkFailure(const std::string& reason, bool hangUp);
    void StartPortSearch();
    // Shows the version box and holds the run (this thread) until the user has closed it.
    void HoldForBox();
    bool IsBoxOpen() const;
    void PostJob(uint8_t job);
    // The run record's entry for a payload whose begin command goes out now.
    void RecordBegin(int which, uint32_t chunk, const PayloadHolder& holder);
    void Burn(int which);
    // The begin command of the first payload still pending (the press, and after each payload).
    void StartNextPayload();
    // Payload files (PayloadFiles.cpp): whether a file changed since the last look; whether a
    // run holds the payloads read at its press; whether the payloads allow a press now (else
    // the pane says why); the watch of the folder while the page waits.
    struct CPayloadLook {
        PayloadHolder holders[PAYLOAD_COUNT];
        std::string problems[PAYLOAD_COUNT];
        plat::FileStamp stamps[PAYLOAD_COUNT];
        bool found[PAYLOAD_COUNT] = {};
        int total = 0;
    };
    // Reads and checks every payload file; changes nothing. log: the discovery's log lines.
    CPayloadLook LookAtPayloadFiles(bool log) const;
    // What the pane and the watch go by: the problems, the stamps, how many were found.
    void TakeLook(const CPayloadLook& look);
    // FindPayloadFiles, returning the look it took.
    CPayloadLook DiscoverPayloads();
    static std::string Refusals(const std::string (&problems)[PAYLOAD_COUNT]);
    bool PayloadFilesChanged() const;
    bool RunUnderWay();
    bool OfferUpdate();
    void WatchPayloadFiles();
    void RunDownload(uint8_t job);
    bool StartService(uint8_t state, uint8_t job);
    // The line under the status pane: the search for the device (from its summary), and a log
    // file that cannot be written.
    void ShowSearching(const std::string& summary);
    void EndSearchNotice();
    void ShowNotices();
    // Opens the log file when logging is on; a problem with it goes to the line.
    void OpenLog();

    IWindowSystem* m_pWnd;
    PageConfig m_config;
    CStatusText m_status;
    std::atomic<bool> m_bButtonEnabled{false};
    mutable std::mutex m_holderMtx;
    PayloadHolder m_holders[PAYLOAD_COUNT];
    // Under m_holderMtx, from the last look: why each file was refused, its stamp, and whether
    // it was found (and so pending at the start of a run).
    std::string m_strProblem[PAYLOAD_COUNT];
    plat::FileStamp m_stamp[PAYLOAD_COUNT];
    bool m_bFound[PAYLOAD_COUNT] = {};  // by the discovery: pending at the start of a run
    int m_nLookFound = 0;               // found by the last look, the watch's included
    std::mutex m_findMtx;
    std::mutex m_pressMtx;                      // a press, or the watch of the folder
    PayloadHolder m_runHolders[PAYLOAD_COUNT];  // under m_holderMtx
    // The pane's payload text while the button is held back for the payload files.
    std::mutex m_readyMtx;
    std::string m_strWithheld;
    mutable std::mutex m_dumpMtx;
    std::mutex m_runMtx;
    std::string m_strDumpPath;
    // The read-out of STATE_READ_FLASH goes to m_readBack instead of the dump file.
    std::atomic<bool> m_bReadBack{false};
    CFlashReadBack m_readBack;
    CRunRecord m_runRecord;
    std::atomic<bool> m_bDestroyed{false};
    // A begin command went out and the device has not said it is ready yet: the page is idle, but
    // a run is under way that the reply timer must be able to end.
    std::atomic<bool> m_bAwaitReady{false};
    // A payload is at 100 %: its end command and the pause before the next one are under way.
    std::atomic<bool> m_bPayloadClosing{false};
    // The end command whose answer closes the payload m_nEndAwaited; 0: none awaited.
    std::atomic<uint8_t> m_byEndAwaited{0};
    std::atomic<int> m_nEndAwaited{0};
    // Command code of the frame sent last: only its answer disarms the reply timer.
    std::atomic<uint8_t> m_byInFlight{0};
    // The version box while it is open; shared with the window, which may close it late.
    struct CBoxWait {
        std::mutex mtx;
        std::condition_variable cv;
        bool open = true;
        void Close();
    };
    mutable std::mutex m_boxMtx;
    std::shared_ptr<CBoxWait> m_pBox;
    CPortSearch m_search;
    std::mutex m_noticeMtx;
    std::string m_strSearchNotice, m_strLogNotice;
    // Set by ScanComPorts: the next search's first pass lists the ports that open.
    std::atomic<bool> m_bListPorts{false};
    // Last: it runs what is still queued before the members it touches go.
    CChoreThread m_chores;
};

// The line under the pane while the device is looked for: every port of the table, and what the
// port search's summary ("COM1 /dev/ttyUSB0: did not answer", a line a port) found wrong with it.
std::string SearchLineText(const std::vector<std::string>& table, const std::string& summary);
