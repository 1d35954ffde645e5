// The live progress line lumarek-carve draws on standard error: how far
// the scan is, how many finds, how fast, and how long it still takes.
#pragma once

#include <QElapsedTimer>
#include <QtGlobal>

class ProgressLine {
public:
    // `shown` false: nothing is ever drawn (standard error is no terminal).
    explicit ProgressLine(bool shown);
    // The rate and the time left count from here.
    void start();
    // Redraws the line, at most five times a second and at the end.
    void update(quint64 processed, quint64 total, int found);
    // Takes the line away, before a line of output or at the end.
    void erase();

private:
    bool enabled;
    bool drawn = false;
    QElapsedTimer clock;
    qint64 lastDraw = -1;
};
