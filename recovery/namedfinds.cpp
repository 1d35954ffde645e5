#include "recovery/namedfinds.h"

#include "engine/recovery_engine.h"

#include <QFileInfo>
#include <QMutexLocker>

#include <cstring>

int NamedFinds::load(const QString &input) {
    lmr_named_find *found = nullptr;
    const int n = list_named_finds(QFile::encodeName(input).constData(), &found);
    QMutexLocker guard(&lock);
    finds.clear();
    byFirstByte.clear();
    for (int i = 0; i < n; ++i) {
        const lmr_named_find &f = found[i];
        Find x;
        x.path = QString::fromUtf8(f.path, int(strnlen(f.path, sizeof f.path)));
        x.modified = f.modified;
        x.created = f.created;
        x.accessed = f.accessed;
        x.state = f.state == LMR_NAMED_INTACT ? FileRecoveredInfo::Named : FileRecoveredInfo::Overwritten;
        for (int32_t r = 0; r < f.run_count; ++r) x.runs.append(f.runs[r]);
        x.size = f.size;
        x.runsKnown = f.runs_known != 0;
        x.used = false;
        // Two names for the same bytes (a file deleted, its clusters taken
        // by another deleted later): the first walked is kept for the join.
        if (f.head_free && !byFirstByte.contains(x.runs[0].offset))
            byFirstByte.insert(x.runs[0].offset, finds.size());
        finds.append(x);
    }
    free_named_finds(found);
    return finds.size();
}

int NamedFinds::count() const {
    QMutexLocker guard(&lock);
    return finds.size();
}

bool NamedFinds::annotate(FileRecoveredInfo *info) {
    QMutexLocker guard(&lock);
    const auto it = byFirstByte.constFind(quint64(info->getOffset()));
    if (it == byFirstByte.constEnd() || finds[*it].used) return false;
    Find &f = finds[*it];
    f.used = true;
    if (f.state == FileRecoveredInfo::Named && (f.runsKnown || !info->isFragmented()))
        info->replaceRuns(f.runs);
    // It is a good find under its name.
    info->setOriginal(f.path, f.modified, f.created, f.accessed, FileRecoveredInfo::Named);
    return true;
}

QList<FileRecoveredInfo *> NamedFinds::takeRest(const QString &input) {
    QMutexLocker guard(&lock);
    QList<FileRecoveredInfo *> out;
    const QByteArray path = QFile::encodeName(input);
    for (Find &f : finds) {
        if (f.used) continue;
        f.used = true;
        auto *info = new r_info;
        memset(info, 0, sizeof *info);
        info->offset = f.runs[0].offset;
        info->length = f.size;
        if (size_t(path.size()) < sizeof info->path) memcpy(info->path, path.constData(), size_t(path.size()));
        // The suffix the name gives, where it is a plain short one.
        const QByteArray suffix = QFileInfo(f.path).suffix().toLower().toUtf8();
        if (!suffix.isEmpty() && size_t(suffix.size()) < sizeof info->suffix)
            memcpy(info->suffix, suffix.constData(), size_t(suffix.size()));
        FileRecoveredInfo *record = FileRecoveredInfo::newRecoveredInfo(info, f.runs);
        record->setDevFile(input);
        record->setOriginal(f.path, f.modified, f.created, f.accessed, f.state);
        out.append(record);
    }
    return out;
}
