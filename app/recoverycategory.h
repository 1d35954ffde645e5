// One kind of result (pictures, documents, ...): its name and pictures, the
// table that lists it, and the records of that table's rows.
#pragma once

#include <QList>
#include <QObject>
#include <QString>

class FileRecoveredInfo;
class LMTableWidget;

class RecoveryCategory : public QObject {
    Q_OBJECT
public:
    explicit RecoveryCategory(QObject *parent = nullptr);
    // Deletes every record.
    ~RecoveryCategory() override;

    void setName(const QString &name);
    void setIconPath(const QString &path);
    void setPreviewIcon(const QString &path);
    void setTable(LMTableWidget *table);

    QString getName() const;
    QString getIconPath() const;
    QString getPreviewIcon() const;
    LMTableWidget *getTable() const;
    // Entry r is the record of table row r.
    QList<FileRecoveredInfo *> *getInfos() const;

    // Deletes the records and empties the list.
    void clear();

private:
    QString name;
    QString iconPath;
    QString previewIcon;
    LMTableWidget *table = nullptr;
    QList<FileRecoveredInfo *> *infos;
};

// The category a find of `suffix` is listed under: 0 pictures, 1 documents,
// 2 audio and video, 3 archives, 4 everything else; case does not matter.
// The same sorting as the command-line carver's summary.
int categoryIndexForSuffix(const QString &suffix);
