// The clock tick with its hourly automatic save, and the two ways a run ends, with and
// without unsaved rows and with a store that fails.

#include "doubles/fake_comm_control.h"
#include "indicator_sim/frames.h"
#include "support/form_harness.h"

#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QtTest>

using doubles::FakeCommControl;
using support::FormHarness;

namespace {

struct Rig {
    FakeCommControl* port;
    FormHarness h;
    QStringList statusTexts; // every text the status line was given

    Rig() : Rig(std::make_unique<FakeCommControl>()) {}

    void reading(double kg) {
        port->received = indicator_sim::commandReply(*indicator_sim::readingFor(kg, 1));
        h->runEvent([&] { h->MSComm1_OnComm(); });
    }
    void tickAt(const QDateTime& t) {
        h.clock->time = t;
        h->runEvent([&] { h->Timer1_Timer(); });
    }
    bool close() { return h->close(); }
    QStringList files() const { return QDir(h.folder.path()).entryList(QDir::Files); }
    QStringList boxes() const {
        QStringList out;
        for (const auto& b : h.messages->shown)
            out << QString("%1|%2|%3").arg(b.prompt).arg(b.style).arg(b.title);
        return out;
    }
    // Makes the store fail until the returned folder name is restored.
    QString breakFolder() {
        const QString away = h.folder.path() + ".away";
        QDir().rename(h.folder.path(), away);
        return away;
    }
    void mendFolder(const QString& away) { QDir().rename(away, h.folder.path()); }

private:
    explicit Rig(std::unique_ptr<FakeCommControl> c) : port(c.get()), h(std::move(c)) {
        h->start();
        QObject::connect(h->Label4, &app::VbLabel::Change, h.form.get(),
                         [this] { statusTexts << h.status(); });
    }
};

const QDate kDay(2010, 8, 4);
const QString kThanks = "感谢使用本软件！|64|消息";
const QString kPrompt = "还有数据没有保存，是否保存？|36|保存信息";
const QString kSavedThanks = "您的数据已经保存成功！感谢使用本软件！|64|消息";

} // namespace

class TstClockAndExit : public QObject {
    Q_OBJECT
private slots:
    void clockLines() {
        Rig r;
        r.tickAt(QDateTime(QDate(2010, 3, 5), QTime(8, 4, 7)));
        QCOMPARE(r.h->Label1[3]->caption(), QString("日期：2010年03月05日"));
        QCOMPARE(r.h->Label1[5]->caption(), QString("时间：08时04分07秒"));
        QCOMPARE(r.h->Label1[3]->leftTwips(), 480.0f);
        QCOMPARE(r.h->Timer1->interval(), 1000);
    }

