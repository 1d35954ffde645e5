#include "progress_line.h"

#include "recovery/suffixutils.h"

#include <QString>

#include <cstdio>

namespace {

QString duration(double seconds) {
    if (seconds < 0 || seconds > 99.0 * 3600) return QStringLiteral("--:--");
    qint64 s = qint64(seconds + 0.5);
    if (s >= 3600) return QStringLiteral("%1:%2:%3").arg(s / 3600).arg(s / 60 % 60, 2, 10, QLatin1Char('0')).arg(s % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

}  // namespace

ProgressLine::ProgressLine(bool shown) : enabled(shown) { clock.start(); }

void ProgressLine::start() {
    clock.restart();
    lastDraw = -1;
}

void ProgressLine::update(quint64 processed, quint64 total, int found) {
    if (!enabled) return;
    const qint64 now = clock.elapsed();
    if (lastDraw >= 0 && now - lastDraw < 200 && processed != total) return;
    lastDraw = now;
    const double seconds = now / 1000.0;
    const double rate = seconds > 0 ? double(processed) / seconds : 0;  // bytes per second
    const double percent = total ? 100.0 * double(processed) / double(total) : 0;
    const double eta = rate > 0 && total >= processed ? double(total - processed) / rate : -1;
    const QString line = QStringLiteral("%1%  %2 of %3  %4 found  %5 MB/s  ETA %6")
                             .arg(percent, 5, 'f', 1)
                             .arg(Utils::formatSize(qint64(processed)), Utils::formatSize(qint64(total)))
                             .arg(found)
                             .arg(rate / (1024.0 * 1024.0), 0, 'f', 1)
                             .arg(duration(eta));
    fprintf(stderr, "\r%s\033[K", qPrintable(line));
    fflush(stderr);
    drawn = true;
}

void ProgressLine::erase() {
    if (!drawn) return;
    fputs("\r\033[K", stderr);
    fflush(stderr);
    drawn = false;
}
