// The terminal face: the page on a UI loop of its own, each status text printed as a line (a
// live line with a bar for the progress texts), and the exit code from the page's milestones.
#include "ui/console/ConsoleFace.h"

#include <atomic>
#include <cstdio>
#include <string>
#include <utility>

#include "app/PayloadTable.h"
#include "app/UiLoop.h"
#include "core/Log.h"
#include "platform/Console.h"
#include "platform/Signals.h"
#include "platform/Time.h"
#include "serial/PortTable.h"

namespace {

constexpr uint32_t TIMER_NO_ANSWER = 100;
// Ticks of the elapsed-seconds line while the device prepares its memory.
constexpr uint32_t TIMER_WAIT_TICK = 101;
// The time a first Ctrl-C during a write waits for a second one.
constexpr uint32_t TIMER_INTERRUPT = 102;
constexpr uint32_t INTERRUPT_CONFIRM_MS = 3000;

std::string ForTerminal(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out += text[i];
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

class CConsoleWindow : public CLoopWindow {
public:
    CConsoleWindow(CUiLoop& loop, CSession& session, std::FILE* out)
        : CLoopWindow(loop),
          m_session(session),
          m_out(out),
          m_bTty(out == stdout && plat::StdoutIsTerminal()) {
        CLoopWindow::SetTimerHandler([this](uint32_t id) {
            if (id == TIMER_NO_ANSWER) {
                OnNoAnswer();
            } else if (id == TIMER_WAIT_TICK) {
                ShowReadyWait();
            } else if (id == TIMER_INTERRUPT) {
                OnInterruptWindowOver();
            } else if (m_pageTimer) {
                m_pageTimer(id);
            }
        });
    }

    void SetPage(CKalvoDlg* page) { m_pPage = page; }

    // The page's timers and the face's own share the window's timer table.
    void SetTimerHandler(std::function<void(uint32_t)> fn) override { m_pageTimer = std::move(fn); }

    void OnPageEvent(PageEvent event, const std::string& detail) override {
        m_loop.Post([this, event, detail] {
            if (m_pPage == nullptr || m_bDone) return;
            if (event == PageEvent::ProbeAnswered) KillTimer(TIMER_NO_ANSWER);
            if (event == PageEvent::WaitingForDevice) StartReadyWait();
            if (event == PageEvent::PortUnusable) Line("Port not usable: " + detail);
            int code = m_session.OnEvent(*m_pPage, event, detail, true);
            if (event == PageEvent::NothingToDo ||
                (event == PageEvent::ProbeAnswered && code == EXIT_PAYLOAD &&
                 m_pPage->PayloadRefusals().empty()))
                Line(NoPayloadText());
            if ((event == PageEvent::VerifyFailed || event == PageEvent::ServiceDone) &&
                m_session.Verifying() && !detail.empty())
                Line("Verify: " + detail);
            if ((event == PageEvent::LinkLost || event == PageEvent::FileError ||
                 event == PageEvent::ServiceFailed) &&
                !detail.empty())
                Line((event == PageEvent::FileError ? "File: " : "Reason: ") + detail);
            if (code >= 0) Finish(code, ReasonFor(event, detail));
        });
    }

    // The page says so just before the text that shows the percentage: that text is the live
    // line's.
    void OnPayloadProgress(int /*payload*/, int /*percent*/) override {
        m_loop.Post([this] { m_bProgressNext = true; });
    }

    // At once: the session takes what a press found as soon as the press returns.
    void OnPayloadOutcome(int payload, PayloadOutcome outcome) override {
        m_session.OnPayloadOutcome(payload, outcome);
    }

    // From the thread that opened the port.
    void Advise(const std::string& advice) {
        m_loop.Post([this, advice] { Line("Note: " + advice); });
    }

    void StartWaiting(uint32_t seconds) { SetTimer(TIMER_NO_ANSWER, seconds * 1000); }

    // The payload files are looked at before the device is: a refused file or an empty folder
    // ends the session at once, with nothing sent. False when it ended.
    bool CheckPayloads() {
        if (m_pPage == nullptr || m_session.IsServiceRun()) return true;
        std::string refused = m_pPage->PayloadRefusals();
        if (!refused.empty()) {
            Line("Payload file refused, nothing was written to the device:");
            std::string reasons;
            for (size_t at = 0; at < refused.size();) {
                size_t end = refused.find("\r\n", at);
                std::string one = refused.substr(at, end - at);
                Line("  " + one);
                reasons += (reasons.empty() ? "" : "; ") + one;
                at = end == std::string::npos ? refused.size() : end + 2;
            }
            Finish(EXIT_PAYLOAD, "payload file refused: " + reasons);
            return false;
        }
        if (m_pPage->m_wPayloadTotal.load() == 0) {
            Line(NoPayloadText());
            Finish(EXIT_PAYLOAD, "no payload file found in " + m_pPage->PayloadDir());
            return false;
        }
        return true;
    }

    // Ctrl-C or SIGTERM, on the UI loop. The first Ctrl-C during a write only warns, as the
    // window asks before a close: a second one within INTERRUPT_CONFIRM_MS stops.
    void OnStopRequest(plat::StopRequest request) {
        if (m_pPage == nullptr || m_bDone) return;
        const bool interrupt = request == plat::StopRequest::Interrupt;
        if (interrupt && !m_bInterruptArmed && m_pPage->IsWriting()) {
            m_bInterruptArmed = true;
            ErrLine(
                "The device is being updated: stopping now means it will need the update again.\n"
                "Press Ctrl-C again within 3 s to stop; otherwise the update goes on.");
            SetTimer(TIMER_INTERRUPT, INTERRUPT_CONFIRM_MS);
            return;
        }
        KillTimer(TIMER_INTERRUPT);
        std::string unfinished = m_pPage->UnfinishedText();
        std::string reason = std::string(interrupt ? "stopped by Ctrl-C" : "stopped by SIGTERM") +
                             (unfinished.empty() ? "" : ": " + unfinished);
        ErrLine("kalvo-updater: " + reason);
        Finish(interrupt ? EXIT_INTERRUPTED : EXIT_TERMINATED, reason);
    }

protected:
    void OnStatusChanged(const std::string& text) override {
        std::string t = ForTerminal(text);
        // A live line holds one line: a percentage updated within a longer pane is printed whole.
        const bool progress =
            std::exchange(m_bProgressNext, false) && t.find('\n') == std::string::npos;
        if (m_bWaiting && !t.empty() && t != m_strLast) StopReadyWait();
        if (t == m_strLast || t.empty()) {
            m_strLast = t;
            return;
        }
        m_strLast = t;
        if (m_bTty && progress) {
            std::fprintf(m_out, "\r\033[K%s %s", t.c_str(), Bar(ProgressPos()).c_str());
            m_bLiveLine = true;
        } else {
            if (m_bLiveLine) std::fprintf(m_out, "\n");
            m_bLiveLine = false;
            std::fprintf(m_out, "%s\n", t.c_str());
        }
        std::fflush(m_out);
    }

    void OnProgressChanged(int pos) override {
        if (m_bTty && m_bLiveLine) {
            std::fprintf(m_out, "\r\033[K%s %s", m_strLast.c_str(), Bar(pos).c_str());
            std::fflush(m_out);
        }
    }

    void OnMessageBox(const std::string& text, const std::string& caption) override {
        Line(caption + ": " + text);
    }

private:
    static std::string Bar(int pos) {
        std::string bar = "[";
        for (int i = 0; i < 30; ++i) bar += i < pos * 30 / 100 ? '#' : '.';
        return bar + "]";
    }

    std::string NoPayloadText() const {
        std::string names;
        for (const PayloadRow& row : kPayloads)
            names += (names.empty() ? "" : ", ") + std::string(row.file);
        return "No payload file found in " + m_pPage->PayloadDir() + " (" + names + ").";
    }

    void OnInterruptWindowOver() {
        KillTimer(TIMER_INTERRUPT);
        if (!m_bInterruptArmed || m_bDone) return;
        m_bInterruptArmed = false;
        ErrLine("Not stopped: the update goes on.");
    }

    // On standard error whatever the status texts go to.
    void ErrLine(const std::string& text) {
        if (m_bLiveLine) std::fprintf(m_out, "\n");
        m_bLiveLine = false;
        std::fflush(m_out);
        std::fprintf(stderr, "%s\n", text.c_str());
        std::fflush(stderr);
    }

    void Line(const std::string& text) {
        if (m_bLiveLine) std::fprintf(m_out, "\n");
        m_bLiveLine = false;
        std::fprintf(m_out, "%s\n", text.c_str());
        std::fflush(m_out);
    }

    // The device prepares its memory: a line with the seconds waited on a terminal, one plain
    // line otherwise.
    void StartReadyWait() {
        if (m_bWaiting) return;
        m_bWaiting = true;
        m_dwWaitStart = plat::GetTickCount();
        if (!m_bTty) {
            Line("Waiting for the device to get ready...");
            return;
        }
        SetTimer(TIMER_WAIT_TICK, 1000);
        ShowReadyWait();
    }
    void ShowReadyWait() {
        if (!m_bWaiting || !m_bTty) return;
        unsigned seconds = (plat::GetTickCount() - m_dwWaitStart) / 1000;
        std::fprintf(m_out, "\r\033[KWaiting for the device to get ready: %u s", seconds);
        std::fflush(m_out);
        m_bLiveLine = true;
    }
    void StopReadyWait() {
        m_bWaiting = false;
        KillTimer(TIMER_WAIT_TICK);
        if (m_bTty && m_bLiveLine) {
            std::fprintf(m_out, "\r\033[K");
            m_bLiveLine = false;
        }
    }

    void OnNoAnswer() {
        KillTimer(TIMER_NO_ANSWER);
        if (m_session.ProbeAnswered() || m_bDone) return;
        // The ports are free again for the reasons below.
        if (m_pPage != nullptr) m_pPage->StopPortSearch();
        std::string reason = "no device answered: " + m_session.NoDeviceReason();
        Line("No device answered: " + m_session.NoDeviceReason());
        Finish(EXIT_NO_DEVICE, reason);
    }

    // Why the session ends with an event, for the report.
    std::string ReasonFor(PageEvent event, const std::string& detail) const {
        auto with = [&](const char* what) {
            return detail.empty() ? what : what + (": " + detail);
        };
        switch (event) {
            case PageEvent::RunComplete:
            case PageEvent::ServiceDone:
                return "done";
            case PageEvent::NothingToDo:
            case PageEvent::ProbeAnswered:
                return "no payload file found in " + m_pPage->PayloadDir();
            case PageEvent::DeviceError:
                return with("device error status");
            case PageEvent::VerifyFailed:
                return with("verify failed");
            case PageEvent::Timeout:
                return "no answer within the reply time";
            case PageEvent::LinkLost:
                return with("link lost");
            case PageEvent::FileError:
                return with("payload file refused");
            case PageEvent::ServiceFailed:
                return with("service operation failed");
            case PageEvent::VersionWarning:
            case PageEvent::WaitingForDevice:
            case PageEvent::PortUnusable:
            case PageEvent::BaudReady:
                break;
        }
        return "ended";
    }

    void Finish(int code, const std::string& reason) {
        if (m_bWaiting) StopReadyWait();
        m_session.SetOutcome(code, reason);
        m_bDone = true;
        if (m_bLiveLine) std::fprintf(m_out, "\n");
        m_bLiveLine = false;
        std::fflush(m_out);
        m_loop.Quit(code);
    }

    CSession& m_session;
    std::FILE* m_out;
    CKalvoDlg* m_pPage = nullptr;
    std::function<void(uint32_t)> m_pageTimer;
    bool m_bTty;
    bool m_bLiveLine = false;
    bool m_bDone = false;
    bool m_bWaiting = false;
    bool m_bInterruptArmed = false;
    bool m_bProgressNext = false;  // the next status text shows a percentage
    uint32_t m_dwWaitStart = 0;
    std::string m_strLast;
};

}  // namespace

int RunConsoleFace(CSession& session) {
    // With a report on standard output, the texts for people go to standard error.
    std::FILE* out = session.Options().json ? stderr : stdout;
    CUiLoop loop;
    CConsoleWindow wnd(loop, session, out);
    int code = EXIT_DONE;
    {
        CKalvoDlg page(&wnd, session.MakePageConfig());
        wnd.SetPage(&page);
        serialports::SetAdviceHandler([&](const std::string& advice) { wnd.Advise(advice); });
        // Ctrl-C and SIGTERM stop the page as the window's close does, from the loop.
        plat::CatchStopRequests([&](plat::StopRequest request) {
            loop.Post([&wnd, request] { wnd.OnStopRequest(request); });
        });
        loop.Post([&] {
            page.OnInitDialog();
            if (wnd.CheckPayloads()) wnd.StartWaiting(session.Options().waitSeconds);
        });
        code = loop.Run();
        plat::ReleaseStopRequests();
        session.TakeRunRecord(page);
        page.OnDestroy();
        loop.RunPending();
        serialports::SetAdviceHandler(nullptr);
        loop.RunPending();
        wnd.SetPage(nullptr);
    }
    if (session.IsSimulated() && code == EXIT_DONE && session.Options().readFlash.empty() &&
        !session.Options().chipInfo && !session.Options().erase) {
        std::string text;
        bool ok = session.Verdict(text);
        std::fprintf(out, "Simulated device: %s\n%s",
                     ok ? "every payload received intact" : "MISMATCH", text.c_str());
        if (!ok) {
            code = EXIT_DEVICE_ERROR;
            session.SetOutcome(code, "the simulated device did not receive the payloads intact");
        }
    }
    std::fflush(out);
    if (session.Options().json) {
        std::fputs(session.JsonReport().c_str(), stdout);
        std::fflush(stdout);
    }
    return code;
}
