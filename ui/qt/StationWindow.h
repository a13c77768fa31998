// The station window: one row per device run with its port, adapter serial number, payload in
// progress, progress bar, elapsed time and outcome; closing it ends every child cleanly.
#pragma once

#include <QWidget>
#include <map>

#include "ui/station/Station.h"

class QLabel;
class QProgressBar;
class QTableWidget;
class QTimer;

class CStationWindow : public QWidget {
    Q_OBJECT
public:
    // The station must be started; the window only reads its rows and ends it at close.
    explicit CStationWindow(CStation* station, const QString& summary, QWidget* parent = nullptr);

    // Reads the station's rows into the table (the timer does it every 200 ms).
    void Refresh();
    QTableWidget* Table() const { return m_pTable; }

signals:
    void finished();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    CStation* m_pStation;
    QLabel* m_pSummary;
    QTableWidget* m_pTable;
    QTimer* m_pTimer;
    std::map<int, QProgressBar*> m_bars;  // by row id
    bool m_bStopped = false;
};
