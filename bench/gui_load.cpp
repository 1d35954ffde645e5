// The desktop window under load: a scan of an image of N small files
// (--finds, 20,000 by default), half of them pictures with thumbnails.
//
// Builds its input once (in --dir): distinct small PNG, JPEG and GIF pictures
// drawn here, and the small documents of tests/data repeated, back to back at
// 512-byte block starts with no file system, so the whole image is scanned.
// Then runs the real MainWindow in a process of its own (so that peak memory
// belongs to one measurement): drive row, Next, 所有文件, Scan, as a person
// clicks them; measured while the event loop runs: the longest gap between
// ticks of a 1 ms timer (the longest the window could not answer), its 99th
// percentile, peak RSS, when the scan ended and when its last find was
// listed.
//
//   lumarek-gui-bench [--dir DIR] [--finds N] [--repeat N] [--group all|documents]
//
// It prints the window's three goals and exits non-zero when one is missed:
// every find listed no later than 2 s after the scan ends, no gap over
// 100 ms, peak RSS at most 250 MiB.
// --group documents scans for documents only: their finds need no decoding
// and reach the window as fast as the scan makes them.
// Runs on the offscreen platform unless QT_QPA_PLATFORM says otherwise.
#include "lmtablewidget.h"
#include "mainwindow.h"
#include "recoverycategory.h"
#include "resulttablemodel.h"
#include "windowprompts.h"

#include "engine/recovery_engine.h"
#include "recovery/filevalidationthread.h"
#include "recovery/scansession.h"

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QIcon>
#include <QImage>
#include <QImageWriter>
#include <QLabel>
#include <QPainter>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QTreeView>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <sys/resource.h>
#include <time.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double msBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

// ---- process figures ---------------------------------------------------------

// A field of /proc/self/status in KiB (or a plain count), -1 when missing.
long statusField(const char *name) {
    FILE *f = fopen("/proc/self/status", "r");
    if (!f) return -1;
    char line[256];
    long v = -1;
    const size_t n = strlen(name);
    while (fgets(line, sizeof line, f))
        if (strncmp(line, name, n) == 0 && line[n] == ':') {
            v = atol(line + n + 1);
            break;
        }
    fclose(f);
    return v;
}

long maxRssKb() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

double threadCpuMs() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// A result line of a measuring process, read back by the parent.
void report(const char *key, double value) {
    printf("@%s %.6g\n", key, value);
    fflush(stdout);
}

// ---- the stall probe ---------------------------------------------------------

// A 1 ms timer on the GUI thread.  The gap between two of its ticks is how
// long the event loop was busy elsewhere: a click or a repaint asked for in
// that time waits as long.  The GUI thread's own CPU time over the worst gap
// tells the window's work from the machine's other threads taking the core.
class LoopProbe {
public:
    std::function<void(Clock::time_point)> onTick;

    void start() {
        timer.setTimerType(Qt::PreciseTimer);
        timer.setInterval(1);
        QObject::connect(&timer, &QTimer::timeout, [this] { tick(); });
        last = Clock::now();
        lastCpu = threadCpuMs();
        timer.start();
    }
    void stop() { timer.stop(); }

    double worstMs() const { return worst; }
    double worstCpuMs() const { return worstCpu; }
    Clock::time_point worstAt() const { return worstWhen; }
    double percentileMs(double p) const {
        if (gaps.empty()) return 0;
        std::vector<float> v = gaps;
        const size_t k = std::min(v.size() - 1, size_t(p / 100.0 * double(v.size())));
        std::nth_element(v.begin(), v.begin() + long(k), v.end());
        return v[k];
    }
    int peakThreads() const { return threads; }
    long peakRssKb() const { return rss; }

private:
    void tick() {
        const Clock::time_point now = Clock::now();
        const double cpu = threadCpuMs();
        const double gap = msBetween(last, now);
        gaps.push_back(float(gap));
        if (gap > worst) {
            worst = gap;
            worstCpu = cpu - lastCpu;
            worstWhen = now;
        }
        if (++ticks % 16 == 0) {
            threads = std::max<int>(threads, int(statusField("Threads")));
            rss = std::max(rss, statusField("VmRSS"));
        }
        if (onTick) onTick(now);
        // The probe's own work is not the loop's.
        last = Clock::now();
        lastCpu = threadCpuMs();
    }

