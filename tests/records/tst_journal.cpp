// The journal file on its own: a torn last line at every length of the cut, rows brought to
// the disk in batches without the caller waiting, a sync or a write that fails, the commit
// line before a store and the row it names, a line after a failure, and a damaged journal
// that cannot be kept aside.

#include "records/day_workbook.h"
#include "records/journal.h"
#include "records/journal_samples.h"
#include "workbook/file_io.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>

using journal_samples::journalPath;
using journal_samples::pointDescriptorsAt;
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

    // A sync that fails is told once (on the worker's hook and in lastError()); the journal is
    // then in its error state and takes no more rows until a store opens it again.
    void failedSyncIsAnError() {
        QTemporaryDir folder;
        Journal journal(folder.path());
        std::atomic<int> told = 0;
        journal.onSyncFailed([&] { ++told; });
        journal.open();
        QVERIFY(journal.append(row(1)));
        QVERIFY(journal.waitSynced());
        QVERIFY(pointDescriptorsAt(journalPath(folder.path()), "/dev/null"));
        QVERIFY(journal.append(row(2)));
        QVERIFY(!journal.waitSynced());
        QVERIFY(!journal.isHealthy());
        QVERIFY(journal.lastError().startsWith("同步 "));
        QVERIFY(!journal.append(row(3)));
        QVERIFY(!journal.waitSynced());
        QCOMPARE(told.load(), 1);
        QVERIFY(journal.beginStore("2010-8-4.xls", "sheet1", 3, 2));
        QVERIFY(journal.isHealthy());
        // After the failure the commit line starts on a line of its own.
        QCOMPARE(contents(journalPath(folder.path())),
                 Journal::rowLine(row(1)) + '\n' +
                     Journal::commitLine("2010-8-4.xls", "sheet1", 3, 2));
    }

    // The commit line is on the disk before a store, also after a write that failed (the
    // journal is opened again). When the line cannot be written while the journal holds rows,
    // the store must not go ahead (the journal is not emptied instead: a power cut before the
    // workbook is replaced would leave the rows nowhere).
    void commitLineBeforeEveryStore_data() {
        QTest::addColumn<bool>("rows");       // rows written before the trouble
        QTest::addColumn<QString>("trouble"); // "", "failed write", "full device"
        QTest::addColumn<bool>("goesAhead");
        QTest::addColumn<bool>("committed"); // the file ends with the commit line
        QTest::newRow("healthy") << true << "" << true << true;
        QTest::newRow("after a failed write") << true << "failed write" << true << true;
        QTest::newRow("full device, rows held") << true << "full device" << false << false;
        QTest::newRow("full device, nothing held") << false << "full device" << true << false;
    }
    void commitLineBeforeEveryStore() {
        QFETCH(bool, rows);
        QFETCH(QString, trouble);
        QFETCH(bool, goesAhead);
        QFETCH(bool, committed);
        QTemporaryDir folder;
        const QString path = journalPath(folder.path());
        Journal journal(folder.path());
        journal.open();
        if (rows) { // on the disk before the trouble starts
            QVERIFY(journal.append(row(1)));
            QVERIFY(journal.waitSynced());
        }
        if (!trouble.isEmpty()) {
            QVERIFY(pointDescriptorsAt(path, "/dev/full"));
            if (trouble == "failed write")
                QVERIFY(!journal.append(row(2)));
        }
        QCOMPARE(journal.beginStore("2010-8-4.xls", "sheet1", 2, 1), goesAhead);
        const QByteArray commit = Journal::commitLine("2010-8-4.xls", "sheet1", 2, 1);
        QCOMPARE(contents(path).endsWith(commit), committed);
        if (rows)
            QVERIFY(contents(path).startsWith(Journal::rowLine(row(1))));
    }

    // A damaged journal that cannot be kept aside stays as it is and gives back no row; the
    // first start that can keep it aside takes its rows back, and only that one.
    void damagedJournalNotKeptAside() {
        QTemporaryDir folder;
        const QString path = journalPath(folder.path());
        const QByteArray damaged =
            Journal::rowLine(row(1)) + "R\tbroken\n" + Journal::rowLine(row(2));
        put(path, damaged);
        // A dangling link takes the first free name: the copy cannot be made there.
        const QString aside = QDir(folder.path()).filePath(Journal::keptAsideName(1));
        QVERIFY(QFile::link(folder.path() + "/nowhere/x", aside));
        {
            Journal journal(folder.path());
            const Journal::Recovery found = journal.open();
            QVERIFY(found.rows.empty());
            QVERIFY(found.keptAside.isEmpty());
            QVERIFY(!journal.isOpen());
            QVERIFY(journal.lastError().contains(Journal::keptAsideName(1)));
            QVERIFY(journal.beginStore("2010-8-4.xls", "sheet1", 2, 1));
            QVERIFY(!journal.clear());
        }
        QCOMPARE(contents(path), damaged);
        QVERIFY(QFile::remove(aside));
        for (const std::size_t expected : {2u, 0u}) {
            Journal journal(folder.path());
            const Journal::Recovery found = journal.open();
            QCOMPARE(found.rows.size(), expected);
            if (expected > 0)
                QVERIFY(journal.clear()); // as after the store of the rows
        }
        QCOMPARE(contents(aside), damaged);
    }

    // A commit line names the time of the store's last row, which the journal need not hold
    // (it was held in memory only after a write failed): the rows before it stay stored when
    // the workbook shows that row. A line without the time, as an earlier version wrote it,
    // stands for the last row line before it.
    void commitLineNamesTheLastRow_data() {
        QTest::addColumn<QString>("time"); // in the commit line
        QTest::addColumn<int>("back");     // rows taken back
        QTest::newRow("the last row's time") << row(2).time << 0;
        QTest::newRow("another time") << row(1).time << 1;
        QTest::newRow("no time: the last row line's") << QString() << 1;
    }
    void commitLineNamesTheLastRow() {
        QFETCH(QString, time);
        QFETCH(int, back);
        QTemporaryDir folder;
        const std::vector<QString> date{row(1).date, row(2).date}, times{row(1).time, row(2).time},
            car{row(1).carNo, row(2).carNo}, gross{row(1).gross, row(2).gross},
            tare{row(1).tare, row(2).tare}, net{row(1).net, row(2).net};
        records::DayWorkbook day(folder.path(), "2010-8-4",
                                 {[](const auto&) {}, [](const auto&) {}, [] {}});
        const records::StoreEnd end = day.store({date, times, car, gross, tare, net, 2});
        put(journalPath(folder.path()),
            Journal::rowLine(row(1)) +
                Journal::commitLine(end.file, end.sheet, end.last, end.serial, time));
        Journal journal(folder.path());
        QCOMPARE(journal.open().rows.size(), static_cast<std::size_t>(back));
    }

    // What a failure leaves at the journal's end on the disk (bytes the system could not
    // write, read back as zeros) does not take the next line with it: an empty line is passed
    // over, the bytes before the line feed are one damaged line.
    void lineAfterAFailureStandsAlone_data() {
        QTest::addColumn<QByteArray>("between");
        QTest::addColumn<int>("rows");
        QTest::addColumn<int>("damaged");
        QTest::newRow("nothing") << QByteArray("\n") << 2 << 0;
        QTest::newRow("dropped bytes") << QByteArray(42, '\0') + '\n' << 2 << 1;
        QTest::newRow("dropped bytes, no line feed") << QByteArray(42, '\0') << 1 << 1;
    }
    void lineAfterAFailureStandsAlone() {
        QFETCH(QByteArray, between);
        QFETCH(int, rows);
        QFETCH(int, damaged);
        QTemporaryDir folder;
        put(journalPath(folder.path()),
            Journal::rowLine(row(1)) + between + Journal::rowLine(row(2)));
        Journal journal(folder.path());
        const Journal::Recovery found = journal.open();
        QCOMPARE(found.rows.size(), static_cast<std::size_t>(rows));
        QCOMPARE(found.damagedLines, damaged);
    }
};

QTEST_APPLESS_MAIN(TstJournal)
#include "tst_journal.moc"
