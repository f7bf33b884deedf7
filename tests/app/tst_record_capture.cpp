// Record capture and the day's workbook: readings become rows, "保存" appends them to the
// day's workbook in the program's folder, which an independent reader (xlrd) reads back.
// Also what happens when the day's file is unusable, a sheet is full, the store is full
// or the folder cannot be written.

#include "indicator_sim/frames.h"
#include "platform/serial_comm_control.h"
#include "support/compound_tree.h"
#include "support/pty.h"
#include "support/store_rig.h"
#include "support/test_classes.h"
#include "workbook/file_io.h"
#include "workbook/readers.h"

#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include <sys/stat.h>

using support::contents;
using support::FormHarness;
using support::reply;
using support::Rig;

namespace {

const QStringList kHeader = {"序号", "日期", "时间", "车号", "毛重", "皮重", "净重"};

QStringList header(const QString& h1) {
    return kHeader + QStringList{h1};
}

// A sheet1 of the program's own, filled with serial numbers down to row `last`.
void fillSheet1(workbook::Sheet& s, int last) {
    for (int c = 0; c < 7; ++c)
        s.setText(1, c + 1, kHeader[c]);
    for (int row = 2; row <= last; ++row)
        s.setNumber(row, 1, row - 1);
    s.setNumber(1, 8, last);
}

// Two stores: `count` rows held (a reading of 85.6 kg, then copies of its date with the gross
// weights 1, 2, ...), then one more reading of 90.1 kg.
void storeTwice(Rig& r, std::size_t count) {
    r.feed(reply(85.6));
    for (std::size_t i = 1; i < count; ++i) {
        r.h->Rec_Date[i] = r.h->Rec_Date[0];
        r.h->Rec_Gross[i] = QString(" %1").arg(i);
    }
    r.h->Rec_Count = static_cast<std::int32_t>(count);
    r.save();
    r.feed(reply(90.1));
    r.save();
}

// The notes sheet of the foreign fixtures, as its program wrote it.
void checkNotes(const workbook::Sheet& notes) {
    QCOMPARE(notes.name(), QString("Sheet2"));
    QCOMPARE(notes.rowCount(), 3);
    QCOMPARE(notes.cell(1, 1).toString(), QString("备注"));
    QCOMPARE(notes.cell(2, 2).toString(), QString("张三"));
    QCOMPARE(notes.cell(3, 2).numberValue(), 12.5);
}

// A reply whose check digits do not match: the display turns red.
QByteArray badReply(double kg) {
    return indicator_sim::commandReply(*indicator_sim::readingFor(kg, 1),
                                       {'A', 'B', indicator_sim::Corruption::WrongCheck});
}

void put(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

} // namespace

class TstRecordCapture : public QObject {
    Q_OBJECT
private slots:
    void storesOfADay() {
        Rig r;
        r.h->Text1[1]->setText("浙A00123");
        r.h->Text1[0]->setText("1500kg");
        r.feed(reply(2000.5));
        r.feed(reply(3000));
        r.h->Text1[1]->setText("00123");
        r.feed(reply(4000.25, 2));
        r.save();
        QCOMPARE(r.h.status(), QString("数据保存成功！"));
        QCOMPARE(r.h->Rec_Count, 0);
        QVERIFY(!r.h->Command4->isEnabled());
        // The net box was computed from the tare typed before the first reading arrived.
        const QList<QStringList> first = r.rows(r.dayFile());
        QCOMPARE(first.size(), 4);
        QCOMPARE(first[0], header(" 4"));
        QCOMPARE(first[1], (QStringList{" 1", "2010/8/4", "09:05:03", "浙A00123", " 2000.5",
                                        " 1500", " 0", ""}));
        QCOMPARE(first[3], (QStringList{" 3", "2010/8/4", "09:05:03", "00123", " 4000.25", " 1500",
                                        " 0", ""}));

        // A second store the same day continues below.
        r.h.clock->time = r.h.clock->time.addSecs(3600);
        r.h->Text1[0]->setText("0");
        r.feed(reply(10));
        r.feed(reply(20));
        r.save();
        const QList<QStringList> second = r.rows(r.dayFile());
        QCOMPARE(second.size(), 6);
        QCOMPARE(second[0], header(" 6"));
        QCOMPARE(second.mid(1, 3), first.mid(1, 3));
        // The net box keeps what the last tare edit computed: 4000.25 - 0.
        QCOMPARE(second[4],
                 (QStringList{" 4", "2010/8/4", "10:05:03", "00123", " 10", " 0", " 4000.25", ""}));
        QCOMPARE(second[5][0], QString(" 5"));
        QCOMPARE(second[5][4], QString(" 20"));
    }

