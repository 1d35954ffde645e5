#include "diskpartitions.h"

#include "engine/recovery_engine.h"

#include <QFile>
#include <vector>

QList<PartitionInfo> DiskPartitions::read(const QString &path, QString *scheme) {
    QList<PartitionInfo> out;
    const QByteArray p = QFile::encodeName(path);
    char name[8] = {};
    // Tables list at most a few hundred partitions; ask again when more.
    std::vector<lmr_partition_info> info(16);
    int n = list_partitions(p.constData(), info.data(), int(info.size()), name);
    if (n > int(info.size())) {
        info.resize(size_t(n));
        n = list_partitions(p.constData(), info.data(), int(info.size()), name);
    }
    if (scheme) *scheme = QString::fromLatin1(name);
    for (int i = 0; i < n && i < int(info.size()); ++i) {
        PartitionInfo pi;
        pi.number = info[size_t(i)].number;
        pi.start = info[size_t(i)].start;
        pi.size = info[size_t(i)].size;
        pi.type = QString::fromUtf8(info[size_t(i)].type);
        pi.label = QString::fromUtf8(info[size_t(i)].label);
        pi.fileSystem = QString::fromUtf8(info[size_t(i)].file_system);
        out.append(pi);
    }
    return out;
}

void DiskPartitions::setScanPartition(int number) { __atomic_store_n(&scan_partition, number, __ATOMIC_RELAXED); }
int DiskPartitions::scanPartition() { return __atomic_load_n(&scan_partition, __ATOMIC_RELAXED); }
