// A UI thread of our own for the terminal face and the tests: posted calls and window timers with
// the semantics of SetTimer/KillTimer, run on whichever thread runs the loop.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "app/WindowSystem.h"

class CUiLoop {
public:
    void Post(std::function<void()> fn);
    void SetTimer(uint32_t id, uint32_t ms);
    void KillTimer(uint32_t id);
    bool IsTimerSet(uint32_t id) const;
    void SetTimerHandler(std::function<void(uint32_t)> fn);

    // Runs until Quit. Returns the exit code given to Quit.
    int Run();
    void Quit(int code);
    // Runs until pred() holds (checked after every event) or ms of program time have passed.
    bool RunUntil(const std::function<bool()>& pred, uint32_t ms);
    // Runs everything already due, without waiting.
    void RunPending();
    bool IsLoopThread() const;

private:
    using Clock = std::chrono::steady_clock;
    struct Timer {
        std::chrono::nanoseconds period;
        Clock::time_point due;
    };
    // Runs at most one event, waiting until deadline. False when nothing ran.
    bool RunOne(Clock::time_point deadline);

    mutable std::mutex m_mtx;
    std::condition_variable m_cv;
    std::deque<std::function<void()>> m_posted;
    std::map<uint32_t, Timer> m_timers;
    std::function<void(uint32_t)> m_onTimer;
    bool m_bQuit = false;
    int m_nExitCode = 0;
    std::thread::id m_loopThread;
};

// A window system on a CUiLoop that keeps what it is shown (the terminal face and the tests build
// on it).
class CLoopWindow : public IWindowSystem {
public:
    explicit CLoopWindow(CUiLoop& loop) : m_loop(loop) {}

    void ShowStatusText(const std::string& text) override;
    void SetProgressRange(int lo, int hi) override;
    void SetProgressPos(int pos) override;
    void EnableProgress(bool enable) override;
    void EnableUpdateButton(bool enable) override;
    void SetTimer(uint32_t id, uint32_t ms) override { m_loop.SetTimer(id, ms); }
    void KillTimer(uint32_t id) override { m_loop.KillTimer(id); }
    void SetTimerHandler(std::function<void(uint32_t)> fn) override {
        m_loop.SetTimerHandler(std::move(fn));
    }
    void MessageBox(const std::string& text, const std::string& caption) override;
    void PostToUi(std::function<void()> fn) override { m_loop.Post(std::move(fn)); }

    std::string StatusText() const;
    int ProgressPos() const;
    bool ButtonEnabled() const;
    CUiLoop& Loop() { return m_loop; }

protected:
    // Hooks for the faces, called on the UI thread after the state changed.
    virtual void OnStatusChanged(const std::string& /*text*/) {}
    virtual void OnProgressChanged(int /*pos*/) {}
    virtual void OnButtonChanged(bool /*enabled*/) {}
    virtual void OnMessageBox(const std::string& /*text*/, const std::string& /*caption*/) {}

    CUiLoop& m_loop;
    mutable std::mutex m_stateMtx;
    std::string m_strStatus;
    int m_nLo = 0, m_nHi = 100, m_nPos = 0;
    bool m_bProgressEnabled = true;
    bool m_bButton = false;
};
