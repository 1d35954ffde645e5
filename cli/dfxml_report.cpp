#include "dfxml_report.h"

#include <QFile>
#include <QBuffer>
#include <QFileInfo>
#include <QXmlStreamWriter>

#include <cerrno>
#include <utility>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const char *kDfxmlNs = "http://www.forensicswiki.org/wiki/Category:Digital_Forensics_XML";
const char *kDcNs = "http://purl.org/dc/elements/1.1/";
const char *kLmrNs = "urn:lumarek:carve";

// XML 1.0 cannot carry most control characters; a command line or a path
// may contain them.
QString xmlSafe(const QString &text) {
    QString out = text;
    for (QChar &c : out) {
        ushort u = c.unicode();
        if ((u < 0x20 && u != 0x9 && u != 0xA && u != 0xD) || u == 0xFFFE || u == 0xFFFF) c = QLatin1Char('?');
    }
    return out;
}
// Puts `data` at `path` as a whole: written beside it under a new name of
// its own (never through a link), and renamed over it only once every byte
// is on disk, so a full disk or a file-size limit leaves the earlier file,
// not a cut one.  False with `error` set when it cannot.
bool replaceWhole(const QString &path, const QByteArray &data, QString *error) {
    const QByteArray target = QFile::encodeName(QFileInfo(path).absoluteFilePath());
    QByteArray temp = target + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        if (error) *error = QString::fromLocal8Bit(strerror(errno));
        return false;
    }
    ::fchmod(fd, 0644);
    const char *p = data.constData();
    qint64 left = data.size();
    int err = 0;
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            err = n < 0 ? errno : EIO;
            break;
        }
        p += n;
        left -= n;
    }
    if (!err && ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && !err) err = errno;
    if (!err && ::rename(temp.constData(), target.constData()) != 0) err = errno;
    if (err) {
        ::unlink(temp.constData());
        if (error) *error = QString::fromLocal8Bit(strerror(err));
        return false;
    }
    return true;
}

// The partition holding the byte at `offset`, or null (the space between
// partitions, or no table).  Partitions do not overlap; should a table ever
// nest one in another, the innermost is the one meant.
const PartitionInfo *partitionAt(const QList<PartitionInfo> &parts, quint64 offset) {
    const PartitionInfo *best = nullptr;
    for (const PartitionInfo &p : parts)
        if (offset >= p.start && offset - p.start < p.size && (!best || p.size < best->size)) best = &p;
    return best;
}

}  // namespace

QString isoTime(qint64 seconds) {
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC).toString(Qt::ISODate);
}