    QTimer timer;
    Clock::time_point last, worstWhen;
    double lastCpu = 0, worst = 0, worstCpu = 0;
    std::vector<float> gaps;
    long ticks = 0, rss = 0;
    int threads = 0;
};

// ---- the input -----------------------------------------------------------------

// A small deterministic generator, so the same --finds gives the same image.
struct Rng {
    uint64_t x;
    explicit Rng(uint64_t seed) : x(seed * 0x9E3779B97F4A7C15ull + 1) {}
    uint32_t next() {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        return uint32_t(x >> 16);
    }
    int in(int lo, int hi) { return lo + int(next() % uint32_t(hi - lo + 1)); }
    QColor colour() { return QColor(in(0, 255), in(0, 255), in(0, 255)); }
};

// Picture `index`: flat or shaded ground, a few shapes, and the index itself
// as a row of marks, so no two pictures are alike.
QImage drawPicture(int index, int w, int h, bool shaded) {
    Rng rng(uint64_t(index) + 7);
    QImage img(w, h, QImage::Format_RGB32);
    QPainter p(&img);
    if (shaded) {
        QLinearGradient g(0, 0, w, h);
        g.setColorAt(0, rng.colour());
        g.setColorAt(1, rng.colour());
        p.fillRect(img.rect(), g);
    } else {
        img.fill(rng.colour());
    }
    p.setPen(Qt::NoPen);
    for (int i = rng.in(3, 6); i > 0; --i) {
        p.setBrush(rng.colour());
        const QRect r(rng.in(0, w - 8), rng.in(0, h - 8), rng.in(6, w / 2 + 6), rng.in(6, h / 2 + 6));
        if (rng.next() & 1)
            p.drawEllipse(r);
        else
            p.drawRect(r);
    }
    const int mark = std::max(2, w / 20);
    for (int bit = 0; bit < 16; ++bit) {
        p.setBrush((index >> bit) & 1 ? Qt::black : Qt::white);
        p.drawRect((bit % 8) * mark, h - (2 - bit / 8) * mark, mark, mark);
    }
    return img;
}

// GIF: Qt reads GIF but does not write it.  A 128-colour palette and an LZW
// stream of literal codes only, with a clear code often enough that the
// codes stay 8 bits wide; large, but every decoder reads it.
QByteArray encodeGif(const QImage &src) {
    const QImage img = src.convertToFormat(QImage::Format_RGB32);
    const int w = img.width(), h = img.height();
    QByteArray out("GIF89a");
    auto le16 = [&](int v) {
        out.append(char(v & 0xff));
        out.append(char((v >> 8) & 0xff));
    };
    le16(w);
    le16(h);
    out.append(char(0xF6));  // global table of 2^(6+1) colours, 7-bit resolution
    out.append(char(0));
    out.append(char(0));
    for (int i = 0; i < 128; ++i) {
        out.append(char(((i >> 5) & 3) * 85));
        out.append(char(((i >> 3) & 3) * 85));
        out.append(char((i & 7) * 36));
    }
    out.append(char(0x2C));
    le16(0);
    le16(0);
    le16(w);
    le16(h);
    out.append(char(0));
    out.append(char(7));  // LZW minimum code size
    const int clear = 128, end = 129;
    QByteArray codes;  // one byte per 8-bit code
    int sinceClear = 0;
    codes.append(char(clear));
    for (int y = 0; y < h; ++y) {
        const QRgb *line = reinterpret_cast<const QRgb *>(img.constScanLine(y));
        for (int x = 0; x < w; ++x) {
            if (sinceClear == 120) {
                codes.append(char(clear));
                sinceClear = 0;
            }
            const QRgb c = line[x];
            codes.append(char(((qRed(c) >> 6) << 5) | ((qGreen(c) >> 6) << 3) | (qBlue(c) >> 5)));
            ++sinceClear;
        }
    }
    codes.append(char(end));
    for (int at = 0; at < codes.size(); at += 255) {
        const int n = std::min(255, int(codes.size()) - at);
        out.append(char(n));
        out.append(codes.constData() + at, n);
    }
    out.append(char(0));
    out.append(char(0x3B));
    return out;
}

