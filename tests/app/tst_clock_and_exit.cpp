// The clock tick with its hourly automatic save, and the two ways a run ends, with and
// without unsaved rows and with a store that fails.

#include "doubles/fake_comm_control.h"
#include "indicator_sim/frames.h"
#include "support/form_harness.h"
#include "support/test_classes.h"
#include "workbook/file_io.h"

#include <QDir>
#include <QPushButton>
#include <QtTest>

using doubles::FakeCommControl;
using support::FormHarness;

namespace {

struct Rig {
    FakeCommControl* port = new FakeCommControl; // owned by the window
    FormHarness h{std::unique_ptr<platform::CommControl>(port)};
    QStringList statusTexts; // every text the status line was given

    Rig() {
        h->start();
        QObject::connect(h->Label4, &app::VbLabel::Change, h.form.get(),
                         [this] { statusTexts << h.status(); });
    }

    void reading(double kg) {
        port->received = indicator_sim::commandReply(*indicator_sim::readingFor(kg, 1));
        h->runEvent([&] { h->MSComm1_OnComm(); });
    }
    void tickAt(const QDateTime& t) {
        h.clock->time = t;
        h->runEvent([&] { h->Timer1_Timer(); });
    }
    QStringList files() const { return QDir(h.folder.path()).entryList(QDir::Files); }
    // The gross weights in the day's workbook, in their order.
    QList<double> stored() const {
        QList<double> out;
        const workbook::Sheet sheet =
            workbook::readBook(QDir(h.folder.path()).filePath("2010-8-4.xls")).sheet(0);
        for (int row = 2; row <= sheet.rowCount(); ++row)
            out << sheet.cell(row, 5).numberValue();
        return out;
    }
    // Whether the box on show starts with `text`.
    bool showing(const char* text) const {
        return !h.messages->shown.isEmpty() &&
               h.messages->shown.last().prompt.startsWith(QString::fromUtf8(text));
    }
    QStringList boxes() const {
        QStringList out;
        for (const auto& b : h.messages->shown)
            out << QString("%1|%2|%3").arg(b.prompt).arg(b.style).arg(b.title);
        return out;
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
    // The first tick comes at once and fills both lines; then a tick a second.
    void clockLines() {
        Rig r;
        QCOMPARE(r.h->Timer1->interval(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(r.h->Label1[5]->caption(), QString("时间：09时05分03秒"), 200);
        QCOMPARE(r.h->Label1[3]->caption(), QString("日期：2010年08月04日"));
        QCOMPARE(r.h->Timer1->interval(), 1000);
        r.tickAt(QDateTime(QDate(2010, 3, 5), QTime(8, 4, 7)));
        QCOMPARE(r.h->Label1[3]->caption(), QString("日期：2010年03月05日"));
        QCOMPARE(r.h->Label1[5]->caption(), QString("时间：08时04分07秒"));
    }

    // Which ticks save the held rows automatically, and into which day's workbook: the first
    // tick of each hour, however late it comes, once per hour boundary.
    void hourlySave_data() {
        QTest::addColumn<QDateTime>("before"); // the tick before the rows were recorded
        QTest::addColumn<QDateTime>("when");
        QTest::addColumn<bool>("rows");
        QTest::addColumn<QString>("file"); // empty: no save
        const auto at = [](int h, int m, int s, int days = 0) {
            return QDateTime(kDay.addDays(days), QTime(h, m, s));
        };
        QTest::newRow("10:00:00 with rows")
            << at(9, 59, 59) << at(10, 0, 0) << true << "2010-8-4.xls";
        QTest::newRow("10:00:00 without rows") << at(9, 59, 59) << at(10, 0, 0) << false << "";
        QTest::newRow("10:30:00") << at(10, 29, 59) << at(10, 30, 0) << true << "";
        QTest::newRow("10:00:01 after the 10:00:00 tick")
            << at(10, 0, 0) << at(10, 0, 1) << true << "";
        QTest::newRow("10:00:07, no tick in hh:00:00")
            << at(9, 59, 59) << at(10, 0, 7) << true << "2010-8-4.xls";
        QTest::newRow("clock jumped 09:59:58 to 11:20:00")
            << at(9, 59, 58) << at(11, 20, 0) << true << "2010-8-4.xls";
        QTest::newRow("00:00:00 the next day")
            << at(23, 59, 59) << at(0, 0, 0, 1) << true << "2010-8-5.xls";
    }
    void hourlySave() {
        QFETCH(QDateTime, before);
        QFETCH(QDateTime, when);
        QFETCH(bool, rows);
        QFETCH(QString, file);
        const bool saves = !file.isEmpty();
        Rig r;
        r.tickAt(before);
        if (rows)
            r.reading(85.6);
        r.statusTexts.clear();
        r.tickAt(when);
        QCOMPARE(r.h->Label1[3]->caption(), when.date().toString("日期：yyyy年MM月dd日"));
        QCOMPARE(r.statusTexts,
                 (saves ? QStringList{"数据自动保存中...", "数据保存成功！"} : QStringList{}));
        QCOMPARE(r.files(), saves ? QStringList{file} : QStringList{});
        QCOMPARE(r.h->Command4->isEnabled(), rows && !saves);
        QCOMPARE(r.h->Rec_Count, rows && !saves ? 1 : 0);
        // One save per boundary: the next tick in the same hour leaves later rows held.
        r.reading(90.1);
        r.tickAt(when.addSecs(1));
        QCOMPARE(r.h->Rec_Count, rows && !saves ? 2 : 1);
    }

    // Every way out: which boxes, what reaches the workbook, whether the process ends at once
    // (closing the window ends it by the close itself, which always goes through).
    void exitPaths_data() {
        QTest::addColumn<QString>("how"); // "button" or "close"
        QTest::addColumn<bool>("rows");
        QTest::addColumn<int>("answer"); // to the prompt
        QTest::addColumn<QStringList>("boxes");
        QTest::addColumn<bool>("saved");
        QTest::addColumn<bool>("ended");
        using L = QStringList;
        QTest::newRow("退出 with rows") << "button" << true << 0 << L{} << true << true;
        QTest::newRow("退出 without rows") << "button" << false << 0 << L{} << false << true;
        QTest::newRow("close without rows")
            << "close" << false << 0 << L{kThanks} << false << false;
        QTest::newRow("close with rows, No")
            << "close" << true << 7 << L{kPrompt} << false << false;
        // (the real program ends inside the close; here ending returns and the close goes on)
        QTest::newRow("close with rows, Yes")
            << "close" << true << 6 << L{kPrompt, kSavedThanks} << true << true;
    }
    void exitPaths() {
        QFETCH(QString, how);
        QFETCH(bool, rows);
        QFETCH(int, answer);
        QFETCH(QStringList, boxes);
        QFETCH(bool, saved);
        QFETCH(bool, ended);
        Rig r;
        if (rows)
            r.reading(85.6);
        if (answer)
            r.h.messages->answers << answer;
        bool visibleWhileSaving = true;
        if (saved)
            r.h.messages->whileShown = [&] { visibleWhileSaving = r.h->isVisible(); };
        if (how == "button")
            r.h->Command2->click();
        else
            QVERIFY(r.h->close());
        QCOMPARE(r.boxes(), boxes);
        QCOMPARE(r.files(), (saved ? QStringList{"2010-8-4.xls"} : QStringList{}));
        QCOMPARE(r.h.ended, ended ? 1 : 0);
        QVERIFY(!r.h->isVisible()); // hidden, or closed
        QVERIFY(!r.port->open);     // every way out releases the port
        if (saved && !boxes.isEmpty())
            QVERIFY(!visibleWhileSaving); // the thanks box shows on its own
    }

    // A store that fails on the way out or on the hour keeps the program, the window and the
    // rows; once mended, closing asks again and Yes stores them.
    void failingStoreKeepsTheRows_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("退出") << "button";
        QTest::newRow("close, Yes") << "close";
        QTest::newRow("hourly save") << "tick";
    }
    void failingStoreKeepsTheRows() {
        QFETCH(QString, how);
        Rig r;
        r.reading(85.6);
        r.reading(90.1);
        const QString folder = r.h.folder.path(); // gone: the store fails
        QVERIFY(QDir().rename(folder, folder + ".away"));
        if (how == "button")
            r.h->Command2->click();
        else if (how == "close")
            r.h->close();
        else {
            r.tickAt(QDateTime(kDay, QTime(10, 59, 59)));
            r.tickAt(QDateTime(kDay, QTime(11, 0)));
        }
        QVERIFY(QDir().rename(folder + ".away", folder));
        QCOMPARE(r.h.ended, 0);
        QVERIFY(r.h->isVisible());
        QCOMPARE(r.h->Rec_Count, 2);
        QVERIFY(r.h->Command4->isEnabled());
        QVERIFY(r.boxes().value(r.boxes().size() - 1).startsWith("数据保存失败！"));
        r.h.messages->shown.clear();
        r.h->close();
        QCOMPARE(r.boxes(), (QStringList{kPrompt, kSavedThanks}));
        QCOMPARE(r.h.ended, 1);
        QCOMPARE(r.files(), QStringList{"2010-8-4.xls"});
    }

    // The end asked for by the system stores the held rows without a question, also from
    // inside a box, and ends with the port closed; a store that fails leaves the rows in the
    // journal for the next start.
    void termination_data() {
        QTest::addColumn<QString>("box"); // the box open when the end comes
        QTest::addColumn<bool>("storeFails");
        QTest::newRow("no box") << "" << false;
        QTest::newRow("the close prompt open") << "prompt" << false;
        QTest::newRow("仪表连接失败！ open") << "meter" << false;
        QTest::newRow("store fails") << "" << true;
    }
    void termination() {
        QFETCH(QString, box);
        QFETCH(bool, storeFails);
        Rig r;
        r.reading(85.6);
        r.reading(90.1);
        const QString folder = r.h.folder.path();
        if (storeFails)
            QVERIFY(QDir().rename(folder, folder + ".away"));
        if (box.isEmpty()) {
            r.h->Terminate();
        } else {
            r.h.messages->whileShown = [&] { r.h->Terminate(); };
            if (box == "prompt") {
                r.h->close();
            } else {
                r.h->Label1[4]->setForeColor(app::kColorRed);
                r.h->Command1->click();
            }
        }
        if (storeFails)
            QVERIFY(QDir().rename(folder + ".away", folder));
        QVERIFY(r.h.ended >= 1);
        QVERIFY(!r.port->open);
        QVERIFY(!r.h->isVisible());
        QCOMPARE(r.boxes().size(), box.isEmpty() ? 0 : 1); // nothing shown after the end began
        QCOMPARE(r.files(), storeFails ? QStringList{} : QStringList{"2010-8-4.xls"});
        support::FormHarness next(std::make_unique<FakeCommControl>(), folder);
        next->start();
        QCOMPARE(next->Rec_Count, storeFails ? 2 : 0);
    }

    // However the end of the run follows a store, the rows are in the workbook once and
    // nothing comes back at the next start: a store leaves nothing held for a later way out.
    void storedOnceWhateverEndsTheRun_data() {
        QTest::addColumn<QString>("first"); // what stores the rows before the end comes
        QTest::newRow("close, 是, the end under the thanks box") << "thanks";
        QTest::newRow("退出, then the end") << "button";
        QTest::newRow("保存, then the end") << "save";
        QTest::newRow("the hourly save, then the end") << "tick";
    }
    void storedOnceWhateverEndsTheRun() {
        QFETCH(QString, first);
        Rig r;
        r.tickAt(QDateTime(kDay, QTime(10, 59, 59)));
        for (const double kg : {85.6, 90.1, 77.5})
            r.reading(kg);
        if (first == "thanks") {
            r.h.messages->whileShown = [&] {
                if (r.showing("您的数据已经保存成功"))
                    r.h->Terminate();
            };
            r.h->close();
        } else {
            if (first == "button")
                r.h->Command2->click();
            else if (first == "save")
                r.h->Command4->click();
            else
                r.tickAt(QDateTime(kDay, QTime(11, 0)));
            r.h->Terminate();
        }
        QCOMPARE(r.stored(), (QList<double>{85.6, 90.1, 77.5}));
        QVERIFY(r.h.ended >= 1);
        support::FormHarness next(std::make_unique<FakeCommControl>(), r.h.folder.path());
        next->start();
        QCOMPARE(next->Rec_Count, 0);
    }

    // 否 discards the held rows: nothing of them falls due later, not the hour's save that
    // came while the prompt waited, and nothing comes back at the next start.
    void noDiscardsAlsoAcrossTheHour_data() {
        QTest::addColumn<QTime>("answered"); // the clock when 否 is given
        QTest::newRow("prompt open across 11:00:00") << QTime(11, 0, 5);
        QTest::newRow("prompt answered at 10:59:58") << QTime(10, 59, 58);
    }
    void noDiscardsAlsoAcrossTheHour() {
        QFETCH(QTime, answered);
        Rig r;
        r.tickAt(QDateTime(kDay, QTime(10, 59, 55)));
        r.reading(85.6);
        r.reading(90.1);
        r.h.messages->answers << platform::msgbox::vbNo;
        r.h.messages->whileShown = [&] {
            r.h.clock->time = QDateTime(kDay, answered);
            QTest::qWait(1100);        // the clock ticks inside the prompt's loop
            r.h->closeAskedUnderBox(); // a second click on the close button meanwhile
        };
        r.h->close();
        QTest::qWait(50);                          // whatever fell due under the prompt runs now
        QCOMPARE(r.boxes(), QStringList{kPrompt}); // the closed window is not closed again
        QCOMPARE(r.files(), QStringList{});
        QCOMPARE(r.h->Rec_Count, 0);
        QVERIFY(!r.h->Command4->isEnabled());
        r.h.messages->whileShown = nullptr;
        r.tickAt(QDateTime(kDay, QTime(12, 0)));
        QCOMPARE(r.files(), QStringList{});
        support::FormHarness next(std::make_unique<FakeCommControl>(), r.h.folder.path());
        next->start();
        QCOMPARE(next->Rec_Count, 0);
    }

    // A close request that comes while a box waits is carried out once the box is answered.
    void closeDuringABoxWaits() {
        Rig r;
        r.reading(85.6);
        bool closedAtOnce = true;
        r.h.messages->whileShown = [&] {
            r.h.messages->whileShown = nullptr;
            closedAtOnce = r.h->close();
        };
        r.h.messages->answers << platform::msgbox::vbOK << platform::msgbox::vbYes;
        r.h->Label1[4]->setForeColor(app::kColorRed);
        r.h->Command1->click();
        QVERIFY(!closedAtOnce);
        QTRY_COMPARE(r.boxes().size(), 3);
        QCOMPARE(r.boxes().mid(1), (QStringList{kPrompt, kSavedThanks}));
        QCOMPARE(r.files(), QStringList{"2010-8-4.xls"});
        QCOMPARE(r.h.ended, 1);
    }

    // A box open across hh:00:00: the time line goes on while it waits, and the hour's save
    // runs as soon as it is answered.
    void boxOpenAcrossTheHour() {
        Rig r;
        r.tickAt(QDateTime(kDay, QTime(9, 59, 59)));
        r.reading(85.6);
        QStringList linesWhileOpen;
        QStringList filesWhileOpen;
        r.h.messages->whileShown = [&] {
            for (const int s : {0, 2, 4}) {
                r.h.clock->time = QDateTime(kDay, QTime(10, 0, s));
                QTest::qWait(1100); // the clock timer ticks inside the box's loop
                linesWhileOpen << r.h->Label1[5]->caption();
            }
            filesWhileOpen = r.files();
            r.h.clock->time = QDateTime(kDay, QTime(10, 0, 5));
        };
        r.h->Label1[4]->setForeColor(app::kColorRed);
        r.h->Command1->click();
        QCOMPARE(linesWhileOpen,
                 (QStringList{"时间：10时00分00秒", "时间：10时00分02秒", "时间：10时00分04秒"}));
        QCOMPARE(filesWhileOpen, QStringList{});
        QTRY_COMPARE_WITH_TIMEOUT(r.files(), QStringList{"2010-8-4.xls"}, 500);
        QCOMPARE(r.h->Rec_Count, 0);
        QVERIFY(!r.h->Command4->isEnabled());
    }
};

WB_TEST_CLASS(TstClockAndExit, "tst_clock_and_exit")
#include "tst_clock_and_exit.moc"