bool writeDfxmlReport(const QString &path, const ReportHeader &h, const QList<CarvedFile> &files, QString *error) {
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    QXmlStreamWriter w(&out);
    w.setAutoFormatting(true);
    w.setAutoFormattingIndent(2);
    w.writeStartDocument();
    w.writeDefaultNamespace(QString::fromLatin1(kDfxmlNs));
    w.writeNamespace(QString::fromLatin1(kDcNs), QStringLiteral("dc"));
    w.writeNamespace(QString::fromLatin1(kLmrNs), QStringLiteral("lmr"));
    w.writeStartElement(QString::fromLatin1(kDfxmlNs), QStringLiteral("dfxml"));
    w.writeAttribute(QStringLiteral("version"), QStringLiteral("1.0"));

    w.writeStartElement(QString::fromLatin1(kDfxmlNs), QStringLiteral("metadata"));
    w.writeTextElement(QString::fromLatin1(kDcNs), QStringLiteral("type"), QStringLiteral("Carve Report"));
    w.writeEndElement();

    w.writeStartElement(QString::fromLatin1(kDfxmlNs), QStringLiteral("creator"));
    w.writeAttribute(QStringLiteral("version"), QStringLiteral("1.0"));
    w.writeTextElement(QString::fromLatin1(kDfxmlNs), QStringLiteral("program"), h.program);
    w.writeTextElement(QString::fromLatin1(kDfxmlNs), QStringLiteral("version"), h.version);
    w.writeStartElement(QString::fromLatin1(kDfxmlNs), QStringLiteral("execution_environment"));
    w.writeTextElement(QString::fromLatin1(kDfxmlNs), QStringLiteral("command_line"), xmlSafe(h.commandLine));
    if (h.startTime.isValid())
        w.writeTextElement(QString::fromLatin1(kDfxmlNs), QStringLiteral("start_time"),
                           h.startTime.toUTC().toString(Qt::ISODate));
    w.writeEndElement();
    w.writeEndElement();

    // The input's size and how the run ended are ours, not the schema's:
    // attributes of our namespace, where the schema leaves room for them.
    w.writeStartElement(QString::fromLatin1(kDfxmlNs), QStringLiteral("source"));
    w.writeAttribute(QString::fromLatin1(kLmrNs), QStringLiteral("image_size"), QString::number(h.imageSize));
    w.writeTextElement(QString::fromLatin1(kDfxmlNs), QStringLiteral("image_filename"), xmlSafe(h.imageFilename));
    w.writeEndElement();

    // The partition table, each partition by its number in the table (the
    // number --partition takes), its place in the input and its type.
    if (!h.partitionScheme.isEmpty() && !h.partitions.isEmpty()) {
        w.writeStartElement(QString::fromLatin1(kDfxmlNs), QStringLiteral("partitionsystemobject"));
        w.writeStartElement(QString::fromLatin1(kDfxmlNs), QStringLiteral("byte_runs"));
        w.writeEmptyElement(QString::fromLatin1(kDfxmlNs), QStringLiteral("byte_run"));
        w.writeAttribute(QStringLiteral("img_offset"), QStringLiteral("0"));
        w.writeAttribute(QStringLiteral("len"), QString::number(h.imageSize));
        w.writeEndElement();
        w.writeTextElement(QString::fromLatin1(kDfxmlNs), QStringLiteral("pstype_str"), xmlSafe(h.partitionScheme));
        for (const PartitionInfo &p : h.partitions) {
            w.writeStartElement(QString::fromLatin1(kDfxmlNs), QStringLiteral("partitionobject"));
            if (!p.fileSystem.isEmpty())
                w.writeAttribute(QString::fromLatin1(kLmrNs), QStringLiteral("file_system"), xmlSafe(p.fileSystem));
            if (!p.label.isEmpty()) w.writeAttribute(QString::fromLatin1(kLmrNs), QStringLiteral("label"), xmlSafe(p.label));
            w.writeStartElement(QString::fromLatin1(kDfxmlNs), QStringLiteral("byte_runs"));
            w.writeEmptyElement(QString::fromLatin1(kDfxmlNs), QStringLiteral("byte_run"));
            w.writeAttribute(QStringLiteral("img_offset"), QString::number(p.start));
            w.writeAttribute(QStringLiteral("len"), QString::number(p.size));
            w.writeEndElement();
            w.writeTextElement(QString::fromLatin1(kDfxmlNs), QStringLiteral("partition_index"), QString::number(p.number));
            if (!p.type.isEmpty())
                w.writeTextElement(QString::fromLatin1(kDfxmlNs), QStringLiteral("ptype_str"), xmlSafe(p.type));
            w.writeEndElement();
        }
        w.writeEndElement();
    }

    // Carved files are described inside the input as one volume at offset 0;
    // block_size is the step the scan advanced by.
    w.writeStartElement(QString::fromLatin1(kDfxmlNs), QStringLiteral("volume"));
    w.writeAttribute(QStringLiteral("offset"), QStringLiteral("0"));
    w.writeAttribute(QString::fromLatin1(kLmrNs), QStringLiteral("outcome"), h.outcome);
    if (h.shrankTo >= 0)
        w.writeAttribute(QString::fromLatin1(kLmrNs), QStringLiteral("input_shrank_to"), QString::number(h.shrankTo));
    if (h.sectorSize)
        w.writeTextElement(QString::fromLatin1(kDfxmlNs), QStringLiteral("sector_size"), QString::number(h.sectorSize));
    if (h.blockSize)
        w.writeTextElement(QString::fromLatin1(kDfxmlNs), QStringLiteral("block_size"), QString::number(h.blockSize));
    for (const CarvedFile &f : files) {
        w.writeStartElement(QString::fromLatin1(kDfxmlNs), QStringLiteral("fileobject"));
        w.writeTextElement(QString::fromLatin1(kDfxmlNs), QStringLiteral("filename"), xmlSafe(f.name));
        // The partition the find lies in, by its number in the table; its
        // start beside it, so a reader needs not look the table up.
        const PartitionInfo *part = partitionAt(h.partitions, f.offset);
        if (part && part->number > 0)
            w.writeTextElement(QString::fromLatin1(kDfxmlNs), QStringLiteral("partition"), QString::number(part->number));
        w.writeTextElement(QString::fromLatin1(kDfxmlNs), QStringLiteral("filesize"), QString::number(f.length));
        // The times a named find's file system kept, in the schema's order.
        const std::pair<const char *, qint64> times[] = {{"mtime", f.modified}, {"atime", f.accessed}, {"crtime", f.created}};
        for (const auto &t : times)
            if (!f.originalPath.isEmpty() && t.second != INT64_MIN)
                w.writeTextElement(QString::fromLatin1(kDfxmlNs), QString::fromLatin1(t.first), isoTime(t.second));
        w.writeStartElement(QString::fromLatin1(kDfxmlNs), QStringLiteral("byte_runs"));
        // A find in several pieces: each run where it lies in the input and
        // where it goes in the file, in file order.
        const QList<ByteRun> runs = f.runs.isEmpty() ? QList<ByteRun>{ByteRun{f.offset, f.length}} : f.runs;
        quint64 fileOffset = 0;
        for (const ByteRun &run : runs) {
            w.writeEmptyElement(QString::fromLatin1(kDfxmlNs), QStringLiteral("byte_run"));
            w.writeAttribute(QStringLiteral("file_offset"), QString::number(fileOffset));
            w.writeAttribute(QStringLiteral("img_offset"), QString::number(run.imgOffset));
            w.writeAttribute(QStringLiteral("len"), QString::number(run.length));
            fileOffset += run.length;
        }
        w.writeEndElement();
        if (f.exported && !f.sha256.isEmpty()) {
            w.writeStartElement(QString::fromLatin1(kDfxmlNs), QStringLiteral("hashdigest"));
            w.writeAttribute(QStringLiteral("type"), QStringLiteral("sha256"));
            w.writeCharacters(QString::fromLatin1(f.sha256));
            w.writeEndElement();
        }
        w.writeTextElement(QString::fromLatin1(kLmrNs), QStringLiteral("suffix"), xmlSafe(f.suffix));
        if (!f.originalPath.isEmpty()) {
            w.writeTextElement(QString::fromLatin1(kLmrNs), QStringLiteral("original_path"), xmlSafe(f.originalPath));
            w.writeTextElement(QString::fromLatin1(kLmrNs), QStringLiteral("state"),
                               f.overwritten ? QStringLiteral("overwritten") : QStringLiteral("named"));
        }
        if (part && part->number > 0)
            w.writeTextElement(QString::fromLatin1(kLmrNs), QStringLiteral("partition_start"), QString::number(part->start));
        w.writeEndElement();
    }
    w.writeEndElement();  // volume
    w.writeEndElement();  // dfxml
    w.writeEndDocument();
    if (w.hasError()) {
        if (error) *error = QStringLiteral("the report could not be composed");
        return false;
    }
    return replaceWhole(path, out.data(), error);
}
