// The held rows in the window: what a run that ended without a store (crash, kill, power
// cut) leaves is taken back by the next start, in order, and stored once; a kill between the
// day's workbook being replaced and the journal being emptied does not store it twice; a
// damaged line and a journal that cannot be written are told to the operator.

#include "records/journal.h"
#include "records/journal_samples.h"
#include "support/store_rig.h"
#include "support/test_classes.h"

#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

using journal_samples::journalPath;
using journal_samples::put;
using journal_samples::row;
using records::HeldRow;
using records::Journal;
using support::contents;
using support::reply;

namespace {

// A window on a scripted port whose program folder is given, so that a second run can start
// where a first one ended.
struct Run {
    doubles::FakeCommControl* port = new doubles::FakeCommControl;
    support::FormHarness h;

    explicit Run(const QString& folder,
                 const QDateTime& t = QDateTime(QDate(2010, 8, 4), QTime(9, 5, 3)))
        : h(std::unique_ptr<platform::CommControl>(port), folder) {
        h.clock->time = t;
        h->start();
    }
    void feed(double kg) {
        port->received = reply(kg);
        h->runEvent([&] { h->MSComm1_OnComm(); });
    }
    void save() {
        h->runEvent([&] { h->Command4_Click(); });
    }
    QStringList held() const {
        QStringList out;
        for (std::size_t k = 0; k < static_cast<std::size_t>(h.form->Rec_Count); ++k)
            out << QStringList{h.form->Rec_Date[k],  h.form->Rec_Time[k], h.form->Rec_CarNo[k],
                               h.form->Rec_Gross[k], h.form->Rec_Tare[k], h.form->Rec_Net[k]}
                       .join('|');
        return out;
    }
    QStringList boxes() const {
        QStringList out;
        for (const auto& b : h.messages->shown)
            out << b.prompt;
        return out;
    }
};

// Gross weights of the rows in the day's workbook, in order.
QStringList storedGross(const QString& folder, const QString& day = "2010-8-4") {
    QStringList out;
    QString error;
    const workbook::Book book = wbtest::xlrdBook(QDir(folder).filePath(day + ".xls"), &error);
    if (book.sheetCount() == 0)
        return out;
    for (int r = 2; r <= book.sheet(0).rowCount(); ++r)
        out << book.sheet(0).cell(r, 5).toString();
    return out;
}

} // namespace

class TstHeldRows : public QObject {
    Q_OBJECT
private slots:
    // Rows recorded and never stored come back at the next start with their own date and
    // time, the save button enabled and the count on the status line; the next store writes
    // them once and empties the journal.
    void rowsComeBackAfterACrash() {
        QTemporaryDir folder;
        QStringList recorded;
        {
            Run first(folder.path());
            first.h->Text1[1]->setText("浙A\t001\\");
            first.feed(1000);
            first.feed(2000.5);
            first.h.clock->time = first.h.clock->time.addSecs(61);
            first.feed(3000);
            recorded = first.held();
            first.h->journal()->waitSynced();
            // The run ends without a store, as in a kill: nothing of the window's own end runs.
        }
        Run second(folder.path(), QDateTime(QDate(2010, 8, 4), QTime(14, 0, 0)));
        QCOMPARE(second.held(), recorded);
        QVERIFY(second.h->Command4->isEnabled());
        QCOMPARE(second.h.status(), QString("已恢复上次未保存的数据 3 条"));
        QCOMPARE(second.boxes(), QStringList{});
        second.feed(4000);
        second.save();
        QCOMPARE(storedGross(folder.path()), (QStringList{" 1000", " 2000.5", " 3000", " 4000"}));
        QCOMPARE(contents(journalPath(folder.path())), QByteArray());
        Run third(folder.path());
        QCOMPARE(third.h->Rec_Count, 0);
        QVERIFY(!third.h->Command4->isEnabled());
        QCOMPARE(third.h.status(), QString("欢迎使用本系统！"));
    }

