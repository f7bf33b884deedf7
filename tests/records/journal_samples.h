#pragma once
// Sample held rows and the journal's file, for the tests of the journal and of the window's
// held rows.

#include "records/journal.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

namespace journal_samples {

inline QString journalPath(const QString& folder) {
    return QDir(folder).filePath(records::Journal::fileName());
}

inline void put(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

// Row n: its texts carry a tab, a backslash and a line feed, which the journal escapes.
inline records::HeldRow row(int n) {
    return {"2010/8/4",
            QString("09:0%1:00").arg(n),
            QString("浙A%1\t\\x\n").arg(n),
            QString(" %1").arg(n * 1000),
            " 0",
            QString(" %1").arg(n * 1000)};
}

// Every descriptor of this process open on `path` now reaches `device` instead (/dev/full:
// writes fail with ENOSPC; /dev/null: writes go through and syncs fail). False when none was.
inline bool pointDescriptorsAt(const QString& path, const char* device) {
    const int other = ::open(device, O_WRONLY | O_CLOEXEC);
    bool swapped = false;
    const QByteArray target = QFile::encodeName(QFileInfo(path).canonicalFilePath());
    for (int fd = 3; fd < 1024; ++fd) {
        char link[4096];
        const QByteArray proc = "/proc/self/fd/" + QByteArray::number(fd);
        const ssize_t n = ::readlink(proc.constData(), link, sizeof link);
        if (n > 0 && QByteArray(link, n) == target && fd != other)
            swapped = ::dup2(other, fd) >= 0;
    }
    ::close(other);
    return swapped;
}

} // namespace journal_samples
