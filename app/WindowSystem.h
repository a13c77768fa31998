// What the page needs of a window system. The Qt window, the terminal face and the tests each
// implement it. Every call may come from any thread; implementations marshal control updates to
// their UI thread and deliver timer ticks (WM_TIMER) and posted calls there.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Milestones of the page that a face may act on (the terminal face turns them into exit codes).
enum class PageEvent {
    ProbeAnswered,     // the device answered: the update button is enabled
    RunComplete,       // "Готово" / "升级完成"
    NothingToDo,       // the button was pressed with no payload pending
    DeviceError,       // an error status from the device
    VerifyFailed,      // a written record read back different
    VersionWarning,    // the device reported the version word 0x0104
    WaitingForDevice,  // a begin command went out: the device prepares its memory (seconds)
    PortUnusable,      // a port could not be opened; the detail says why (once per port and reason)
    Timeout,           // no answer within the reply time
    LinkLost,          // a write to the port failed, or the echo failed and the port was closed
    FileError,         // a payload could not be read during its download
    ServiceDone,       // chip information, erase or flash read-out finished
    ServiceFailed,     // a flash read-out could not be stored
    BaudReady,         // the baud handshake ended with the success line
};

// What the page decided about one payload (by PayloadKind).
enum class PayloadOutcome {
    Pending,  // a look at the payload files took it: the next press writes it
    Absent,   // a look found it missing or refused it
    Written,  // its last frame was acknowledged
};

// What a progress event counts when it is not a payload's write (those go by PayloadKind).
enum : int { PROGRESS_READ_BACK = -1, PROGRESS_READ_OUT = -2 };

class IWindowSystem {
public:
    virtual ~IWindowSystem() = default;

    // The whole status text (UTF-8), after every change.
    virtual void ShowStatusText(const std::string& text) = 0;
    virtual void SetProgressRange(int lo, int hi) = 0;
    virtual void SetProgressPos(int pos) = 0;
    virtual void EnableProgress(bool enable) = 0;
    virtual void EnableUpdateButton(bool enable) = 0;
    // Why the update button waits, shown as its tooltip while no device has answered; "" clears.
    virtual void SetUpdateButtonTip(const std::string& /*tip*/) {}
    // The line under the status pane: what the page waits for and what it found wrong (UTF-8, a
    // line break between parts); "" empties it.
    virtual void ShowNoticeLine(const std::string& /*line*/) {}
    // Window timers: periodic until killed; setting a running timer restarts its period; ticks
    // arrive on the UI thread through the handler given to SetTimerHandler.
    virtual void SetTimer(uint32_t id, uint32_t ms) = 0;
    virtual void KillTimer(uint32_t id) = 0;
    virtual void SetTimerHandler(std::function<void(uint32_t)> onTimer) = 0;
    // A message box; it must not hold up the calling thread.
    virtual void MessageBox(const std::string& text, const std::string& caption) = 0;
    // A modal box the user must close; onClosed runs once, from any thread, when it is closed.
    // The page holds its run until then. Without a user to ask, show it and go on at once.
    virtual void MessageBoxModal(const std::string& text, const std::string& caption,
                                 std::function<void()> onClosed) {
        MessageBox(text, caption);
        if (onClosed) onClosed();
    }
    virtual void PostToUi(std::function<void()> fn) = 0;
    virtual void OnPageEvent(PageEvent /*event*/, const std::string& /*detail*/) {}
    // The percentage of a payload's write (by PayloadKind) or of a read of the flash. It comes
    // right before the status text that shows it, with no other text between: a face may draw
    // that text as a live line.
    virtual void OnPayloadProgress(int /*payload*/, int /*percent*/) {}
    // Comes on the thread where the page decides it, at once, in the order of the decisions:
    // each look at the files sends Pending or Absent for every payload, the last acknowledgement
    // of a payload Written.
    virtual void OnPayloadOutcome(int /*payload*/, PayloadOutcome /*outcome*/) {}
};
