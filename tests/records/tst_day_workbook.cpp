// The day's workbook on its own: where the rows go in a new, a continued and a foreign day's
// file, what the store tells on the way, and that nothing of an unusable file is lost.

#include "records/day_workbook.h"
#include "records/save_failure.h"
#include "workbook/file_io.h"
#include "workbook/readers.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray contents(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Held rows in the window's shape: six columns of texts.
struct Held {
    std::vector<QString> date, time, carNo, gross, tare, net;
    explicit Held(int count) {
        for (int k = 0; k < count; ++k) {
            date.push_back(QStringLiteral("2010-8-4"));
            time.push_back(QStringLiteral("8:%1:00").arg(k % 60));
            carNo.push_back(QStringLiteral("浙A%1").arg(k));
            gross.push_back(QStringLiteral(" %1").arg(1000 + k));
            tare.push_back(QStringLiteral(" 0"));
            net.push_back(QString());
        }
    }
    records::HeldColumns columns() const {
        return {date, time, carNo, gross, tare, net, static_cast<std::int32_t>(date.size())};
    }
};

// A store into `folder` with every hook recorded.
struct Store {
    QList<records::StoreNotice> notices;
    QList<records::StoreEnd> ends;
    int failedWrites = 0;
    records::StoreEnd run(const QString& folder, const Held& rows) {
        records::DayWorkbook day(folder, QStringLiteral("2010-8-4"),
                                 {[this](const records::StoreNotice& n) { notices << n; },
                                  [this](const records::StoreEnd& e) { ends << e; },
                                  [this] { ++failedWrites; }});
        return day.store(rows.columns());
    }
};

} // namespace

class TstDayWorkbook : public QObject {
    Q_OBJECT
private slots:
    // A new day's file and its continuation: the header, the serials, H1, and the last row
    // told before each write.
    void newThenContinued() {
        QTemporaryDir dir;
        Store store;
        const records::StoreEnd first = store.run(dir.path(), Held(3));
        const records::StoreEnd second = store.run(dir.path(), Held(2));
        QCOMPARE(first.sheet, QString("sheet1"));
        QCOMPARE(first.last, 4);
        QCOMPARE(first.serial, 3);
        QCOMPARE(second.last, 6);
        QCOMPARE(second.serial, 5);
        QCOMPARE(store.ends.size(), 2);
        QCOMPARE(store.ends[1].last, 6);
        QCOMPARE(store.ends[1].file, QString("2010-8-4.xls"));
        QVERIFY(store.notices.isEmpty());
        const workbook::Book book = workbook::readBook(dir.filePath("2010-8-4.xls"));
        const workbook::Sheet& s = book.sheet(0);
        QCOMPARE(s.cell(1, 1).toString(), QString("序号"));
        QCOMPARE(s.cell(1, 8).toString(), QString(" 6")); // numbers read back as the number text
        QCOMPARE(s.cell(6, 1).toString(), QString(" 5"));
        QCOMPARE(s.cell(6, 4).toString(), QString("浙A1"));
        QVERIFY(s.cell(6, 7).isEmpty());
    }

    // Each held text is stored as the window holds it, in a new day's file (which holds the
    // captions already) as in a continued one: a text equal to a caption, one text in two
    // columns, a number text, a text of digits, an empty field; and the next store's texts
    // are its own.
    void heldTextsAsStored_data() {
        QTest::addColumn<int>("before"); // rows stored before
        QTest::newRow("a new day's file") << 0;
        QTest::newRow("a continued file") << 2;
    }
    void heldTextsAsStored() {
        QFETCH(int, before);
        QTemporaryDir dir;
        Store store;
        if (before > 0)
            store.run(dir.path(), Held(before));
        Held held(2);
        held.carNo = {QStringLiteral("净重"), QStringLiteral("序号")};
        held.tare = {QStringLiteral("序号"), QStringLiteral(" 12.5")};
        held.net = {QString(), QStringLiteral("8000")};
        store.run(dir.path(), held);
        Held next(1);
        next.carNo = {QStringLiteral("浙B9")};
        store.run(dir.path(), next);
        const workbook::Sheet s = workbook::readBook(dir.filePath("2010-8-4.xls")).sheet(0);
        const int r = before + 2;
        QCOMPARE(s.cell(r, 4).toString(), QString("净重"));
        QCOMPARE(s.cell(r + 1, 4).toString(), QString("序号"));
        QCOMPARE(s.cell(r, 6).toString(), QString("序号"));
        QCOMPARE(s.cell(r + 1, 6).kind(), workbook::Value::Kind::Number);
        QCOMPARE(s.cell(r + 1, 6).toString(), QString(" 12.5"));
        QVERIFY(s.cell(r, 7).isEmpty());
        QCOMPARE(s.cell(r + 1, 7).kind(), workbook::Value::Kind::Text);
        QCOMPARE(s.cell(r + 1, 7).toString(), QString("8000"));
        QCOMPARE(s.cell(r + 2, 4).toString(), QString("浙B9"));
        QCOMPARE(s.cell(r + 2, 3).toString(), QString("8:0:00"));
        QCOMPARE(s.cell(1, 7).toString(), QString("净重"));
    }

