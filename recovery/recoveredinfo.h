// The record of one recovered file: name, thumbnail, bytes and export.
//
// Threads: records are built on the scanning thread, completed by readInfo()
// on the validation thread, then used by the receiver's threads.  Pixmaps and
// the pixmap cache belong to the GUI thread, so pictures are decoded into
// QImage off that thread; the pixmap and its cache entry are made the first
// time getThumb() is asked on the GUI thread.  Worker threads that want a
// thumbnail use getThumbImage(), or readyThumbImage() for one without
// decoding.
#pragma once

#include "engine/run_records.h"
#include "recovery/lmr_export.h"

#include <QByteArray>
#include <QImage>
#include <QMutex>
#include <QObject>
#include <QPixmap>
#include <QString>
#include <QVector>

class LMR_QT_EXPORT RecoveredInfo : public QObject {
    Q_OBJECT
public:
    explicit RecoveredInfo(QObject *parent = nullptr);
    ~RecoveredInfo() override;

    virtual bool isValid();
    virtual void readInfo() = 0;
    virtual bool exportSelf() = 0;

    void setRecoveredTime(qint64 time);
    qint64 getRecoveredTime() const;

protected:
    qint64 recoveredTime;
    bool valid;
};

class LMR_QT_EXPORT FileRecoveredInfo : public RecoveredInfo {
public:
    explicit FileRecoveredInfo(r_info *info);
    ~FileRecoveredInfo() override;

    // Picks the record class from the suffix (lower-cased); never null.
    // The record takes over `info` (a heap copy made with new).
    static FileRecoveredInfo *newRecoveredInfo(r_info *info);
    // The same for a find that may lie in several byte runs: `runs` in file
    // order, whose bytes one after the other are the file's.  The record's
    // offset is then the first run's and its length the sum of the runs'.
    // With fewer than two runs the find is one range, as without them (one
    // run: that run's range).
    static FileRecoveredInfo *newRecoveredInfo(r_info *info, const QVector<r_run> &runs);

    // A new find: the runs of the previous one are forgotten.
    void setInfo(r_info *info);
    // The input the find lies in, in full.  The find record's path field
    // holds at most 259 bytes (longer paths come empty): whoever started the
    // run names the input it passed in.  An empty path changes nothing.
    void setDevFile(const QString &path);

    // The name it is shown and exported under: a named find's own.
    QString getName() const;
    QString getSuffix() const;
    qint64 getLen() const;
    qint64 getOffset() const;
    QString getDevFile() const;
    QString getKey() const;
    QString getExportPath() const;
    // The find's byte runs in file order: one run (offset, length) for a
    // find in one range, none for a record without a find.
    QVector<r_run> getRuns() const;
    // true when the find lies in more than one run.
    bool isFragmented() const;
    // The find's bytes are `runs` instead (at least one): where the file
    // system that names the file knows them better than the carve did.
    void replaceRuns(const QVector<r_run> &runs) { setRuns(runs); }

    // What the file system still says of the file, for a deleted file it
    // names: its path relative to the volume's root ('/'-separated, every
    // part safe to create), its times (seconds since 1970 UTC, or kNoTime)
    // and its state.  A carved find has none of these.
    enum State { Carved, Named, Overwritten };
    static constexpr qint64 kNoTime = INT64_MIN;
    void setOriginal(const QString &relativePath, qint64 modified, qint64 created, qint64 accessed, State state);
    QString getOriginalPath() const { return originalPath; }
    qint64 getModified() const { return modifiedTime; }
    qint64 getCreated() const { return createdTime; }
    qint64 getAccessed() const { return accessedTime; }
    State getState() const { return state; }

    // The scan that made the find (a ScanSession's number; 0: none).
    void setScan(quint64 scan) { scanNumber = scan; }
    quint64 getScan() const { return scanNumber; }

    // Keeps the previous folder when `path` is empty.
    void setExportPath(QString path);

