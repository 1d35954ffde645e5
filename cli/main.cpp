// lumarek-carve: carves deleted files out of a block device or a disk image.
//
//   lumarek-carve [options] INPUT
//
// Exit status: 0 done; 1 usage or setup error (an unknown file type, an
// output folder that cannot be written, the refusal to export onto the
// scanned device, a report or log aimed at the input, a device or the
// scanned storage); 2 the input cannot be opened or is not something with a
// size to scan (a folder, a character device); 3 some finds could not be
// exported; 4 output failed (the report, the log or standard output could
// not be written completely); 130 interrupted (what was found is kept).
#include "carve_session.h"
#include "dfxml_report.h"
#include "interrupts.h"
#include "output_guard.h"

#include "recovery/device.h"
#include "recovery/diskpartitions.h"
#include "recovery/filerecovery.h"
#include "recovery/suffixutils.h"
#include "recovery/volumecheck.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

enum ExitCode {
    ExitOk = 0,
    ExitUsage = 1,
    ExitCannotOpen = 2,
    ExitExportFailed = 3,
    ExitOutputFailed = 4,
    ExitInterrupted = 130
};

void fail(const QString &message) { fprintf(stderr, "lumarek-carve: %s\n", qPrintable(message)); }

// Where the engine's diagnostic lines go: --log FILE, standard error with
// --verbose, otherwise nowhere.  Qt's own warnings (a picture decoder
// complaining about a truncated find, for one) go with them, not among this
// program's messages.
FILE *diagnosticSink = nullptr;

void toDiagnostics(QtMsgType type, const QMessageLogContext &, const QString &message) {
    FILE *out = type == QtFatalMsg ? stderr : diagnosticSink;
    if (out) {
        fprintf(out, "%s\n", qPrintable(message));
        fflush(out);
    }
    if (type == QtFatalMsg) abort();
}

// A stream that takes every line and keeps none, for the engine when nobody
// asked for its lines.
FILE *discardingStream() {
    cookie_io_functions_t io{};
    io.write = [](void *, const char *, size_t n) -> ssize_t { return ssize_t(n); };
    return fopencookie(nullptr, "w", io);
}

const QLatin1String kTextType("txt");

// The --types value as the list the engine gets.  Each comma-separated word
// is a group (see groupHelp; "pictures" for images) or a type the engine
// searches for.  Other words go to `unknown`, so that a mistyped name does
// not quietly shrink the search; types that are searched for but never
// reported (exe, gzip) go to `neverFound`.
//
// The order of the list never changes what is found.  A list whose first
// type is txt switches the scan to text mode, which searches for nothing
// else: txt among other types therefore goes last, and only txt alone scans
// in text mode.
QStringList typesFor(const QString &value, QStringList *unknown, QStringList *neverFound) {
    QStringList names;
    for (const QString &part : value.toLower().split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        QString word = part.trimmed();
        if (word.isEmpty()) continue;
        if (word == QLatin1String("pictures")) word = QStringLiteral("images");
        const QStringList group = ScanGroups::members(word);
        if (!group.isEmpty()) {
            names << group;
        } else if (EngineControl::knowsType(word)) {
            names << word;
            if (!ScanGroups::findable(word) && word != QLatin1String("office")) *neverFound << word;
        } else {
            *unknown << QStringLiteral("\"%1\"").arg(word);
        }
    }
    names.removeDuplicates();
    neverFound->removeDuplicates();
    if (names.size() > 1 && names.removeAll(kTextType) > 0) names << kTextType;
    return names;
}