    // What the record action makes of one notification after a good reading of 85.6.
    void recordAction_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("event");
        QTest::addColumn<int>("rows");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("box"); // prompt|title|style; empty: none
        const QString recorded = "数据记录正常！^_^";
        QTest::newRow("unchanged frame") << reply(85.6) << 2 << 1 << recorded << "";
        QTest::newRow("another kind of event repeats the reading")
            << QByteArray() << 1 << 2 << recorded << "";
        QTest::newRow("negative") << reply(-90.1) << 2 << 1 << "数据为负，不保存！请查询！"
                                  << "";
        QTest::newRow("zero") << reply(0) << 2 << 1 << "数据接收正常！"
                              << "";
        QTest::newRow("bad frame: red display")
            << badReply(90.1) << 2 << 1 << recorded << "仪表连接失败！||0";
    }
    void recordAction() {
        QFETCH(QByteArray, bytes);
        QFETCH(int, event);
        QFETCH(int, rows);
        QFETCH(QString, status);
        QFETCH(QString, box);
        Rig r;
        r.feed(reply(85.6));
        QCOMPARE(r.h->Rec_Count, 1);
        r.feed(bytes, static_cast<std::int16_t>(event));
        QCOMPARE(r.h->Rec_Count, rows);
        QCOMPARE(r.h.status(), status);
        QStringList shown;
        for (const auto& b : r.h.messages->shown)
            shown << QString("%1|%2|%3").arg(b.prompt, b.title).arg(b.style);
        QCOMPARE(shown, box.isEmpty() ? QStringList() : QStringList{box});
    }

    void pressingRecordTwiceAndEntryTexts() {
        Rig r;
        // No reading yet: 记录 and 保存 do nothing, silently.
        r.h->runEvent([&] { r.h->Command1_Click(); });
        r.save();
        QCOMPARE(r.h->Rec_Count, 0);
        QVERIFY(QDir(r.h.folder.path()).entryList(QDir::Files).isEmpty());
        QCOMPARE(r.h.status(), QString("欢迎使用本系统！"));
        QVERIFY(!r.h->Command4->isEnabled());
        r.feed(reply(85.6));
        r.h->Text1[0]->setText("皮重未知"); // counts as 0: the net box shows 85.6kg
        r.h->runEvent([&] { r.h->Command1_Click(); });
        r.h->Text1[0]->setText("100"); // net box: 出错！
        r.h->runEvent([&] { r.h->Command1_Click(); });
        QCOMPARE(r.h->Rec_Count, 3);
        QCOMPARE(r.h->Rec_Net[0], QString(" 0")); // the net box was still empty
        QCOMPARE(r.h->Rec_Tare[1], QString(" 0"));
        QCOMPARE(r.h->Rec_Net[1], QString(" 85.6"));
        QCOMPARE(r.h->Rec_Tare[2], QString(" 100"));
        QCOMPARE(r.h->Rec_Net[2], QString(" 0"));
        QCOMPARE(r.h->Rec_Gross[2], QString(" 85.6"));
    }