    void readInfo() override;
    // Completes the record as far as its name needs, without a thumbnail:
    // for callers that show no pictures (the command-line carver).
    virtual void readName();
    // Copies the file's bytes into the export folder under its name (a
    // named find under its original path, folders made as needed and never
    // followed through a link, with its modification time), or,
    // when a file (or link) of that name is there, under the first free
    // "NAME (1).EXT", "NAME (2).EXT", ...: nothing there is ever replaced
    // or followed.  The copy is made in a temporary file and named when
    // complete, so a failed export leaves nothing that looks like a
    // recovered file.
    bool exportSelf() override;
    // Why the last exportSelf() failed; empty after a success.
    QString getExportError() const;
    // The path the last successful exportSelf() wrote (folder and the name
    // actually taken); empty after a failure.
    QString getExportedFile() const;
    // With `on`, exportSelf() also takes the SHA-256 of the bytes as it
    // copies them (off by default).
    void setExportHash(bool on);
    // Hex SHA-256 of the last export's bytes, when asked for; else empty.
    QByteArray getExportSha256() const;
    // Removes the partly written files of the exports under way.  Safe in
    // a signal handler, for a program about to end in the middle of an
    // export.
    static void removePartialExports();
    virtual void genName();
    // GUI thread only (a null pixmap elsewhere).
    virtual QPixmap getThumb();
    virtual bool hasThumb();
    virtual bool isThumbCached();
    virtual void genThumb();
    // The thumbnail as an image; usable on any thread.
    virtual QImage getThumbImage();
    // The thumbnail readInfo() made, while the record still holds it (the
    // first getThumb() on the GUI thread hands it to the pixmap cache and
    // lets it go); a null image otherwise.  Never reads or decodes the
    // file, so it is cheap on any thread.
    QImage readyThumbImage();

    // The file's bytes.  Empty when nothing could be read, when the length
    // exceeds `maxBytes`, or when memory for it cannot be had.
    QByteArray readData();
    QByteArray readData(qint64 maxBytes);

    // Largest length readData() accepts: the largest size limit of any type
    // of the signature table.
    static qint64 maxDataBytes();

protected:
    void storeThumb(const QImage &thumb);
    void setRuns(const QVector<r_run> &runs);
    // Reads `length` bytes from byte `at` of the file (its runs assembled)
    // into `buffer`; returns how many were delivered.
    int readBytes(quint64 at, int32_t length, void *buffer) const;

    QString key;
    r_info *info;
    QString devFile;
    QString suffix;
    QString name;
    bool thumbReady;
    qint64 len;
    qint64 offset;
    QVector<r_run> runs;  // in file order; empty: the one range at offset, len
    QString exportPath;
    QString exportError;
    QString exportedFile;
    QByteArray exportSha256;
    bool hashOnExport = false;
    quint64 scanNumber = 0;
    QString originalPath;
    qint64 modifiedTime = kNoTime, createdTime = kNoTime, accessedTime = kNoTime;
    State state = Carved;

    QMutex thumbLock;  // guards thumbImage
    QImage thumbImage;  // kept until the GUI thread has cached its pixmap
};

class LMR_QT_EXPORT ImageFileRecoveredInfo : public FileRecoveredInfo {
public:
    explicit ImageFileRecoveredInfo(r_info *info);

    void readInfo() override;
    // Dimensions from the picture's header only: no decoding, no thumbnail.
    void readName() override;
    void genName() override;
    void genThumb() override;

    // GUI thread only (a null pixmap elsewhere).
    QPixmap readImage();
    // The decoded picture on any thread; null when the bytes are not a
    // picture, when the length exceeds maxPictureBytes(), or when the
    // picture's dimensions exceed maxPicturePixels().
    QImage readPicture();

    int getWidth() const;
    int getHeight() const;

    // Largest size limit of the picture types in the signature table.
    static qint64 maxPictureBytes();
    static qint64 maxPicturePixels();

    static const int ThumbSize = 100;

protected:
    int width;
    int height;
};

class LMR_QT_EXPORT MediaFileRecoveredInfo : public FileRecoveredInfo {
public:
    explicit MediaFileRecoveredInfo(r_info *info);
};

class LMR_QT_EXPORT CompressedFileRecoveredInfo : public FileRecoveredInfo {
public:
    explicit CompressedFileRecoveredInfo(r_info *info);
};
