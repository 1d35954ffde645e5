// Classification of file-type suffixes and the size texts shown to users.
#pragma once

#include "recovery/lmr_export.h"

#include <QObject>
#include <QString>

class LMR_QT_EXPORT SuffixUtils : public QObject {
    Q_OBJECT
public:
    explicit SuffixUtils(QObject *parent = nullptr);

    // Exact, case-sensitive matches against fixed lists.
    static bool isVideoSuffix(QString suffix);
    static bool isAudioSuffix(QString suffix);
    static bool isImageSuffix(QString suffix);
    static bool isCompressedSuffix(QString suffix);
    static bool isDocumentSuffix(QString suffix);
};

class LMR_QT_EXPORT Utils : public QObject {
    Q_OBJECT
public:
    explicit Utils(QObject *parent = nullptr);

    // "0B" for zero (and negatives), else two decimals in B, KB, MB or GB.
    static QString formatSize(qint64 size);
};
