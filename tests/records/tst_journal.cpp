// The journal file on its own: a torn last line at every length of the cut, and rows
// brought to the disk in batches without the caller waiting.

#include "records/journal.h"
#include "records/journal_samples.h"
#include "workbook/file_io.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using journal_samples::journalPath;
using journal_samples::put;
using journal_samples::row;
using records::HeldRow;
using records::Journal;

namespace {

QByteArray contents(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class TstJournal : public QObject {
    Q_OBJECT
private slots:
    // A run cut off in the middle of writing a row leaves part of a line: at every length of
    // the cut the whole rows before it come back, and nothing is reported. A line that lacks
    // only its line feed is whole.
    void tornLastLine() {
        QTemporaryDir folder;
        const QByteArray whole = Journal::rowLine(row(1)) + Journal::rowLine(row(2));
        const QByteArray last = Journal::rowLine(row(3));
        for (qsizetype cut = 0; cut <= last.size(); ++cut) {
            put(journalPath(folder.path()), whole + last.left(cut));
            Journal journal(folder.path());
            const Journal::Recovery found = journal.open();
            const bool third = cut >= last.size() - 1;
            QVERIFY2(found.rows.size() == (third ? 3u : 2u), qPrintable(QString::number(cut)));
            QCOMPARE(found.rows[1], row(2));
            QCOMPARE(found.damagedLines, 0);
            QVERIFY(found.keptAside.isEmpty());
            QVERIFY(journal.isOpen());
            // The journal of the new run holds exactly the rows taken back.
            QCOMPARE(contents(journalPath(folder.path())), whole + (third ? last : QByteArray()));
        }
        QCOMPARE(QDir(folder.path()).entryList(QDir::Files), QStringList{});
    }

    // A row reaches the disk without the caller waiting: one sync covers the rows written
    // while the previous sync ran.
    void syncsAreBatched() {
        QTemporaryDir folder;
        Journal journal(folder.path());
        journal.open();
        for (int n = 0; n < 2000; ++n)
            QVERIFY(journal.append(row(n % 9 + 1)));
        journal.waitSynced();
        QVERIFY(journal.syncCount() >= 1);
        QVERIFY(journal.syncCount() < 2000);
        QCOMPARE(contents(journalPath(folder.path())).count('\n'), 2000);
    }

    // Rows recorded after a store whose workbook shows the store's last row come back, all
    // of them and only they.
    void rowsAfterAStoredCommitComeBack() {
        QTemporaryDir folder;
        workbook::Book book;
        workbook::Sheet& s = book.addSheet("sheet1");
        s.setNumber(1, 8, 3);
        s.setNumber(3, 1, 2);
        s.setText(3, 3, row(2).time);
        workbook::writeBook(book, QDir(folder.path()).filePath("2010-8-4.xls"));
        put(journalPath(folder.path()), Journal::rowLine(row(1)) + Journal::rowLine(row(2)) +
                                            Journal::commitLine("2010-8-4.xls", "sheet1", 3, 2) +
                                            Journal::rowLine(row(3)) + Journal::rowLine(row(4)));
        Journal journal(folder.path());
        QCOMPARE(journal.open().rows, (std::vector<HeldRow>{row(3), row(4)}));
    }
};

QTEST_APPLESS_MAIN(TstJournal)
#include "tst_journal.moc"