    // An existing day's file whose H1 is empty (someone's own sheet1, or one emptied by
    // hand) starts with the header in row 1, and its other cells stay.
    void emptyCounterStartsWithTheHeader() {
        QTemporaryDir dir;
        workbook::Book book;
        book.addSheet("Sheet1").setText(3, 10, "备注");
        workbook::writeBook(book, dir.filePath("2010-8-4.xls"));
        Store store;
        const records::StoreEnd end = store.run(dir.path(), Held(2));
        QCOMPARE(end.last, 3);
        QCOMPARE(end.serial, 2);
        const workbook::Sheet s = workbook::readBook(dir.filePath("2010-8-4.xls")).sheet(0);
        QCOMPARE(s.cell(1, 7).toString(), QString("净重"));
        QCOMPARE(s.cell(1, 8).toString(), QString(" 3"));
        QCOMPARE(s.cell(2, 1).toString(), QString(" 1"));
        QCOMPARE(s.cell(3, 10).toString(), QString("备注"));
        QVERIFY(store.notices.isEmpty());
    }

    // A file that cannot take the rows is renamed whole and told; the rows start a new file.
    void unusableFileIsSetAside_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reasonPart");
        QTest::newRow("no sheet1") << "nosheet"
                                   << "sheet1";
        QTest::newRow("H1 not a row") << "badh1"
                                      << "很多";
        QTest::newRow("H1 past the last row") << "bigh1"
                                              << "70000";
        QTest::newRow("not a workbook") << "text"
                                        << "";
    }
    void unusableFileIsSetAside() {
        QFETCH(QString, kind);
        QFETCH(QString, reasonPart);
        QTemporaryDir dir;
        const QString path = dir.filePath("2010-8-4.xls");
        if (kind == "text") {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("车号,毛重\n");
        } else {
            workbook::Book book;
            workbook::Sheet& s = book.addSheet(kind == "nosheet" ? "台账" : "sheet1");
            s.setText(1, 1, "序号");
            s.setText(1, 8, kind == "badh1" ? "很多" : kind == "bigh1" ? "70000" : "1");
            workbook::writeBook(book, path);
        }
        const QByteArray before = contents(path);
        Store store;
        const records::StoreEnd end = store.run(dir.path(), Held(1));
        QCOMPARE(store.notices.size(), 1);
        const records::StoreNotice& n = store.notices[0];
        QCOMPARE(n.kind, records::StoreNotice::Kind::SetAside);
        QCOMPARE(n.kept, dir.filePath("2010-8-4-damaged-1.xls"));
        QVERIFY(n.reason.contains(reasonPart));
        QCOMPARE(contents(n.kept), before);
        QCOMPARE(end.last, 2);
        QCOMPARE(workbook::readBook(path).sheet(0).cell(2, 4).toString(), QString("浙A0"));
    }

    // A day's file the editor opens but cannot lay the rows out in (its sheet1 has neither
    // DIMENSIONS nor cells): a copy is kept, and the rows are stored by value, texts and all.
    void refusedAtLayoutStoredByValue() {
        QTemporaryDir dir;
        const QString path = dir.filePath("2010-8-4.xls");
        workbook::Book book;
        book.addSheet("sheet1");
        workbook::writeBook(book, path);
        std::vector<std::uint8_t> stream = workbook::detail::openCompoundFile(path).stream;
        for (std::size_t pos = 0; pos + 4 <= stream.size();) {
            const std::size_t size = 4 + qFromLittleEndian<quint16>(&stream[pos + 2]);
            if (qFromLittleEndian<quint16>(&stream[pos]) == 0x0200) { // DIMENSIONS
                stream.erase(stream.begin() + qsizetype(pos),
                             stream.begin() + qsizetype(pos + size));
                break;
            }
            pos += size;
        }
        workbook::detail::writeStreamFile(stream, path);
        Store store;
        const records::StoreEnd end = store.run(dir.path(), Held(3));
        QCOMPARE(store.notices.size(), 1);
        QCOMPARE(store.notices[0].kind, records::StoreNotice::Kind::KeptBefore);
        QCOMPARE(end.last, 4);
        const workbook::Sheet s = workbook::readBook(path).sheet(0);
        QCOMPARE(s.cell(1, 4).toString(), QString("车号"));
        QCOMPARE(s.cell(4, 4).toString(), QString("浙A2"));
        QCOMPARE(s.cell(3, 3).toString(), QString("8:1:00"));
    }

    // A store that cannot write throws, tells the write's failure after announcing it, and
    // leaves the day's file as it was.
    void failedWriteLeavesTheFile() {
        QTemporaryDir dir;
        Store store;
        store.run(dir.path(), Held(2));
        const QString path = dir.filePath("2010-8-4.xls");
        const QByteArray before = contents(path);
        // The folder gone (renamed away): nothing can be written there.
        QVERIFY(QDir().rename(dir.path(), dir.path() + ".away"));
        QVERIFY_THROWS_EXCEPTION(records::SaveFailure, store.run(dir.path(), Held(1)));
        QVERIFY(QDir().rename(dir.path() + ".away", dir.path()));
        QCOMPARE(store.failedWrites, 1);
        QCOMPARE(contents(path), before);
    }
};

QTEST_APPLESS_MAIN(TstDayWorkbook)
#include "tst_day_workbook.moc"