QByteArray encodePicture(int index, Rng &rng) {
    const int w = rng.in(40, 300), h = rng.in(40, 300);
    const int kind = index % 3;
    QImage img = drawPicture(index, w, h, kind == 1);
    if (kind == 2) return encodeGif(img);
    for (int words = 0;; words = words * 2 + 256) {
        // The scan passes over PNGs under 10 KiB (icons and the like); a
        // small picture gets there with a text chunk, as many photos carry.
        if (words) {
            QString text;
            for (int i = 0; i < words; ++i) text += QString::number(rng.next(), 36) + QLatin1Char(' ');
            img.setText(QStringLiteral("Description"), text);
        }
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter writer(&buffer, kind == 0 ? "png" : "jpg");
        if (kind == 1) writer.setQuality(80);
        if (!writer.write(img)) return QByteArray();
        if (kind == 1 || bytes.size() >= 10240 + 512) return bytes;
    }
}

struct Census {
    std::atomic<long> finds{0}, pictures{0};
};

void countFind(void *ctx, r_info *info) {
    auto *c = static_cast<Census *>(ctx);
    ++c->finds;
    const std::string s = info->suffix;
    if (s == "jpg" || s == "png" || s == "gif") ++c->pictures;
}
void ignoreProgress(void *, float) {}
void ignoreProceed(void *, unsigned long long, unsigned long long) {}

