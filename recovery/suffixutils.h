// Classification of file-type suffixes and the size texts shown to users.
#pragma once

#include "recovery/lmr_export.h"

#include <QObject>
#include <QString>
#include <QStringList>

class LMR_QT_EXPORT SuffixUtils : public QObject {
    Q_OBJECT
public:
    explicit SuffixUtils(QObject *parent = nullptr);

    // Exact, case-sensitive matches against the classes of the list of file
    // types.
    static bool isVideoSuffix(QString suffix);
    static bool isAudioSuffix(QString suffix);
    static bool isImageSuffix(QString suffix);
    static bool isCompressedSuffix(QString suffix);
    static bool isDocumentSuffix(QString suffix);

    // The five kinds the results are sorted into, in the order front ends
    // show them.
    enum Category { Pictures, Documents, Media, Archives, Other, CategoryCount };
    // The kind of a find of `suffix`, case ignored ("JPG" is a picture);
    // audio and video are both Media, anything unclassified is Other.
    static Category categoryOf(const QString &suffix);
    // Every type a find can be reported as that sorts into `category`, in
    // the order of the list of file types; Other has those of no class.
    static QStringList categoryTypes(Category category);
};

// The file groups of lumarek-carve, from the engine's list of file types.
class LMR_QT_EXPORT ScanGroups {
public:
    // "images", "documents", "media", "archives", "all".
    static QStringList names();
    // The types of a group, in the list's order; empty for a word that is no
    // group.  "all" is every type a find can be reported as.
    static QStringList members(const QString &group);
    // true when a scan for `name` can report a find; false for names the
    // engine searches for but never reports (exe, gzip) and for unknown ones.
    static bool findable(const QString &name);
};

class LMR_QT_EXPORT Utils : public QObject {
    Q_OBJECT
public:
    explicit Utils(QObject *parent = nullptr);

    // "0B" for zero (and negatives), else two decimals in B, KB, MB or GB.
    static QString formatSize(qint64 size);
};
