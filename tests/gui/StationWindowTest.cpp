// The station window against three simulated devices, offscreen: a row per device with the
// page's words, and closing the window mid-run interrupts every child.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QProgressBar>
#include <QTableWidget>
#include <QTest>
#include <memory>

#include "app/PayloadTable.h"
#include "gui/QtWait.h"
#include "image/HexWriter.h"
#include "serial/PortTable.h"
#include "sim/Device.h"
#include "support/TestMain.h"
#include "ui/qt/StationWindow.h"

namespace {

bool WaitFor(const std::function<bool()>& pred) {
    return QtRunUntil(pred, 120000, 10);
}

class StationWindowTest : public testing::Test {
protected:
    void SetUp() override {
        dir.Write(kPayloads[PAYLOAD_FW].file,
                  WriteIntelHex(std::vector<uint8_t>(16 * 1024, 0x5A), 0x08000000, "0103"));
        dir.Write(kPayloads[PAYLOAD_RADAR].file, std::vector<uint8_t>(3000, 0xA5));
    }
    void TearDown() override {
        window.reset();
        station.reset();
        for (auto& d : devs) d->Stop();
        serialports::SetPortTable({});
    }
    void Open(bool lineRate, int hangupSecond) {
        for (int i = 0; i < 3; ++i) {
            sim::Options o;
            o.lineRate = lineRate;
            if (i == 1) o.faults.hangupAfter = hangupSecond;
            devs.push_back(std::make_unique<sim::CDevice>(o));
            ASSERT_TRUE(devs.back()->CreatePty(&ports.emplace_back()));
            ASSERT_TRUE(devs.back()->Start());
        }
        StationConfig cfg;
        cfg.ports = ports;
        cfg.payloadDir = dir.Path();
        cfg.recordPath = dir.File("record.csv");
        cfg.logDir = dir.File("logs");
        cfg.once = true;
        cfg.childCommand = {std::string(KALVO_BIN_DIR) + "/kalvo-station-child", "0.2"};
        cfg.childExtra = {"--wait", "60"};
        cfg.probeWaitMs = 2000;
        cfg.scanPeriodMs = 500;
        station = std::make_unique<CStation>(cfg);
        std::string error;
        ASSERT_TRUE(station->Start(error)) << error;
        window = std::make_unique<CStationWindow>(station.get(), QString());
        window->show();
    }
    // The row of a port: its outcome cell and its bar.
    int RowOf(const std::string& port) const {
        QTableWidget* t = window->Table();
        for (int r = 0; r < t->rowCount(); ++r)
            if (t->item(r, 0) != nullptr && t->item(r, 0)->text().toStdString() == port) return r;
        return -1;
    }
    std::string Outcome(int row) const {
        QTableWidgetItem* item = window->Table()->item(row, 5);
        return item ? item->text().toStdString() : "";
    }

    testsupport::TempDir dir;
    std::vector<std::unique_ptr<sim::CDevice>> devs;
    std::vector<std::string> ports;
    std::unique_ptr<CStation> station;
    std::unique_ptr<CStationWindow> window;
};

TEST_F(StationWindowTest, EachDeviceHasItsRowAndThePulledOneFailsAlone) {
    Open(false, 300);
    bool ended = false;
    QObject::connect(window.get(), &CStationWindow::finished, [&] { ended = true; });
    ASSERT_TRUE(WaitFor([&] { return ended; }));
    ASSERT_EQ(window->Table()->rowCount(), 3);
    for (int i : {0, 2}) {
        int row = RowOf(ports[i]);
        ASSERT_GE(row, 0);
        EXPECT_EQ(Outcome(row), TEXT_RUN_DONE_RADAR);
        auto* bar = qobject_cast<QProgressBar*>(window->Table()->cellWidget(row, 3));
        ASSERT_NE(bar, nullptr);
        EXPECT_EQ(bar->value(), 100);
        EXPECT_EQ(window->Table()->item(row, 2)->text().toStdString(),
                  kPayloads[PAYLOAD_RADAR].title);
    }
    EXPECT_EQ(Outcome(RowOf(ports[1])), "串口连接已断开，请检查连接! (exit code 2)");
}

TEST_F(StationWindowTest, ClosingTheWindowInterruptsEveryRun) {
    Open(true, -1);
    ASSERT_TRUE(WaitFor([&] {
        std::vector<StationRow> rows = station->Rows();
        return rows.size() == 3 && rows[0].percent > 0 && rows[1].percent > 0 &&
               rows[2].percent > 0;
    }));
    window->close();
    EXPECT_TRUE(station->Finished());
    for (int r = 0; r < 3; ++r) EXPECT_EQ(Outcome(r).rfind("interrupted", 0), 0u) << Outcome(r);
}

}  // namespace