// The image of `finds` files (half pictures), built once and kept with a
// note of what a scan of it finds.  Returns false when it cannot be built or
// the scan does not find what was laid down.
bool buildInput(const QString &dir, int finds, QString *image, long *found, long *pictures) {
    QDir().mkpath(dir);
    *image = QStringLiteral("%1/gui-dense-%2.img").arg(dir).arg(finds);
    const QString note = *image + QStringLiteral(".finds");
    QFile noted(note);
    if (QFileInfo::exists(*image) && noted.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> v = noted.readAll().split(' ');
        if (v.size() == 3 && v[2].toLongLong() == QFileInfo(*image).size()) {
            *found = v[0].toLong();
            *pictures = v[1].toLong();
            return true;
        }
    }

    std::vector<QByteArray> documents;
    // Mostly PDFs of 7-11 KB, now and then a Word document.
    for (const char *name : {"document/gs_lf.pdf", "document/gs_cr.pdf", "document/gs_crlf.pdf",
                             "document/linearized_lf.pdf", "document/linearized_cr.pdf",
                             "document/one_update_lf.pdf", "document/two_updates_lf.pdf", "document/gs_lf.pdf",
                             "document/gs_cr.pdf", "document/gs_crlf.pdf", "document/linearized_lf.pdf",
                             "document/linearized_cr.pdf", "document/one_update_lf.pdf",
                             "document/two_updates_lf.pdf", "document/gs_lf.pdf",
                             "archive/docx_lo_repacked_ct_first.docx"}) {
        QFile f(QStringLiteral(LUMAREK_SOURCE_DIR "/tests/data/") + QLatin1String(name));
        if (!f.open(QIODevice::ReadOnly)) {
            fprintf(stderr, "missing sample %s\n", name);
            return false;
        }
        documents.push_back(f.readAll());
    }
    QFile out(*image + QStringLiteral(".part"));
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    Rng rng(finds);
    const QByteArray zeros(512, '\0');
    for (int i = 0; i < finds; ++i) {
        const QByteArray bytes = i % 2 ? documents[size_t(i / 2) % documents.size()] : encodePicture(i / 2, rng);
        if (bytes.isEmpty() || out.write(bytes) != bytes.size()) return false;
        const int pad = int((512 - out.pos() % 512) % 512);
        if (out.write(zeros.constData(), pad) != pad) return false;
    }
    // Room after the last file, as on a card.
    if (out.write(QByteArray(1 << 20, '\0')) != (1 << 20) || !out.flush()) return false;
    out.close();

    // What the engine finds in it with the window's "all" group.
    Census census;
    FILE *devnull = fopen("/dev/null", "w");
    set_diagnostic_output(devnull);
    set_callbacks(&census, countFind, ignoreProgress, ignoreProceed);
    skip_exist = 0;
    is_formated = 1;
    const QByteArray path = QFile::encodeName(out.fileName());
    start_recovery2(path.constData(),
                    "jpg,png,gif,docx,pptx,xlsx,doc,ppt,xls,pdf,mp4,avi,mov,3gp,mp3,amr,wav,apk,exe,zip,rar,gzip", "",
                    0);
    set_callbacks(nullptr, nullptr, nullptr, nullptr);
    set_diagnostic_output(nullptr);
    fclose(devnull);
    *found = census.finds;
    *pictures = census.pictures;
    if (*found < finds || *pictures < finds / 2) {
        fprintf(stderr, "the scan of %s finds %ld files, %ld pictures; %d and %d were laid down\n",
                qPrintable(out.fileName()), *found, *pictures, finds, (finds + 1) / 2);
        return false;
    }
    QFile::remove(*image);
    if (!QFile::rename(out.fileName(), *image)) return false;
    if (!noted.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    noted.write(QStringLiteral("%1 %2 %3").arg(*found).arg(*pictures).arg(QFileInfo(*image).size()).toUtf8());
    return true;
}

// ---- measuring processes ------------------------------------------------------

struct SilentPrompts : WindowPrompts {
    QStringList said;
    void message(const QString &text) override { said << text; }
    bool confirm(QWidget *, const QString &) override { return false; }
    QString chooseFolder(QWidget *, const QString &, const QString &) override { return QString(); }
    void openFolder(const QUrl &) override {}
};

template <typename T>
T *widget(QWidget *w, const char *name) {
    T *c = w->findChild<T *>(QString::fromLatin1(name));
    if (!c) {
        fprintf(stderr, "the window has no %s\n", name);
        exit(1);
    }
    return c;
}

int measureWindow(const QString &image, const QString &radio, int timeoutSec) {
    SilentPrompts prompts;
    MainWindow w(nullptr, {image});
    w.setPrompts(&prompts);
    w.show();
    if (!QTest::qWaitForWindowExposed(&w)) return 1;

    auto *drives = widget<QTreeView>(&w, "driveTreeView");
    QModelIndex row;
    for (int r = 0; r < drives->model()->rowCount(); ++r)
        if (drives->model()->index(r, 0).data().toString() == QFileInfo(image).fileName())
            row = drives->model()->index(r, 0);
    if (!row.isValid()) {
        fprintf(stderr, "%s is not in the drive list\n", qPrintable(image));
        return 1;
    }
    drives->scrollTo(row);
    QTest::mouseClick(drives->viewport(), Qt::LeftButton, Qt::NoModifier, drives->visualRect(row).center());
    QTest::mouseClick(widget<QPushButton>(&w, "nextBtn"), Qt::LeftButton);
    QTest::mouseClick(widget<QRadioButton>(&w, qPrintable(radio)), Qt::LeftButton, Qt::NoModifier, QPoint(5, 10));
    QWidget *startBtn = widget<QWidget>(&w, "startBtn");
    QTest::qWait(200);

    auto rows = [&w] {
        int n = 0;
        for (int k = 0; k < 5; ++k) n += w.category(k)->getTable()->model()->rowCount();
        return n;
    };
    const long rssBefore = statusField("VmRSS");
    QEventLoop loop;
    LoopProbe probe;
    Clock::time_point t0, ended, engineEnded, firstRow, lastRow, lastThumb;
    bool scanEnded = false, timedOut = false, engineDone = false;
    // The scan's own end: every find made and handed over, some perhaps
    // still to be listed.
    QObject::connect(w.session(), &ScanSession::scanEnded, [&] {
        engineDone = true;
        engineEnded = Clock::now();
    });
    int listed = 0, pending = 0, maxPending = 0;
    probe.onTick = [&](Clock::time_point now) {
        const int n = rows();
        if (n != listed) {
            if (listed == 0) firstRow = now;
            listed = n;
            lastRow = now;
        }
        const int p = w.thumbnailsPending();
        if (p < pending) lastThumb = now;
        pending = p;
        maxPending = std::max(maxPending, p);
        if (!scanEnded && !startBtn->isHidden() && w.liveScans() == 0) {
            scanEnded = true;
            ended = now;
        }
        // Done when the scan has ended, its validation thread has reported
        // everything, and every thumbnail is in.
        if (scanEnded && FileValidationThread::liveCount() == 0 && pending == 0 && msBetween(lastRow, now) > 500)
            loop.quit();
        if (msBetween(t0, now) > timeoutSec * 1000.0) {
            timedOut = true;
            loop.quit();
        }
    };
    probe.start();
    t0 = Clock::now();
    QTest::mouseClick(widget<QPushButton>(&w, "scanBtn"), Qt::LeftButton);
    loop.exec();
    probe.stop();
    if (timedOut) fprintf(stderr, "the window did not finish within %d s\n", timeoutSec);

    const Clock::time_point never{};
    report("scan_s", engineDone ? msBetween(t0, engineEnded) / 1e3 : -1);
    report("end_shown_s", scanEnded ? msBetween(t0, ended) / 1e3 : -1);
    // The last find listed after the scan's end (0 when all were listed by
    // then).
    report("after_end_s", engineDone && listed ? std::max(0.0, msBetween(engineEnded, lastRow) / 1e3) : -1);
    report("listed_s", listed ? msBetween(t0, lastRow) / 1e3 : -1);
    report("first_row_ms", listed ? msBetween(t0, firstRow) : -1);
    // Negative when the last find listed was not a picture and its
    // predecessors' thumbnails were all in by then.
    report("thumb_after_last_find_ms", lastThumb != never && listed ? msBetween(lastRow, lastThumb) : 0);
    report("stall_ms", probe.worstMs());
    report("stall_cpu_ms", probe.worstCpuMs());
    report("stall_at_s", msBetween(t0, probe.worstAt()) / 1e3);
    report("p99_ms", probe.percentileMs(99));
    report("p999_ms", probe.percentileMs(99.9));
    report("rows", listed);
    for (int k = 0; k < 5; ++k)
        report(("rows" + std::to_string(k)).c_str(), w.category(k)->getTable()->model()->rowCount());
    report("max_pending", maxPending);
    report("rss_before_kb", rssBefore);
    report("rss_end_kb", statusField("VmRSS"));
    report("hwm_kb", statusField("VmHWM"));
    report("maxrss_kb", maxRssKb());
    report("threads", probe.peakThreads());
    report("timed_out", timedOut);
    return timedOut ? 1 : 0;
}

// ---- the parent: runs the measurements and prints the tables -------------------

using Figures = std::map<std::string, double>;

bool runChild(const QStringList &args, Figures *out) {
    QProcess p;
    p.setProcessChannelMode(QProcess::SeparateChannels);
    p.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
    p.start(QCoreApplication::applicationFilePath(), args);
    if (!p.waitForFinished(-1)) return false;
    const QByteArray err = p.readAllStandardError();
    for (const QByteArray &line : p.readAllStandardOutput().split('\n')) {
        if (!line.startsWith('@')) continue;  // the window's own progress lines
        const int space = line.indexOf(' ');
        (*out)[line.mid(1, space - 1).toStdString()] = line.mid(space + 1).toDouble();
    }
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        fprintf(stderr, "%s %s failed:\n%s\n", qPrintable(args.join(' ')),
                p.exitStatus() == QProcess::NormalExit ? "" : "(crashed)", err.constData());
        return false;
    }
    return true;
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The median over runs of one figure.
double med(const std::vector<Figures> &runs, const char *key) {
    std::vector<double> v;
    for (const Figures &f : runs) v.push_back(f.count(key) ? f.at(key) : 0);
    return median(v);
}

double mib(double kb) { return kb / 1024.0; }

void printWindow(const char *label, const Figures &f) {
    printf("%-10s %8.1f %9.1f %9.2f %8.0f %6.0f %7.1f %7.1f %7.1f %9.0f %8.0f %7.0f %7.0f\n", label, f.at("scan_s"),
           f.at("listed_s"), f.at("after_end_s"), f.at("thumb_after_last_find_ms"), f.at("max_pending"),
           f.at("stall_ms"), f.at("stall_cpu_ms"), f.at("p99_ms"), mib(f.at("maxrss_kb")),
           mib(f.at("rss_end_kb") - f.at("rss_before_kb")), f.at("rows"), f.at("rows0"));
    fflush(stdout);
}

// The window's goals, whatever the number of finds.
constexpr double kListedAfterEndGoalS = 2.0;
constexpr double kStallGoalMs = 100.0;
constexpr double kPeakRssGoalMiB = 250.0;

}  // namespace

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    QString dir = QStringLiteral("bench-data"), child, image, group = QStringLiteral("all");
    int finds = 20000, repeat = 1, timeout = 900;
    const QStringList args = QCoreApplication::arguments();
    for (int i = 1; i < args.size(); ++i) {
        const QString a = args.at(i);
        auto value = [&]() { return i + 1 < args.size() ? args.at(++i) : QString(); };
        if (a == QLatin1String("--dir")) dir = value();
        else if (a == QLatin1String("--finds")) finds = std::max(100, value().toInt());
        else if (a == QLatin1String("--repeat")) repeat = std::max(1, value().toInt());
        else if (a == QLatin1String("--timeout")) timeout = std::max(10, value().toInt());
        else if (a == QLatin1String("--child")) child = value();
        else if (a == QLatin1String("--image")) image = value();
        else if (a == QLatin1String("--group")) group = value();
        else {
            fprintf(stderr, "usage: %s [--dir DIR] [--finds N] [--repeat N] [--group all|documents] [--timeout S]\n",
                    argv[0]);
            return 2;
        }
    }

    // The file group the window is asked for: everything, or only the
    // documents, whose finds need no decoding and so reach the window as
    // fast as the scan makes them.
    const QString radio = group == QLatin1String("documents") ? QStringLiteral("radioDocument") : QStringLiteral("radioAll");
    if (child == QLatin1String("window")) return measureWindow(image, radio, timeout);
    if (!child.isEmpty()) return 2;

    long found = 0, pictures = 0;
    if (!buildInput(dir, finds, &image, &found, &pictures)) {
        fprintf(stderr, "cannot build the input in %s\n", qPrintable(dir));
        return 1;
    }
    printf("window: %s, %.0f MiB, the engine finds %ld files, %ld pictures; group %s\n", qPrintable(image),
           double(QFileInfo(image).size()) / 1048576.0, found, pictures, qPrintable(group));
    const long expected = group == QLatin1String("documents") ? found - pictures : found;
    printf("%-10s %8s %9s %9s %8s %6s %7s %7s %7s %9s %8s %7s %7s\n", "run", "scan s", "listed s", "after end",
           "thumb ms", "queue", "stall", "(cpu)", "p99", "peak MiB", "+RSS MiB", "rows", "pics");
    std::vector<Figures> runs;
    bool ok = true;
    for (int r = 0; r < repeat; ++r) {
        Figures f;
        if (!runChild({QStringLiteral("--child"), QStringLiteral("window"), QStringLiteral("--image"), image,
                       QStringLiteral("--group"), group, QStringLiteral("--timeout"), QString::number(timeout)},
                      &f)) {
            ok = false;
            break;
        }
        printWindow(qPrintable(QStringLiteral("#%1").arg(r + 1)), f);
        if (f.at("rows") < expected) {
            fprintf(stderr, "the window listed %.0f of %ld finds\n", f.at("rows"), expected);
            ok = false;
        }
        runs.push_back(f);
    }
    if (runs.empty()) return 1;
    Figures m;
    for (const char *k : {"scan_s", "listed_s", "after_end_s", "thumb_after_last_find_ms", "max_pending", "stall_ms",
                          "stall_cpu_ms", "p99_ms", "maxrss_kb", "rss_end_kb", "rss_before_kb", "rows", "rows0"})
        m[k] = med(runs, k);
    if (runs.size() > 2) {
        Figures shown = m;
        shown["rss_end_kb"] = m["rss_end_kb"] - m["rss_before_kb"], shown["rss_before_kb"] = 0;
        printWindow("median", shown);
    }
    printf("           scan: the scan's end; listed: the last find listed; after end: the one after the other;\n"
           "           stall: longest gap between ticks of a 1 ms timer (GUI thread CPU in it), p99 of the gaps, ms;\n"
           "           thumb: last thumbnail shown after the last row listed; queue: most thumbnails waiting\n\n");

    // The goals, on the median of the runs.
    const double afterEnd = m["after_end_s"], stall = m["stall_ms"], peak = mib(m["maxrss_kb"]);
    const bool listedInTime = afterEnd >= 0 && afterEnd <= kListedAfterEndGoalS;
    const bool answered = stall <= kStallGoalMs;
    const bool small = peak <= kPeakRssGoalMiB;
    printf("every find listed %.2f s after the scan's end (goal <= %.0f s): %s\n", afterEnd, kListedAfterEndGoalS,
           listedInTime ? "met" : "MISSED");
    printf("longest event-loop stall %.1f ms (goal <= %.0f ms): %s\n", stall, kStallGoalMs, answered ? "met" : "MISSED");
    printf("peak RSS %.0f MiB (goal <= %.0f MiB): %s\n", peak, kPeakRssGoalMiB, small ? "met" : "MISSED");
    return ok && listedInTime && answered && small ? 0 : 1;
}
