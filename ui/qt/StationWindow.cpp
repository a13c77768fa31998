// The station window on Qt, and the station's window face.
#include "ui/qt/StationWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include "core/Version.h"
#include "platform/Spawn.h"
#include "platform/Time.h"
#include "ui/qt/MainPage.h"
#include "ui/station/StationFace.h"

namespace {

enum Column { COL_PORT, COL_SERIAL, COL_PAYLOAD, COL_PROGRESS, COL_TIME, COL_OUTCOME, COLS };

QString Q(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<int>(s.size()));
}

}  // namespace

CStationWindow::CStationWindow(CStation* station, const QString& summary, QWidget* parent)
    : QWidget(parent), m_pStation(station) {
    setWindowTitle(QStringLiteral("Zorvik Tool v0.2 — station"));
    auto* layout = new QVBoxLayout(this);
    m_pSummary = new QLabel(summary, this);
    m_pSummary->setWordWrap(true);
    m_pTable = new QTableWidget(0, COLS, this);
    m_pTable->setHorizontalHeaderLabels({QStringLiteral("Port"), QStringLiteral("Adapter serial"),
                                         QStringLiteral("Payload"), QStringLiteral("Progress"),
                                         QStringLiteral("Time"), QStringLiteral("Outcome")});
    m_pTable->verticalHeader()->setVisible(false);
    m_pTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_pTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_pTable->horizontalHeader()->setSectionResizeMode(COL_OUTCOME, QHeaderView::Stretch);
    m_pTable->setColumnWidth(COL_PORT, 120);
    m_pTable->setColumnWidth(COL_SERIAL, 110);
    m_pTable->setColumnWidth(COL_PAYLOAD, 120);
    m_pTable->setColumnWidth(COL_PROGRESS, 140);
    m_pTable->setColumnWidth(COL_TIME, 60);
    layout->addWidget(m_pSummary);
    layout->addWidget(m_pTable);
    resize(900, 220);
    m_pTimer = new QTimer(this);
    connect(m_pTimer, &QTimer::timeout, this, [this] {
        // Ctrl-C in the terminal the window was started from ends it as its close does.
        if (plat::StopSignal() != 0 && !m_bStopped) {
            m_bStopped = true;
            m_pStation->Stop(plat::StopSignal());
        }
        Refresh();
        if (m_pStation->Finished()) {
            m_pTimer->stop();
            emit finished();
        }
    });
    m_pTimer->start(200);
}

void CStationWindow::Refresh() {
    std::vector<StationRow> rows = m_pStation->Rows();
    uint32_t now = plat::GetTickCount();
    if (m_pTable->rowCount() != static_cast<int>(rows.size()))
        m_pTable->setRowCount(static_cast<int>(rows.size()));
    for (size_t i = 0; i < rows.size(); ++i) {
        const StationRow& r = rows[i];
        int row = static_cast<int>(i);
        auto set = [&](int col, const std::string& text) {
            QTableWidgetItem* item = m_pTable->item(row, col);
            if (item == nullptr) {
                item = new QTableWidgetItem;
                m_pTable->setItem(row, col, item);
            }
            if (item->text() != Q(text)) item->setText(Q(text));
            // A run that did not succeed stands out.
            if (!r.running && r.exitCode != 0) item->setForeground(QColor(0xB0, 0x00, 0x20));
        };
        set(COL_PORT, r.port);
        set(COL_SERIAL, r.serial.empty() ? "-" : r.serial);
        set(COL_PAYLOAD, StationPayloadCell(r));
        set(COL_TIME, StationElapsedCell(r, now));
        set(COL_OUTCOME, StationOutcomeCell(r));
        QProgressBar*& bar = m_bars[r.id];
        if (bar == nullptr || m_pTable->cellWidget(row, COL_PROGRESS) != bar) {
            bar = new QProgressBar;
            bar->setRange(0, 100);
            m_pTable->setCellWidget(row, COL_PROGRESS, bar);
        }
        bar->setValue(r.payload < 0 ? 0 : r.percent);
    }
}

void CStationWindow::closeEvent(QCloseEvent* event) {
    if (!m_bStopped) {
        m_bStopped = true;
        // Every child still at work is ended; its row says so before the window goes.
        m_pStation->Stop(0);
        Refresh();
    }
    event->accept();
}

int RunStationWindow(const UpdaterOptions& opts, int argc, char** argv) {
    StationConfig cfg;
    int code = 0;
    if (!MakeStationConfigOrSay(opts, cfg, code)) return code;
    std::string error;
    int qtArgc = argc;
    QApplication app(qtArgc, argv);
    QApplication::setApplicationName(QStringLiteral("kalvo-updater"));
    QApplication::setApplicationVersion(QLatin1String(KALVO_VERSION));
    QApplication::setWindowIcon(KalvoIcon());
    plat::CatchStopSignals();
    CStation station(cfg);
    if (!station.Start(error)) {
        std::fprintf(stderr, "kalvo-updater: %s\n", error.c_str());
        return EXIT_USAGE;
    }
    CStationWindow window(&station,
                          QStringLiteral("Payloads from %1; each device run is recorded in %2.")
                              .arg(Q(cfg.payloadDir), Q(cfg.recordPath)));
    // --once, or a stop signal: the window closes by itself when every device has ended.
    QObject::connect(&window, &CStationWindow::finished, &app, &QApplication::quit);
    window.show();
    app.exec();
    station.Stop(0);
    return station.ExitCode();
}
