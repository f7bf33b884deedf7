#pragma once
// Sample held rows and the journal's file, for the tests of the journal and of the window's
// held rows.

#include "records/journal.h"

#include <QDir>
#include <QFile>
#include <QtTest>

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

} // namespace journal_samples