    // The store writes its commit line before it replaces the day's workbook and empties the
    // journal after. A run ended between the two leaves rows and commit line behind: if the
    // workbook shows the store, the rows are not taken back; if it does not (the run ended
    // before the replacement), they are, and stored once.
    void neverTwice_data() {
        QTest::addColumn<bool>("replaced");   // the day's workbook was replaced before the end
        QTest::addColumn<bool>("earlierDay"); // a workbook of the day existed before the store
        QTest::addColumn<bool>("failedStoreBefore"); // an earlier store failed in this run
        QTest::newRow("ended after the replacement") << true << true << false;
        QTest::newRow("ended after the first store of a day") << true << false << false;
        QTest::newRow("ended before the replacement") << false << true << false;
        QTest::newRow("ended before the first store of a day") << false << false << false;
        QTest::newRow("after the replacement, a failed store before") << true << true << true;
        QTest::newRow("before the replacement, a failed store before") << false << true << true;
    }
    void neverTwice() {
        QFETCH(bool, replaced);
        QFETCH(bool, earlierDay);
        QFETCH(bool, failedStoreBefore);
        QTemporaryDir folder;
        const QString day = QDir(folder.path()).filePath("2010-8-4.xls");
        QStringList before;
        QByteArray journalAtEnd;
        QByteArray workbookBefore;
        {
            Run run(folder.path());
            if (earlierDay) {
                run.feed(100);
                run.save();
                before = storedGross(folder.path());
            }
            run.feed(1000);
            if (failedStoreBefore) {
                // A store that fails (its folder gone) leaves its commit line behind.
                QVERIFY(QDir().rename(folder.path(), folder.path() + ".away"));
                run.save();
                QVERIFY(QDir().rename(folder.path() + ".away", folder.path()));
                QVERIFY(run.h->Command4->isEnabled());
            }
            run.feed(2000);
            workbookBefore = contents(day);
            const QByteArray rows = contents(journalPath(folder.path()));
            run.save();
            QCOMPARE(contents(journalPath(folder.path())), QByteArray()); // emptied
            // What the journal held just before it was emptied: its rows and the commit line.
            const std::int64_t serial = before.size() + 2;
            journalAtEnd = rows + Journal::commitLine("2010-8-4.xls", "sheet1", serial + 1, serial);
        }
        put(journalPath(folder.path()), journalAtEnd);
        if (!replaced) {
            if (earlierDay)
                put(day, workbookBefore);
            else
                QVERIFY(QFile::remove(day));
        }
        Run next(folder.path());
        QCOMPARE(next.h->Rec_Count, replaced ? 0 : 2);
        QCOMPARE(next.h->Command4->isEnabled(), !replaced);
        next.feed(3000);
        next.save();
        QCOMPARE(storedGross(folder.path()), (before + QStringList{" 1000", " 2000", " 3000"}));
    }

    // A line in the middle whose check value does not match: the other rows come back, the
    // journal as it was is kept under a name of its own and the operator is told; a later
    // start finds a clean journal, and the kept file stays after the store.
    void damagedLine() {
        QTemporaryDir folder;
        QByteArray middle = Journal::rowLine(row(2));
        middle[5] = 'X';
        const QByteArray damaged = Journal::rowLine(row(1)) + middle + Journal::rowLine(row(3));
        put(journalPath(folder.path()), damaged);
        const QString aside = QDir(folder.path()).filePath(Journal::keptAsideName(1));
        {
            Run run(folder.path());
            QCOMPARE(run.h->Rec_Count, 2);
            QCOMPARE(run.h->Rec_Gross[1], QString(" 3000"));
            QCOMPARE(run.h.status(), QString("已恢复上次未保存的数据 2 条"));
            QCOMPARE(run.boxes().size(), 1);
            QVERIFY(run.boxes()[0].startsWith(
                "上次未保存的数据中有 1 行已损坏，无法恢复；其余 2 条已恢复。"));
            QVERIFY(run.boxes()[0].contains(QDir::toNativeSeparators(aside)));
            QCOMPARE(contents(aside), damaged);
        }
        Run again(folder.path());
        QCOMPARE(again.h->Rec_Count, 2);
        QCOMPARE(again.boxes(), QStringList{});
        again.save();
        QCOMPARE(storedGross(folder.path()), (QStringList{" 1000", " 3000"}));
        QCOMPARE(contents(aside), damaged);
    }

    // A journal that cannot be written is reported once; rows are recorded in memory and
    // stored as before. A journal whose writes fail is opened again after the next store.
    void journalCannotBeWritten_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("cannot be opened") << "folder"; // a folder where the journal should be
        QTest::newRow("writes fail") << "full";        // its writes go to a full device
    }
    void journalCannotBeWritten() {
        QFETCH(QString, how);
        QTemporaryDir folder;
        const QString path = journalPath(folder.path());
        if (how == "folder")
            QVERIFY(QDir(folder.path()).mkdir(Journal::fileName()));
        Run run(folder.path());
        if (how == "full") {
            // The journal's open descriptor now writes to a device that is always full.
            QVERIFY(journal_samples::pointDescriptorsAt(path, "/dev/full"));
        }
        run.feed(1000);
        run.feed(2000);
        QCOMPARE(run.h->Rec_Count, 2);
        QCOMPARE(run.h.status(), QString("数据记录正常！^_^"));
        QCOMPARE(run.boxes().size(), 1);
        QVERIFY(run.boxes()[0].startsWith("无法写入数据日志（"));
        QVERIFY(run.boxes()[0].contains("请及时点击“保存”"));
        run.save();
        run.feed(3000);
        QCOMPARE(run.boxes().size(), 1);
        QCOMPARE(storedGross(folder.path()), (QStringList{" 1000", " 2000"}));
        if (how == "full")
            QCOMPARE(contents(path),
                     Journal::rowLine(
                         HeldRow{run.h->Rec_Date[0], run.h->Rec_Time[0], "", " 3000", " 0", " 0"}));
    }

    // Answering No to the prompt on closing discards the held rows: they do not come back.
    void noOnClosingDiscards() {
        QTemporaryDir folder;
        {
            Run run(folder.path());
            run.feed(1000);
            run.h.messages->answers << platform::msgbox::vbNo;
            QVERIFY(run.h->close());
        }
        Run next(folder.path());
        QCOMPARE(next.h->Rec_Count, 0);
    }
};

WB_TEST_CLASS(TstHeldRows, "tst_held_rows")
#include "tst_held_rows.moc"