    void rowsJustAfterMidnightGoToTheNewDay() {
        Rig r;
        r.h.clock->time = QDateTime(QDate(2010, 8, 4), QTime(23, 59, 59));
        r.feed(reply(85.6));
        r.h.clock->time = QDateTime(QDate(2010, 8, 5), QTime(0, 0, 1));
        r.save();
        QVERIFY(!QFile::exists(r.dayFile("2010-8-4")));
        const QList<QStringList> rows = r.rows(r.dayFile("2010-8-5"));
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows[1][1], QString("2010/8/4"));
        QCOMPARE(rows[1][2], QString("23:59:59"));
    }

    // A day's file that exists but cannot take the rows is kept, renamed, and a new one made.
    void unusableDayFileIsSetAside_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("not a workbook") << "garbage";
        QTest::newRow("no sheet1") << "nosheet";
        QTest::newRow("H1 not a number") << "badh1";
    }
    void unusableDayFileIsSetAside() {
        QFETCH(QString, kind);
        Rig r;
        if (kind == "garbage") {
            put(r.dayFile(), "this is not a workbook\n");
        } else {
            workbook::Book book;
            workbook::Sheet& s = book.addSheet(kind == "nosheet" ? "台账" : "sheet1");
            s.setText(1, 1, "序号");
            s.setText(1, 8, kind == "nosheet" ? "1" : "很多");
            s.setText(2, 2, "旧数据");
            workbook::writeBook(book, r.dayFile());
        }
        const QByteArray before = contents(r.dayFile());
        put(r.dayFile("2010-8-4-damaged-1"), "older"); // not overwritten either

        r.feed(reply(85.6));
        r.save();
        QCOMPARE(r.h.messages->shown.size(), 1);
        QVERIFY(r.h.messages->shown[0].prompt.contains("2010-8-4-damaged-2.xls"));
        QCOMPARE(contents(r.dayFile("2010-8-4-damaged-2")), before);
        QCOMPARE(contents(r.dayFile("2010-8-4-damaged-1")), QByteArray("older"));
        QCOMPARE(r.rows(r.dayFile()).size(), 2);
        QCOMPARE(r.h->Rec_Count, 0);
    }

    // A store that cannot write: the reason is shown, the rows and the marker stay, and the
    // next try after the cause is gone writes them.
    void failedStoreKeepsTheRows() {
        Rig r;
        r.feed(reply(85.6));
        r.feed(reply(90.1));
        const QString folder = r.h.folder.path(); // gone: nothing can be written there
        QVERIFY(QDir().rename(folder, folder + ".away"));
        r.save();
        QVERIFY(QDir().rename(folder + ".away", folder));
        QCOMPARE(r.h.messages->shown.size(), 1);
        const QString prompt = r.h.messages->shown[0].prompt;
        QVERIFY(prompt.startsWith("数据保存失败！"));
        QVERIFY(prompt.contains(QDir::toNativeSeparators(folder)));
        QCOMPARE(r.h->Rec_Count, 2);
        QVERIFY(r.h->Command4->isEnabled());
        r.save();
        QCOMPARE(r.rows(r.dayFile()).size(), 3);
        QCOMPARE(r.h->Rec_Count, 0);
    }

    // All 10,001 slots in use: a further reading saves first, then takes slot 0; while that
    // save fails, the reading is refused and every row stays.
    void fullStore() {
        WB_ONCE_NOT_IN_LOCALE_REPEATS();
        Rig r;
        r.feed(reply(85.6));
        for (std::size_t i = 1; i < app::kRecSlots; ++i) {
            r.h->Rec_Date[i] = r.h->Rec_Date[0];
            r.h->Rec_Time[i] = r.h->Rec_Time[0];
            r.h->Rec_Gross[i] = QString(" %1").arg(i);
        }
        r.h->Rec_Count = app::kRecSlots;
        const QString folder = r.h.folder.path();
        QVERIFY(QDir().rename(folder, folder + ".away"));
        r.feed(reply(90.1));
        QVERIFY(QDir().rename(folder + ".away", folder));
        QCOMPARE(r.h->Rec_Count, int(app::kRecSlots));
        QCOMPARE(r.h->Rec_Gross[0], QString(" 85.6"));
        QVERIFY(r.h.status().contains("内存已满"));
        QCOMPARE(r.h.messages->shown.size(), 1);

        r.feed(reply(90.2));
        QCOMPARE(r.h->Rec_Count, 1);
        QCOMPARE(r.h->Rec_Gross[0], QString(" 90.2"));
        const QList<QStringList> rows = r.rows(r.dayFile());
        QCOMPARE(rows.size(), 10002);
        QCOMPARE(rows[10001][4], QString(" 10000"));
    }

    // 65,600 rows across two stores: a sheet ends at row 65,536 and the rest go to sheet2.
    void rowsBeyondOneSheet() {
        WB_ONCE_NOT_IN_LOCALE_REPEATS();
        Rig r;
        workbook::Book book;
        workbook::Sheet& s = book.addSheet("Sheet1");
        fillSheet1(s, 60001);
        for (int row = 2; row <= 60001; ++row)
            s.setText(row, 2, "2010/8/4");
        workbook::writeBook(book, r.dayFile());
        storeTwice(r, 5600);
        QString error;
        const workbook::Book saved = wbtest::xlrdBook(r.dayFile(), &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(saved.sheetCount(), 2);
        const workbook::Sheet& s1 = saved.sheet(0);
        const workbook::Sheet& s2 = saved.sheet(1);
        QCOMPARE(s2.name(), QString("sheet2"));
        QCOMPARE(s1.rowCount(), 65536);
        QCOMPARE(s1.cell(1, 8).numberValue(), 65536.0);
        QCOMPARE(s1.cell(65536, 1).numberValue(), 65535.0);
        QCOMPARE(s2.cell(1, 1).toString(), QString("序号"));
        QCOMPARE(s2.cell(2, 1).numberValue(), 65536.0);
        // 5,535 rows fit into sheet1, 65 went on, then the second store's one row.
        QCOMPARE(s2.rowCount(), 67);
        QCOMPARE(s2.cell(1, 8).numberValue(), 67.0);
        QCOMPARE(s2.cell(67, 1).numberValue(), 65601.0);
    }

    // Day's workbooks that a spreadsheet application made, with Sheet1, Sheet2 (notes) and
    // Sheet3: the rows go into Sheet1 under the header, the other sheets stay as they were,
    // and an empty vehicle number leaves its cell empty.
    void foreignDayFileContinuesInSheet1_data() {
        QTest::addColumn<QString>("fixture");
        QTest::newRow("LibreOffice") << "lo_three_sheets.xls";
        QTest::newRow("xlwt") << "xlwt_three_sheets.xls";
    }
    void foreignDayFileContinuesInSheet1() {
        QFETCH(QString, fixture);
        Rig r;
        QVERIFY(QFile::copy(QStringLiteral(WB_DAY_FILES_DIR "/") + fixture, r.dayFile()));
        QFile::setPermissions(r.dayFile(), QFile::ReadOwner | QFile::WriteOwner);
        r.feed(reply(85.6));
        r.save();
        r.feed(reply(90.1));
        r.save();
        QString error;
        const workbook::Book book = wbtest::xlrdBook(r.dayFile(), &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(book.sheetCount(), 3);
        const QList<QStringList> rows = r.rows(r.dayFile());
        QCOMPARE(rows.size(), 3);
        QCOMPARE(rows[0], header(" 3"));
        QCOMPARE(rows[2][0], QString(" 2"));
        QCOMPARE(rows[2][4], QString(" 90.1"));
        QVERIFY(book.sheet(0).cell(2, 4).isEmpty());
        checkNotes(book.sheet(1));
        QCOMPARE(book.sheet(2).rowCount(), 0);
    }

    // Sheet1 fills up in a file whose Sheet2 and Sheet3 are not the program's: the rows
    // continue in a new "sheet4", and the next store finds them there again.
    void spillPassesOverSheetsOfOthers() {
        WB_ONCE_NOT_IN_LOCALE_REPEATS();
        Rig r;
        workbook::Book book =
            workbook::readBook(QStringLiteral(WB_DAY_FILES_DIR "/lo_three_sheets.xls"));
        fillSheet1(book.sheet(0), 65530);
        workbook::writeBook(book, r.dayFile());
        storeTwice(r, 10);

        QString error;
        const workbook::Book saved = wbtest::xlrdBook(r.dayFile(), &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(saved.sheetCount(), 4);
        QCOMPARE(saved.sheet(0).cell(1, 8).numberValue(), 65536.0);
        QCOMPARE(saved.sheet(0).cell(65536, 1).numberValue(), 65535.0);
        checkNotes(saved.sheet(1));
        QCOMPARE(saved.sheet(2).rowCount(), 0);
        const workbook::Sheet& spill = saved.sheet(3);
        QCOMPARE(spill.name(), QString("sheet4"));
        QCOMPARE(spill.cell(1, 1).toString(), QString("序号"));
        // Four rows of the first store, then the second store's one row.
        QCOMPARE(spill.cell(1, 8).numberValue(), 6.0);
        QCOMPARE(spill.cell(2, 1).numberValue(), 65536.0);
        QCOMPARE(spill.cell(6, 1).numberValue(), 65540.0);
        QCOMPARE(spill.cell(6, 5).numberValue(), 90.1);
    }

    // A day's file a spreadsheet application saved with formulas, formats, a comment, a
    // picture and a notes sheet: the store adds its rows and keeps the rest, every other
    // stream byte for byte and the workbook's fonts and formats record for record.
    void storeKeepsWhatOthersAdded() {
        Rig r;
        QVERIFY(QFile::copy(QStringLiteral(WB_TEST_SOURCE_DIR "/data/lo_rich.xls"), r.dayFile()));
        QFile::setPermissions(r.dayFile(), QFile::ReadOwner | QFile::WriteOwner);
        const wbtest::CompoundTree before = wbtest::readCompoundTree(r.dayFile());
        r.feed(reply(85.6));
        r.save();
        QCOMPARE(r.h.messages->shown.size(), 0);
        QCOMPARE(r.h->Rec_Count, 0);
        const workbook::Book book = workbook::readBook(r.dayFile());
        QCOMPARE(book.sheet(0).cell(1, 8), workbook::Value::number(5));
        QCOMPARE(book.sheet(0).cell(5, 1), workbook::Value::number(4));
        QCOMPARE(book.sheet(0).cell(5, 5), workbook::Value::number(85.6));
        QCOMPARE(book.sheet(0).cell(1, 10), workbook::Value::number(36000)); // =SUM(G2:G4)
        QCOMPARE(book.sheet(0).cell(3, 9), workbook::Value::number(12000));  // =E3-F3
        const wbtest::CompoundTree after = wbtest::readCompoundTree(r.dayFile());
        QCOMPARE(after.root.children.size(), before.root.children.size());
        for (std::size_t i = 0; i < before.root.children.size(); ++i) {
            const auto& x = before.root.children[i];
            const auto& y = after.root.children[i];
            QCOMPARE(y.name, x.name);
            if (x.name != "Workbook") {
                QVERIFY(y.data == x.data);
                continue;
            }
            // The globals up to the first sheet entry: fonts, number formats, cell formats.
            std::size_t pos = 0;
            while (pos + 4 <= x.data.size() && qFromLittleEndian<quint16>(&x.data[pos]) != 0x0085)
                pos += 4 + qFromLittleEndian<quint16>(&x.data[pos + 2]);
            QVERIFY(pos > 1000);
            QVERIFY(std::equal(x.data.begin(), x.data.begin() + pos, y.data.begin()));
        }
    }

    // A day's file that the record-level editor cannot keep whole but that can be read (its
    // cells out of order): a byte-identical copy is kept beside it first, the operator is
    // told once, and the rows are stored; the next store edits the file without a word.
    void fileTheEditorCannotKeepIsCopiedFirst() {
        Rig r;
        workbook::Book book;
        workbook::Sheet& s = book.addSheet("sheet1");
        for (int c = 0; c < 7; ++c)
            s.setText(1, c + 1, kHeader[c]);
        s.setNumber(1, 8, 3);
        s.setNumber(2, 1, 1);
        s.setNumber(3, 1, 2);
        workbook::writeBook(book, r.dayFile());
        std::vector<std::uint8_t> stream = workbook::detail::openCompoundFile(r.dayFile()).stream;
        std::size_t pos = 0; // the second RK cell (A2, after H1) claims row 9
        for (int rk = 0; rk < 2; pos += 4 + qFromLittleEndian<quint16>(&stream[pos + 2]))
            if (qFromLittleEndian<quint16>(&stream[pos]) == 0x027E && ++rk == 2)
                break;
        qToLittleEndian<quint16>(8, &stream[pos + 4]);
        workbook::detail::writeStreamFile(stream, r.dayFile());
        const QByteArray before = contents(r.dayFile());

        r.feed(reply(85.6));
        const mode_t mask = ::umask(077); // the copy is the group's all the same
        r.save();
        ::umask(mask);
        QCOMPARE(r.h.messages->shown.size(), 1);
        QVERIFY(r.h.messages->shown[0].prompt.contains("2010-8-4-before-1.xls"));
        QCOMPARE(contents(r.dayFile("2010-8-4-before-1")), before);
        QCOMPARE(QFile::permissions(r.dayFile("2010-8-4-before-1")),
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser |
                     QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther);
        QCOMPARE(r.rows(r.dayFile()).size(), 9); // A9 as the file had it
        QCOMPARE(r.rows(r.dayFile())[3][4], QString(" 85.6"));
        r.feed(reply(90.1));
        r.save();
        QCOMPARE(r.h.messages->shown.size(), 1);
        QVERIFY(!QFile::exists(r.dayFile("2010-8-4-before-2")));
        QCOMPARE(r.rows(r.dayFile())[4][4], QString(" 90.1"));
        QCOMPARE(r.h->Rec_Count, 0);
    }

    // The connection box never stacks: notifications wait while it is open.
    void connectionBoxNeverStacks() {
        support::Pty pty;
        FormHarness h(std::make_unique<platform::SerialCommControl>(pty.slavePath()));
        h->start();
        pty.read(300, 6);
        pty.write(reply(85.6));
        QTRY_COMPARE(h->Rec_Count, 1);
        int boxesSeenInside = 0;
        h.messages->whileShown = [&] {
            // Bad frames keep coming while the operator reads the box.
            for (int i = 0; i < 5; ++i) {
                pty.write(badReply(90 + i));
                QTest::qWait(30);
            }
            boxesSeenInside = static_cast<int>(h.messages->shown.size());
        };
        pty.write(badReply(91.5));
        QTRY_VERIFY(!h.messages->shown.isEmpty());
        QCOMPARE(boxesSeenInside, 1);
        QCOMPARE(h->Rec_Count, 1);
    }
};

WB_TEST_CLASS(TstRecordCapture, "tst_record_capture")
#include "tst_record_capture.moc"