// The groups and their members for --help, from the list of file types.
QString groupHelp() {
    QString text = QStringLiteral("File types (-t): a group, or a comma-separated list of types and groups\n"
                                  "such as jpg,png,documents.\n");
    QStringList grouped;
    for (const QString &g : ScanGroups::names()) {
        QStringList members = ScanGroups::members(g);
        QString line;
        if (g == QLatin1String("all")) {
            for (const QString &m : grouped) members.removeAll(m);
            line = QStringLiteral("every type above, and %1 (the default)").arg(members.join(QLatin1Char(' ')));
        } else {
            line = members.join(QLatin1Char(' '));
            grouped << members;
        }
        text += QStringLiteral("  %1 %2\n").arg(g, -10).arg(line);
    }
    text += QStringLiteral(
        "The order of a list does not change what is found.  Among other types, txt\n"
        "finds texts that start with a byte-order mark; -t txt alone scans in text mode\n"
        "instead, which also finds UTF-8 texts without one whose first character is\n"
        "not ASCII, and looks for no other type.");
    return text;
}

// An argument that does not survive decoding names another file than the
// one the user meant: the input would not be found, or the finds would go
// into a folder of a different name.
bool decodesLosslessly(const char *arg) {
    const QByteArray raw(arg);
    return QFile::encodeName(QFile::decodeName(raw)) == raw;
}

int listDevices() {
    QList<Device *> *devices = DeviceManager::getDeviceList();
    for (Device *d : *devices)
        printf("%s\t%s\t%s%s\n", qPrintable(d->getDevFile()), qPrintable(Utils::formatSize(d->totalSize)),
               qPrintable(d->getName()), d->removable ? " · removable" : "");
    if (devices->isEmpty()) fprintf(stderr, "lumarek-carve: no block devices found\n");
    DeviceManager::freeDeviceList(devices);
    return ExitOk;
}

// The partition table of a disk or disk image, one partition a line:
// number, start in bytes, size, type, label, file system (tab-separated).
int listPartitions(const QString &input) {
    QString scheme;
    const QList<PartitionInfo> parts = DiskPartitions::read(input, &scheme);
    if (parts.isEmpty()) {
        fprintf(stderr, "lumarek-carve: %s has no partition table: it is scanned as one volume\n", qPrintable(input));
        return ExitOk;
    }
    printf("%s\n", qPrintable(scheme));
    for (const PartitionInfo &p : parts)
        printf("%d\t%llu\t%s\t%s\t%s\t%s\n", p.number, static_cast<unsigned long long>(p.start),
               qPrintable(Utils::formatSize(qint64(p.size))), qPrintable(p.type), qPrintable(p.label),
               qPrintable(p.fileSystem));
    return ExitOk;
}

QString outcomeWord(EngineControl::Outcome o) {
    switch (o) {
    case EngineControl::Scanned: return QStringLiteral("scanned");
    case EngineControl::Stopped: return QStringLiteral("stopped");
    case EngineControl::CannotOpen: return QStringLiteral("cannot-open");
    case EngineControl::EmptyInput: return QStringLiteral("empty-input");
    case EngineControl::NothingToSearch: return QStringLiteral("nothing-to-search");
    case EngineControl::BadPath: return QStringLiteral("bad-path");
    case EngineControl::NoMemory: return QStringLiteral("no-memory");
    default: return QStringLiteral("none");
    }
}

}  // namespace