    void firstTickComesAtOnce() {
        Rig r;
        QCOMPARE(r.h->Timer1->interval(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(r.h->Label1[5]->caption(), QString("时间：09时05分03秒"), 200);
        QCOMPARE(r.h->Label1[3]->caption(), QString("日期：2010年08月04日"));
        QCOMPARE(r.h->Timer1->interval(), 1000);
    }

    // Which ticks save the held rows automatically.
    void hourlySave_data() {
        QTest::addColumn<QTime>("time");
        QTest::addColumn<bool>("rows");
        QTest::addColumn<bool>("saves");
        QTest::newRow("10:00:00 with rows") << QTime(10, 0, 0) << true << true;
        QTest::newRow("10:00:00 without rows") << QTime(10, 0, 0) << false << false;
        QTest::newRow("10:30:00 with rows") << QTime(10, 30, 0) << true << false;
        QTest::newRow("10:00:01 with rows") << QTime(10, 0, 1) << true << false;
        QTest::newRow("10:01:00 with rows") << QTime(10, 1, 0) << true << false;
    }
    void hourlySave() {
        QFETCH(QTime, time);
        QFETCH(bool, rows);
        QFETCH(bool, saves);
        Rig r;
        if (rows)
            r.reading(85.6);
        r.statusTexts.clear();
        r.tickAt(QDateTime(kDay, time));
        QCOMPARE(r.statusTexts, (saves ? QStringList{"数据自动保存中...", "数据保存成功！"}
                                       : QStringList{}));
        QCOMPARE(r.files(), (saves ? QStringList{"2010-8-4.xls"} : QStringList{}));
        QCOMPARE(r.h->Command4->isEnabled(), rows && !saves);
        QCOMPARE(r.h->Rec_Count, rows && !saves ? 1 : 0);
    }

    void midnightMovesTheDateAndSavesIntoTheNewDay() {
        Rig r;
        r.h.clock->time = QDateTime(kDay, QTime(23, 59, 58));
        r.reading(85.6);
        r.tickAt(QDateTime(kDay.addDays(1), QTime(0, 0, 0)));
        QCOMPARE(r.h->Label1[3]->caption(), QString("日期：2010年08月05日"));
        QCOMPARE(r.files(), QStringList{"2010-8-5.xls"});
        QVERIFY(!r.h->Command4->isEnabled());
    }

    void hourlySaveThatFailsKeepsTheRows() {
        Rig r;
        r.reading(85.6);
        const QString away = r.breakFolder();
        r.tickAt(QDateTime(kDay, QTime(11, 0, 0)));
        r.mendFolder(away);
        QCOMPARE(r.h->Rec_Count, 1);
        QVERIFY(r.h->Command4->isEnabled());
        QCOMPARE(r.h.messages->shown.size(), 1);
        r.tickAt(QDateTime(kDay, QTime(12, 0, 0)));
        QCOMPARE(r.h->Rec_Count, 0);
        QCOMPARE(r.files(), QStringList{"2010-8-4.xls"});
    }

    // Every way out: which boxes, what reaches the workbook, whether the process ends.
    void exitPaths_data() {
        QTest::addColumn<QString>("how");     // "button" or "close"
        QTest::addColumn<bool>("rows");
        QTest::addColumn<int>("answer");      // to the prompt
        QTest::addColumn<QStringList>("boxes");
        QTest::addColumn<bool>("saved");
        QTest::addColumn<bool>("ended");      // ended at once (the close path ends by closing)
        QTest::addColumn<bool>("closed");
        QTest::newRow("退出 with rows") << "button" << true << 0 << QStringList{} << true << true
                                       << false;
        QTest::newRow("退出 without rows")
            << "button" << false << 0 << QStringList{} << false << true << false;
        QTest::newRow("close without rows")
            << "close" << false << 0 << QStringList{kThanks} << false << false << true;
        QTest::newRow("close with rows, No")
            << "close" << true << 7 << QStringList{kPrompt} << false << false << true;
        QTest::newRow("close with rows, Yes")
            // (the real program ends inside the close; here ending returns and the close goes on)
            << "close" << true << 6 << QStringList{kPrompt, kSavedThanks} << true << true << true;
    }
    void exitPaths() {
        QFETCH(QString, how);
        QFETCH(bool, rows);
        QFETCH(int, answer);
        QFETCH(QStringList, boxes);
        QFETCH(bool, saved);
        QFETCH(bool, ended);
        QFETCH(bool, closed);
        Rig r;
        if (rows)
            r.reading(85.6);
        if (answer)
            r.h.messages->answers << answer;
        bool visibleWhileSaving = true;
        if (saved)
            r.h.messages->whileShown = [&] { visibleWhileSaving = r.h->isVisible(); };
        bool closedByEvent = false;
        if (how == "button")
            r.h->Command2->click();
        else
            closedByEvent = r.close();
        QCOMPARE(r.boxes(), boxes);
        QCOMPARE(r.files(), (saved ? QStringList{"2010-8-4.xls"} : QStringList{}));
        QCOMPARE(r.h.ended, ended ? 1 : 0);
        QVERIFY(!r.h->isVisible()); // hidden, or closed
        QCOMPARE(closedByEvent, closed);
        if (saved && !boxes.isEmpty())
            QVERIFY(!visibleWhileSaving); // the thanks box shows on its own
    }

    // A store that fails on the way out keeps the program, the window and the rows.
    void failingStoreOnTheWayOut_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("退出") << "button";
        QTest::newRow("close, Yes") << "close";
    }
    void failingStoreOnTheWayOut() {
        QFETCH(QString, how);
        Rig r;
        r.reading(85.6);
        r.reading(90.1);
        const QString away = r.breakFolder();
        if (how == "button")
            r.h->Command2->click();
        else
            r.close();
        r.mendFolder(away);
        QCOMPARE(r.h.ended, 0);
        QVERIFY(r.h->isVisible());
        QCOMPARE(r.h->Rec_Count, 2);
        QVERIFY(r.h->Command4->isEnabled());
        const QStringList shown = r.boxes();
        QVERIFY(!shown.isEmpty());
        QVERIFY(shown.last().startsWith("数据保存失败！"));
        QVERIFY(!shown.join('\n').contains("您的数据已经保存成功"));
        // Mended: closing asks again, and Yes stores the rows.
        r.h.messages->shown.clear();
        r.close();
        QCOMPARE(r.boxes(), (QStringList{kPrompt, kSavedThanks}));
        QCOMPARE(r.h.ended, 1);
        QCOMPARE(r.files(), QStringList{"2010-8-4.xls"});
    }
};

QTEST_MAIN(TstClockAndExit)
#include "tst_clock_and_exit.moc"
