// How long the user-interface thread is kept from the window, on the Qt window (offscreen): the
// first paint after start with 50 ports of which the first takes 5 s to open, and the UI thread's
// longest stall during a run that times out, a run whose cable is pulled and a run whose window is
// closed midway. A 1 ms timer on the UI thread measures the stalls: the longest gap between its
// ticks, less its period. The device is the simulated one on a pseudo-terminal; the slow port is
// a pseudo-terminal whose open the serial layer's test seam holds back.
//
//   kalvo-bench-window
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "app/KalvoDlg.h"
#include "platform/Time.h"
#include "serial/PortTable.h"
#include "serial/Serial.h"
#include "sim/Device.h"
#include "ui/Session.h"
#include "ui/qt/MainPage.h"

namespace {

// Notes the first paint of a widget.
class CPaintSpy : public QObject {
public:
    bool eventFilter(QObject* o, QEvent* e) override {
        if (e->type() == QEvent::Paint && !painted) {
            painted = true;
            ms = clock.nsecsElapsed() / 1e6;
        }
        return QObject::eventFilter(o, e);
    }
    QElapsedTimer clock;
    bool painted = false;
    double ms = 0;
};

// The longest gap between the ticks of a 1 ms timer on the UI thread, less the period.
class CStallMeter {
public:
    CStallMeter() {
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            double now = m_clock.nsecsElapsed() / 1e6;
            if (m_last >= 0) m_longest = std::max(m_longest, now - m_last - 1.0);
            m_last = now;
        });
        m_clock.start();
        m_timer.start(1);
    }
    double Longest() const { return m_longest; }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    double m_last = -1, m_longest = 0;
};

bool RunUntil(const std::function<bool()>& pred, int ms) {
    QElapsedTimer clock;
    clock.start();
    while (!pred() && clock.elapsed() < ms) QTest::qWait(1);
    return pred();
}

struct CPty {
    CPty() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0)
            path = ::ptsname(master);
    }
    ~CPty() {
        if (master >= 0) ::close(master);
    }
    int master = -1;
    std::string path;
};

PageConfig Config(const std::string& dir) {
    return PageConfig{.payloadDir = dir, .logPath = dir + "/KalvoLog.txt"};
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    char tmpl[] = "/tmp/kalvo-bench-window-XXXXXX";
    const char* dirp = ::mkdtemp(tmpl);
    if (dirp == nullptr) return 1;
    std::string dir = dirp, error;
    if (!WriteSamplePayloads(dir, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }

    // Start: 50 ports, the first blocks 5 s on open, the device is the last.
    CPty slow;
    serialports::SetOpenSeam([path = slow.path](const std::string& p) {
        if (p == path) std::this_thread::sleep_for(std::chrono::seconds(5));
    });
    double paint = 0, found = 0, startStall = 0;
    {
        sim::CDevice dev{sim::Options{}};
        std::string port;
        if (!dev.CreatePty(&port) || !dev.Start()) return 1;
        std::vector<std::string> table{slow.path};
        for (int i = 2; i < 50; ++i) table.push_back("/nonexistent/kalvo-tty" + std::to_string(i));
        table.push_back(port);
        serialports::SetPortTable(table);
        CStallMeter meter;
        CPaintSpy spy;
        spy.clock.start();
        auto window = std::make_unique<CMainPage>(nullptr, Config(dir));
        window->View()->installEventFilter(&spy);
        window->show();
        if (!RunUntil([&] { return spy.painted; }, 20000)) return 1;
        paint = spy.ms;
        if (!RunUntil([&] { return window->View()->UpdateButton()->isEnabled(); }, 20000)) return 1;
        found = spy.clock.nsecsElapsed() / 1e6;
        window->close();
        RunUntil([] { return false; }, 50);
        startStall = meter.Longest();
        dev.Stop();
    }
    serialports::SetOpenSeam({});

    // A time-out, a pulled cable and a close, each during a run.
    const char* names[3] = {"a time-out, then a close", "a pulled cable, then a close",
                            "a close during the run"};
    double stalls[3] = {0, 0, 0};
    for (int i = 0; i < 3; ++i) {
        sim::Options o;
        if (i == 0) o.faults.silenceAfter = 8;
        if (i == 1) o.faults.hangupAfter = 8;
        sim::CDevice dev(o);
        std::string port;
        if (!dev.CreatePty(&port) || !dev.Start()) return 1;
        serialports::SetPortTable({port});
        auto window = std::make_unique<CMainPage>(nullptr, Config(dir));
        window->show();
        QPushButton* button = window->View()->UpdateButton();
        if (!RunUntil([&] { return button->isEnabled(); }, 20000)) return 1;
        CStallMeter meter;
        button->click();
        bool reached = false;
        auto status = [&] { return window->Page()->Status().GetText(); };
        if (i == 0) reached = RunUntil([&] { return status().find("Тайм-аут") == 0; }, 30000);
        if (i == 1) reached = RunUntil([&] { return status().find("串口") == 0; }, 30000);
        if (i == 2) reached = RunUntil([&] { return dev.GetReport().fwFrames > 20; }, 30000);
        if (!reached) {
            std::fprintf(stderr, "the run with %s did not get there\n", names[i]);
            return 1;
        }
        RunUntil([] { return false; }, 300);
        window->close();
        RunUntil([] { return false; }, 50);
        stalls[i] = meter.Longest();
        window.reset();
        dev.Stop();
    }
    std::printf(
        "first paint, 50 ports, the first 5 s to open: %.1f ms (device found after %.1f ms)\n",
        paint, found);
    std::printf("longest UI-thread stall from start to the device found and a close: %.1f ms\n",
                startStall);
    for (int i = 0; i < 3; ++i)
        std::printf("longest UI-thread stall, run with %s: %.1f ms\n", names[i], stalls[i]);
    std::string cmd = "rm -rf '" + dir + "'";
    if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "%s: not removed\n", dir.c_str());
    return 0;
}
