// A window system on a UI loop that records what the page shows and reports; stretch lengthens
// the page's timers (a test may speed the pauses up more than the reply timer).
#pragma once

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "app/UiLoop.h"

class CRecordingWindow : public CLoopWindow {
public:
    explicit CRecordingWindow(CUiLoop& loop, double stretch = 1.0)
        : CLoopWindow(loop), m_stretch(stretch) {}

    void SetTimer(uint32_t id, uint32_t ms) override {
        CLoopWindow::SetTimer(id, static_cast<uint32_t>(ms * m_stretch));
    }
    void ShowStatusText(const std::string& text) override {
        Record([&] { m_texts.push_back(text); });
        CLoopWindow::ShowStatusText(text);
    }
    void SetProgressPos(int pos) override {
        Record([&] { m_positions.push_back(pos); });
        CLoopWindow::SetProgressPos(pos);
    }
    void MessageBox(const std::string& text, const std::string& caption) override {
        Record([&] { m_boxes.push_back(caption + ": " + text); });
    }
    void OnPageEvent(PageEvent event, const std::string&) override {
        Record([&] { m_events.push_back(event); });
    }

    bool Saw(PageEvent e) {
        std::lock_guard<std::mutex> lock(m_mtx);
        return std::find(m_events.begin(), m_events.end(), e) != m_events.end();
    }
    bool ShowedText(const std::string& t) {
        std::lock_guard<std::mutex> lock(m_mtx);
        return std::find(m_texts.begin(), m_texts.end(), t) != m_texts.end();
    }
    // The first event that ends a run; ProbeAnswered while none has come.
    PageEvent Outcome() {
        std::lock_guard<std::mutex> lock(m_mtx);
        for (PageEvent e : m_events)
            if (e != PageEvent::ProbeAnswered && e != PageEvent::VersionWarning) return e;
        return PageEvent::ProbeAnswered;
    }
    void ForgetEvents() {
        Record([&] { m_events.clear(); });
    }
    std::vector<int> Positions() { return Copy(m_positions); }
    std::vector<std::string> Boxes() { return Copy(m_boxes); }

private:
    template <class F>
    void Record(F f) {
        std::lock_guard<std::mutex> lock(m_mtx);
        f();
    }
    template <class T>
    std::vector<T> Copy(const std::vector<T>& v) {
        std::lock_guard<std::mutex> lock(m_mtx);
        return v;
    }

    double m_stretch;
    std::mutex m_mtx;
    std::vector<std::string> m_texts;
    std::vector<int> m_positions;
    std::vector<std::string> m_boxes;
    std::vector<PageEvent> m_events;
};