int main(int argc, char **argv) {
    // A reader that goes away (| head) or a file-size limit fails the write
    // concerned; the run, its exports and its report go on.
    OutputGuard::failWritesInsteadOfSignals();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("lumarek-carve"));
    QCoreApplication::setApplicationVersion(QStringLiteral(LUMAREK_VERSION));
    for (int i = 1; i < argc; ++i) {
        if (!decodesLosslessly(argv[i])) {
            fail(QStringLiteral("the argument \"%1\" is not valid text in this system's character encoding; rename "
                                "the file or folder, or reach it through a link with a plain name")
                     .arg(QFile::decodeName(argv[i])));
            return ExitUsage;
        }
    }

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Recovers deleted files from a block device or a disk image by their content.\n\n") +
        groupHelp() +
        QStringLiteral("\n\nExit status: 0 done; 1 usage or setup error (also a report, log or output folder\n"
                       "aimed at the input, a device or the scanned storage without --allow-same-device);\n"
                       "2 the input cannot be opened; 3 some finds could not be exported; 4 output failed\n"
                       "(the report, the log or standard output could not be written); 130 interrupted.\n"
                       "An existing file in the output folder is never replaced: a find whose name is\n"
                       "taken is saved as NAME (1).EXT, NAME (2).EXT, ..."));
    parser.addHelpOption();
    // Only the long form: -v is --verbose.
    QCommandLineOption versionOpt(QStringLiteral("version"), QStringLiteral("Displays version information."));
    QCommandLineOption typesOpt({QStringLiteral("t"), QStringLiteral("types")},
                                QStringLiteral("File group or comma-separated list of types (default all)."),
                                QStringLiteral("types"), QStringLiteral("all"));
    QCommandLineOption wholeOpt(QStringLiteral("whole"),
                                QStringLiteral("Scan the whole input, ignoring the file system (default: free space only)."));
    QCommandLineOption noDeepOpt(QStringLiteral("no-deep"),
                                 QStringLiteral("Use the built-in rules alone. By default the scan is deep: each "
                                                "file's end is found from its own structure where the built-in "
                                                "rules miss the file or only estimate its end (more files come "
                                                "back whole; the scan is somewhat slower)."));
    QCommandLineOption outputOpt({QStringLiteral("o"), QStringLiteral("output")},
                                 QStringLiteral("Export every find into DIR (created if missing). Files already "
                                                "there are kept: a find whose name is taken gets NAME (1).EXT, "
                                                "NAME (2).EXT, ..."),
                                 QStringLiteral("DIR"));
    QCommandLineOption reportOpt(QStringLiteral("report"), QStringLiteral("Write a DFXML report to FILE."),
                                 QStringLiteral("FILE"));
    QCommandLineOption logOpt(QStringLiteral("log"),
                              QStringLiteral("Write the engine's diagnostic lines to FILE (by default they are "
                                             "not kept)."),
                              QStringLiteral("FILE"));
    QCommandLineOption verboseOpt({QStringLiteral("v"), QStringLiteral("verbose")},
                                  QStringLiteral("Show the engine's diagnostic lines on standard error (with --log, "
                                                 "they go to FILE only)."));
    QCommandLineOption listOpt(QStringLiteral("list-devices"), QStringLiteral("List the block devices and exit."));
    QCommandLineOption sameOpt(QStringLiteral("allow-same-device"),
                               QStringLiteral("Allow exporting, and writing the report and the log, onto the "
                                              "device being scanned."));
    QCommandLineOption listPartsOpt(QStringLiteral("list-partitions"),
                                    QStringLiteral("List the partition table of INPUT and exit."));
    QCommandLineOption partitionOpt(QStringLiteral("partition"),
                                    QStringLiteral("Scan partition N of INPUT only (default: every partition and "
                                                   "the space between them)."),
                                    QStringLiteral("N"));
    parser.addOptions({versionOpt, typesOpt, wholeOpt, noDeepOpt, outputOpt, reportOpt, logOpt, verboseOpt, listOpt, sameOpt});
    parser.addOptions({listPartsOpt, partitionOpt});
    parser.addPositionalArgument(QStringLiteral("INPUT"), QStringLiteral("Block device or disk image."));

    if (!parser.parse(QCoreApplication::arguments())) {
        fail(parser.errorText());
        return ExitUsage;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        printf("%s", qPrintable(parser.helpText()));
        return ExitOk;
    }
    if (parser.isSet(versionOpt)) {
        printf("lumarek-carve %s\n", LUMAREK_VERSION);
        return ExitOk;
    }
    if (parser.isSet(listOpt)) return listDevices();

    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 1) {
        fail(QStringLiteral("expected exactly one INPUT (see --help)"));
        return ExitUsage;
    }
    const QString input = positional.first();
    const QString unusable = VolumeCheck::inputKindProblem(input);
    if (!unusable.isEmpty()) {
        fail(unusable);
        return ExitCannotOpen;
    }

    if (parser.isSet(listPartsOpt)) return listPartitions(input);
    // The table as the scan will find it: --partition picks from it, and the
    // report says which partition each find lies in.
    QString partitionScheme;
    QList<PartitionInfo> partitions;
    if (parser.isSet(partitionOpt) || parser.isSet(reportOpt)) partitions = DiskPartitions::read(input, &partitionScheme);
    int partition = 0;
    if (parser.isSet(partitionOpt)) {
        bool number = false;
        partition = parser.value(partitionOpt).toInt(&number);
        bool known = false;
        if (number)
            for (const PartitionInfo &p : partitions) known = known || p.number == partition;
        if (!known) {
            fail(QStringLiteral("%1 has no partition %2 (see --list-partitions)").arg(input, parser.value(partitionOpt)));
            return ExitUsage;
        }
    }

    QString outputDir;
    if (parser.isSet(outputOpt) && parser.value(outputOpt).isEmpty()) {
        fail(QStringLiteral("the output folder (-o) is empty; give a folder to export into"));
        return ExitUsage;
    }
    if (parser.isSet(outputOpt)) {
        outputDir = QDir::cleanPath(QFileInfo(parser.value(outputOpt)).absoluteFilePath());
        if (!parser.isSet(sameOpt) && VolumeCheck::exportsOntoScannedVolume(input, outputDir)) {
            fail(QStringLiteral("refusing to export into %1: it is on %2, the device being scanned, and writing "
                                "there would overwrite the deleted files being recovered (use --allow-same-device "
                                "to do it anyway)")
                     .arg(outputDir, input));
            return ExitUsage;
        }
    }

    QStringList unknownTypes, neverFound;
    const QStringList types = typesFor(parser.value(typesOpt), &unknownTypes, &neverFound);
    const QString suffixes = types.join(QLatin1Char(','));
    if (!unknownTypes.isEmpty()) {
        fail(QStringLiteral("no known file type %1 in --types; give a group (%2) or type names such as "
                            "jpg,png,pdf,docx,zip,mp4 (see --help)")
                 .arg(unknownTypes.join(QStringLiteral(", ")), ScanGroups::names().join(QStringLiteral(", "))));
        return ExitUsage;
    }
    if (suffixes.isEmpty()) {
        fail(QStringLiteral("no file types given in --types"));
        return ExitUsage;
    }
    if (!neverFound.isEmpty())
        fail(QStringLiteral("warning: %1: searched for, but no find is ever reported as such a type")
                 .arg(neverFound.join(QStringLiteral(", "))));

    const QString unreadable = VolumeCheck::inputReadProblem(input);
    if (!unreadable.isEmpty()) {
        fail(unreadable);
        return ExitCannotOpen;
    }

    if (!outputDir.isEmpty()) {
        const QString problem = VolumeCheck::outputFolderProblem(outputDir);
        if (!problem.isEmpty()) {
            fail(problem);
            return ExitUsage;
        }
    }

    // The report and the log are checked like the output folder, before
    // anything is scanned or written.
    const struct {
        const QCommandLineOption &option;
        const char *what;
        bool regularOnly;
    } sideFiles[] = {{reportOpt, "report", true}, {logOpt, "log", false}};
    for (const auto &side : sideFiles) {
        if (!parser.isSet(side.option)) continue;
        const QString problem = OutputGuard::fileProblem(QLatin1String(side.what), parser.value(side.option), input,
                                                         parser.isSet(sameOpt), side.regularOnly);
        if (!problem.isEmpty()) {
            fail(problem);
            return ExitUsage;
        }
    }

    FILE *log = nullptr;
    if (parser.isSet(logOpt)) {
        log = fopen(QFile::encodeName(parser.value(logOpt)).constData(), "w");
        if (!log) {
            fail(QStringLiteral("cannot write the log %1: %2").arg(parser.value(logOpt), QString::fromLocal8Bit(strerror(errno))));
            return ExitUsage;
        }
    }
    // Standard output carries the finds; the engine's lines go to the log,
    // to standard error when asked for, or nowhere.
    FILE *discard = nullptr;
    if (log)
        diagnosticSink = log;
    else if (parser.isSet(verboseOpt))
        diagnosticSink = stderr;
    else
        diagnosticSink = discard = discardingStream();
    EngineControl::setDiagnosticOutput(diagnosticSink);
    qInstallMessageHandler(toDiagnostics);

    Device *device = DeviceManager::deviceForPath(input);
    EngineControl::setWholeInput(parser.isSet(wholeOpt));
    DiskPartitions::setScanPartition(partition);

    CarveSession session(outputDir, isatty(STDERR_FILENO) != 0);
    session.setHashExports(parser.isSet(reportOpt));
    const QDateTime started = QDateTime::currentDateTimeUtc();
    Interrupts::install([&session] { session.interrupt(); });
    session.run(device, types, !parser.isSet(noDeepOpt));
    session.clearProgress();
    Interrupts::uninstall();
    const bool interrupted = Interrupts::happened();

    const EngineControl::Outcome outcome = EngineControl::lastRunOutcome();
    const QString openProblem = VolumeCheck::lastRunOpenProblem(input);
    int status = ExitOk;
    if (!openProblem.isEmpty()) {
        fail(openProblem);
        status = ExitCannotOpen;
    } else if (session.failureCode() == OutOfMemory) {
        fail(QStringLiteral("not enough memory for the scan buffer"));
        status = ExitUsage;
    } else if (outcome == EngineControl::NothingToSearch) {
        fail(QStringLiteral("no known file type in \"%1\"").arg(suffixes));
        status = ExitUsage;
    } else if (outcome == EngineControl::EmptyInput) {
        fail(QStringLiteral("%1 is empty: nothing to scan").arg(input));
    }

    if (parser.isSet(reportOpt)) {
        ReportHeader h;
        h.program = QStringLiteral("lumarek-carve");
        h.version = QStringLiteral(LUMAREK_VERSION);
        h.commandLine = QCoreApplication::arguments().join(QLatin1Char(' '));
        h.startTime = started;
        h.imageFilename = input;
        h.imageSize = device->totalSize;
        h.blockSize = EngineControl::blockSize();
        h.outcome = outcomeWord(outcome);
        h.shrankTo = session.scan().inputShrankTo();
        h.partitionScheme = partitionScheme;
        h.partitions = partitions;
        QString error;
        if (!writeDfxmlReport(parser.value(reportOpt), h, session.files(), &error)) {
            fail(QStringLiteral("cannot write the report %1: %2").arg(parser.value(reportOpt), error));
            if (status == ExitOk || status == ExitExportFailed) status = ExitOutputFailed;
        }
    }

    if (status != ExitCannotOpen) session.printSummary(interrupted, session.scan().unreadableSectors());
    if (session.scan().inputShrankTo() >= 0) {
        fail(QStringLiteral("warning: %1 shrank during the scan to %2 bytes: finds past that end are not listed")
                 .arg(input)
                 .arg(session.scan().inputShrankTo()));
    }

    const QStringList failures = session.exportFailures();
    if (!failures.isEmpty()) {
        fail(QStringLiteral("%1 file(s) could not be exported: %2").arg(failures.size()).arg(failures.join(QStringLiteral(", "))));
        if (status == ExitOk) status = ExitExportFailed;
    }
    // Standard output closed by its reader, or past a size limit: the
    // listing is incomplete, which the status says.
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fail(QStringLiteral("standard output could not be written completely; the list of finds is incomplete"));
        if (status == ExitOk || status == ExitExportFailed) status = ExitOutputFailed;
    }
    if (log && (fflush(log) != 0 || ferror(log))) {
        fail(QStringLiteral("the log %1 could not be written completely").arg(parser.value(logOpt)));
        if (status == ExitOk || status == ExitExportFailed) status = ExitOutputFailed;
    }
    if (interrupted) status = ExitInterrupted;

    DeviceManager::setCurrentDevice(nullptr);
    delete device;
    EngineControl::setDiagnosticOutput(nullptr);
    qInstallMessageHandler(nullptr);
    diagnosticSink = nullptr;
    if (log) fclose(log);
    if (discard) fclose(discard);
    return status;
}
