// Running Qt's event loop in a test until something holds.
#pragma once

#include <QElapsedTimer>
#include <QTest>
#include <functional>

// Polls every stepMs while the loop runs; the limit only keeps a broken build from hanging.
inline bool QtRunUntil(const std::function<bool()>& pred, int limitMs = 60000, int stepMs = 1) {
    QElapsedTimer clock;
    clock.start();
    while (!pred() && clock.elapsed() < limitMs) QTest::qWait(stepMs);
    return pred();
}
