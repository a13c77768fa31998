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

#include "app/ViewState.h"

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

// A face on a CUiLoop that is told of every change in order (the terminal face and the tests
// build on it).
class CLoopWindow : public CViewState {
public:
    explicit CLoopWindow(CUiLoop& loop);
    ~CLoopWindow() override;

    CUiLoop& Loop() { return m_loop; }

protected:
    bool OnUiThread() const override { return m_loop.IsLoopThread(); }
    void Post(std::function<void()> fn) override { m_loop.Post(std::move(fn)); }
    bool StartNativeTimer(uint32_t id, uint32_t ms) override {
        m_loop.SetTimer(id, ms);
        return true;
    }
    void StopNativeTimer(uint32_t id) override { m_loop.KillTimer(id); }
    // The loop's timers take calls from any thread, and a timer restarted for every frame sent
    // must not cost a posted call each.
    bool TimersFromAnyThread() const override { return true; }

public:
    // Nobody is asked: the box is shown as a line and the page goes on at once, on its own thread.
    void MessageBoxModal(const std::string& text, const std::string& caption,
                         std::function<void()> onClosed) override {
        MessageBox(text, caption);
        if (onClosed) onClosed();
    }

protected:
    void ShowBox(const std::string& text, const std::string& caption,
                 std::function<void()> onClosed) override;
    virtual void OnMessageBox(const std::string& /*text*/, const std::string& /*caption*/) {}

    CUiLoop& m_loop;
};
