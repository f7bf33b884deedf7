// Workbooks written by us and read back by our reader and by xlrd; the records of the
// stream; workbooks written by xlwt and LibreOffice; books stored by value as the day's
// workbook store does it; the number text that decides what a cell holds.

#include "workbook/biff_writer.h"
#include "workbook/file_io.h"
#include "workbook/text_pool.h"
#include "xls_test_support.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <cmath>
#include <cstring>
#include <functional>

using namespace workbook;
using BookMaker = std::function<Book()>;
Q_DECLARE_METATYPE(BookMaker)

namespace {

const char* const Captions[] = {"序号", "日期", "时间", "车号", "毛重", "皮重", "净重"};

// The day's rows as the store lays them out: header, then serial, date, time, vehicle,
// gross, tare, net; H1 the last row.
void fillDay(Sheet& sheet, int lastRow) {
    for (int c = 0; c < 7; ++c)
        sheet.setText(1, c + 1, QString::fromUtf8(Captions[c]));
    sheet.setNumber(1, 8, lastRow);
    for (int r = 2; r <= lastRow; ++r) {
        sheet.setNumber(r, 1, r - 1);
        sheet.setText(r, 2, QStringLiteral("2026/12/7"));
        sheet.setText(r, 3,
                      QStringLiteral("%1:%2:%3").arg(r / 3600 % 24).arg(r / 60 % 60).arg(r % 60));
        sheet.setText(r, 4, QString::fromUtf8(r % 3 ? "粤B%1" : "00%1").arg(r % 4999));
        sheet.setNumber(r, 5, 20000 + r % 15000 + (r % 4) * 0.25);
        sheet.setNumber(r, 6, 8000 + (r % 7) * 10.5);
        sheet.setNumber(r, 7, 12000 + r % 15000 + (r % 4) * 0.25 - (r % 7) * 10.5);
    }
}

// Texts of every length from 1 to 400, Latin and Chinese in turn, from B3 on, so that the
// strings meet the record boundaries of the shared-strings table at many offsets; the longest
// texts a cell holds; the day's rows on a second sheet.
Book stringsBook() {
    Book book;
    Sheet& sheet = book.addSheet(QStringLiteral("long"));
    for (int i = 0; i < 3000; ++i) {
        const QString s = QStringLiteral("%1:").arg(i);
        const QChar fill = i % 2 == 0 ? QChar(u'a' + i % 26) : QChar(0x4E00 + i % 500);
        sheet.setText(i + 3, 2 + i % 3,
                      s + QString(std::max<qsizetype>(0, 1 + (i * 37) % 400 - s.size()), fill));
    }
    sheet.setText(3, 5, QString(MaxTextLength, QChar(0x91CD)));
    sheet.setText(4, 5, QString(MaxTextLength - 1, u'x') + QChar(0x91CD));
    sheet.setText(5, 5, QStringLiteral("after"));
    for (int i = 0; i < 30000; ++i) // short texts in an irregular run: starts near boundaries
        sheet.setText(i + 3, 6,
                      (i % 7 ? QString() : QString(QChar(0x4E00 + i % 999))) + QString::number(i));
    fillDay(book.addSheet(QStringLiteral("sheet2")), 10);
    return book;
}

// Texts of the vehicle and net boxes, in turn, and the number each must be stored as (so
// that a spreadsheet can sum it); any text that is no number text stays that text.
const std::pair<const char*, double> Texts[] = {{" 15.25", 15.25}, {"00123", NAN},  {"-1.5", -1.5},
                                                {"出错！", NAN},   {" 0", 0},       {"1", NAN},
                                                {"", NAN},         {"8:04:07", NAN}};

QString textFor(int i) {
    return QString::fromUtf8(Texts[i % std::size(Texts)].first);
}
// The cell the store makes of textFor(i): a number text is a number, an empty text an
// empty cell, anything else a text.
Value cellFor(int i) {
    const double number = Texts[i % std::size(Texts)].second;
    if (!std::isnan(number))
        return Value::number(number);
    return textFor(i).isEmpty() ? Value() : Value::text(textFor(i));
}

// What the store does with one batch of rows: open (or, when the day's file is missing,
// add and save a new workbook with the header first), continue below the row counter in H1,
// save and close. Returns H1 as it was read.
Value store(const QString& path, int rows) {
    Book book;
    try {
        book = readBook(path);
    } catch (const Error& e) {
        if (e.kind() != Error::Kind::Missing)
            throw;
        Sheet& first = book.addSheet(QStringLiteral("Sheet1"));
        for (int c = 0; c < 7; ++c)
            first.setValue(1, c + 1, storedValue(QString::fromUtf8(Captions[c])));
        first.setValue(1, 8, storedValue(QStringLiteral("1")));
        writeBook(book, path);
        book = readBook(path);
    }
    const int index = book.indexOf(u"sheet1");
    Sheet& ws = book.sheet(index);
    book.setActiveSheet(index);
    const Value h1 = ws.cell(1, 8);
    int last = h1.kind() == Value::Kind::Number ? int(h1.numberValue()) : h1.textValue().toInt();
    for (int k = 0; k < rows; ++k) {
        ++last;
        ws.setValue(last, 1, storedValue(workbook::numberText(last - 1)));
        ws.setValue(last, 2, storedValue(QStringLiteral("2026/12/7")));
        ws.setValue(last, 4, storedValue(textFor(last)));
        ws.setValue(last, 7, storedValue(textFor(last + 1)));
    }
    ws.setValue(1, 8, storedValue(workbook::numberText(last)));
    writeBook(book, path);
    return h1;
}

} // namespace

class TestWorkbookFiles : public QObject {
    Q_OBJECT
private slots:
    void roundTrip_data();
    void roundTrip();
    void streamRecords();
    void foreignFiles_data();
    void foreignFiles();
    void storesOfADay();
    void spillSheet();
    void numberText_data();
    void numberText();
    void numberTextRecognition();
    void textPool_data();
    void textPool();

private:
    QTemporaryDir m_dir;
};

void TestWorkbookFiles::roundTrip_data() {
    QTest::addColumn<BookMaker>("make");
    // Under 4096 bytes: the stream goes in the compound file's mini stream.
    QTest::newRow("small: day's rows, awkward numbers, booleans") << BookMaker([] {
        Book book;
        fillDay(book.addSheet(QStringLiteral("sheet1")), 4);
        Sheet& sheet = book.addSheet(QString(MaxSheetNameLength, QChar(0x8868)));
        int row = 0; // numbers that fit an RK record and numbers just beyond
        for (double n :
             {0.0, -0.0, 1.01, 0.1, 1e-300, 1.7e308, -536870912.0, 536870911.0, 536870912.0,
              -536870913.0, 123456.785, 5368709.11, 2.5e-5, 4.9406564584124654e-324})
            sheet.setNumber(++row, 1, n);
        sheet.setBoolean(1, 2, true);
        sheet.setBoolean(2, 2, false);
        sheet.setText(3, 2, QString());
        sheet.setText(4, 2, QStringLiteral(" 15.25")); // texts that read as numbers stay texts
        sheet.setText(5, 2, QStringLiteral("1e3"));
        return book;
    });
    // Over 109 FAT sectors (about 7.1 MB): the compound file needs DIFAT sectors.
    QTest::newRow("65,536 rows, several sheets, DIFAT") << BookMaker([] {
        Book book;
        fillDay(book.addSheet(QStringLiteral("sheet1")), MaxRows);
        fillDay(book.addSheet(QStringLiteral("sheet2")), 20000);
        book.addSheet(QString::fromUtf8("空表"));
        Sheet& last = book.addSheet(QStringLiteral("Sheet3"));
        last.setText(5, 3, QStringLiteral("2026/12/7"));
        last.setNumber(200, MaxColumns, -1.5);
        book.setActiveSheet(1);
        return book;
    });
    QTest::newRow("shared strings over CONTINUE records, longest texts") << BookMaker(stringsBook);
}

void TestWorkbookFiles::roundTrip() {
    QFETCH(BookMaker, make);
    const Book book = make();
    const QString path = m_dir.filePath(QStringLiteral("%1.xls").arg(QTest::currentDataTag()));
    writeBook(book, path);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    if (file.size() > 109 * 128 * 512) // more sectors than the header's FAT entries reach
        QVERIFY(qFromLittleEndian<quint32>(file.read(512).constData() + 0x48) > 0);

    QString difference = wbtest::firstDifference(book, readBook(path));
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
    QString error;
    const Book byXlrd = wbtest::xlrdBook(path, &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    difference = wbtest::firstDifference(book, byXlrd);
    QVERIFY2(difference.isEmpty(), qPrintable(QStringLiteral("xlrd: ") + difference));
}

// What a lenient reader lets pass, checked by the rules of [MS-XLS] without the component's
// reader: record sizes, the globals in order, exact DIMENSIONS, and the shared strings over
// CONTINUE records.
void TestWorkbookFiles::streamRecords() {
    const Book book = stringsBook();
    const std::vector<std::uint8_t> s = biff::workbookStream(book);
    auto le16 = [&](std::size_t at) { return qFromLittleEndian<std::uint16_t>(s.data() + at); };
    auto le32 = [&](std::size_t at) { return qFromLittleEndian<std::uint32_t>(s.data() + at); };
    auto end = [&](std::size_t record) { return record + 4 + le16(record + 2); };

    std::vector<std::size_t> records; // where each record's header is
    for (std::size_t at = 0; at + 4 <= s.size(); at = end(at)) {
        records.push_back(at);
        QVERIFY2(le16(at + 2) <= biff::MaxRecordData, qPrintable(QString::number(at)));
    }
    QCOMPARE(end(records.back()), s.size());
    auto find = [&](int type, bool count = false) {
        const auto is = [&](std::size_t at) { return le16(at) == type; };
        return count ? std::size_t(std::count_if(records.begin(), records.end(), is))
                     : std::size_t(std::find_if(records.begin(), records.end(), is) -
                                   records.begin());
    };
    // BOF of BIFF8 globals; CODEPAGE (UTF-16), WINDOW1, FONT (5 or more), XF (16 or more),
    // STYLE, BOUNDSHEET, SST, EXTSST, EOF in this order.
    QCOMPARE(le32(0) & 0xFFFF, 0x0809u);
    QCOMPARE(le32(4), 0x00050600u);
    std::vector<std::size_t> order;
    for (int type : {0x0042, 0x003D, 0x0031, 0x00E0, 0x0293, 0x0085, 0x00FC, 0x00FF, 0x000A})
        order.push_back(find(type));
    QVERIFY(std::is_sorted(order.begin(), order.end()) && order.back() < records.size());
    QCOMPARE(le16(records[order[0]] + 4), 1200);
    QVERIFY(find(0x0031, true) >= 5 && find(0x00E0, true) >= 16);

    for (int i = 0; i < book.sheetCount(); ++i) { // DIMENSIONS: first row, last + 1, columns
        std::size_t at = le32(records[order[5] + std::size_t(i)] + 4);
        while (le16(at) != 0x0200)
            at = end(at);
        const QList<int> dimensions{int(le32(at + 4)), int(le32(at + 8)), le16(at + 12),
                                    le16(at + 14)};
        QCOMPARE(dimensions, (QList<int>{i == 0 ? 2 : 0, book.sheet(i).rowCount(), i == 0 ? 1 : 0,
                                         book.sheet(i).columnCount()}));
    }

    // The shared strings: count, flags and first character in one record; a CONTINUE that
    // goes on with a string starts with its flags byte; no character split.
    std::size_t record = order[6], at = records[record] + 12;
    auto left = [&] { return end(records[record]) - at; };
    auto next = [&] {
        at = records[++record] + 4;
        return le16(records[record]) == 0x003C;
    };
    int splitStrings = 0;
    for (std::uint32_t i = le32(at - 4); i > 0; --i) { // each of the unique strings
        if (left() == 0)
            QVERIFY(next());
        std::size_t length = le16(at);
        bool wide = (s[at + 2] & 1) != 0;
        QVERIFY2(left() >= (wide ? 5u : 4u),
                 "a string's header and first character must share a record");
        for (at += 3; length > 0;) {
            if (left() == 0) {
                QVERIFY(next());
                wide = (s[at++] & 1) != 0;
                ++splitStrings;
            }
            const std::size_t n = std::min(length, left() / (wide ? 2 : 1));
            QVERIFY2(n > 0, "a character split between records");
            at += n * (wide ? 2 : 1);
            length -= n;
        }
    }
    QVERIFY(left() == 0 && record + 1 == order[7]);
    QVERIFY2(record > order[6] + 2 && splitStrings > 1, "several CONTINUE records, split strings");
}

void TestWorkbookFiles::foreignFiles_data() {
    QTest::addColumn<QString>("file");
    // Cells of the first sheet that our reader gives as text where xlrd gives a date's
    // serial number: "row,column,text".
    QTest::addColumn<QStringList>("asText");
    QTest::newRow("xlwt values, date, formula, sheets")
        << "values.xls" << QStringList{"7,1,2026-12-07"};
    QTest::newRow("xlwt 20,000 rows, CONTINUE records") << "big.xls" << QStringList();
    QTest::newRow("LibreOffice day's workbook") << "data/lo_day.xls" << QStringList();
    // Cached formula results (number, text, boolean, empty text); a date and a time.
    QTest::newRow("LibreOffice formulas, date, time")
        << "data/lo_mixed.xls" << QStringList{"2,1,2026-12-07", "2,2,08:04:07"};
}

void TestWorkbookFiles::foreignFiles() {
    QFETCH(QString, file);
    QFETCH(QStringList, asText);
    QString error;
    static const bool generated = [&] {
        wbtest::runPython(QStringLiteral("xlwt_fixtures.py"), {m_dir.path()}, &error);
        return error.isEmpty();
    }();
    QVERIFY2(generated, qPrintable(error));
    const QString path =
        file.startsWith(u"data/") ? wbtest::sourceDir() + u'/' + file : m_dir.filePath(file);
    Book expected = wbtest::xlrdBook(path, &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    for (const QString& cell : asText) {
        const QStringList p = cell.split(u',');
        expected.sheet(0).setText(p[0].toInt(), p[1].toInt(), p[2]);
    }
    const QString difference = wbtest::firstDifference(expected, readBook(path));
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
}

// Two stores: the file the first one starts holds H1 as the text "1", the second finds it a
// number. Both readers see every cell as the store meant it.
void TestWorkbookFiles::storesOfADay() {
    const QString path = m_dir.filePath(QStringLiteral("2026-12-7.xls"));
    QCOMPARE(store(path, 4), Value::text(QStringLiteral("1")));
    QCOMPARE(store(path, 5), Value::number(5));

    Book expected;
    Sheet& sheet = expected.addSheet(QStringLiteral("Sheet1"));
    for (int c = 0; c < 7; ++c)
        sheet.setText(1, c + 1, QString::fromUtf8(Captions[c]));
    sheet.setNumber(1, 8, 10);
    for (int r = 2; r <= 10; ++r) {
        sheet.setNumber(r, 1, r - 1);
        sheet.setText(r, 2, QStringLiteral("2026/12/7"));
        sheet.setValue(r, 4, cellFor(r));
        sheet.setValue(r, 7, cellFor(r + 1));
    }
    QString difference = wbtest::firstDifference(expected, readBook(path));
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
    QString error;
    const Book byXlrd = wbtest::xlrdBook(path, &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    difference = wbtest::firstDifference(expected, byXlrd);
    QVERIFY2(difference.isEmpty(), qPrintable(QStringLiteral("xlrd: ") + difference));
}

// Rows beyond one sheet go on in "sheet2"; the saved file keeps both, and the store finds
// the second by name.
void TestWorkbookFiles::spillSheet() {
    const QString path = m_dir.filePath(QStringLiteral("spill.xls"));
    Book book;
    book.addSheet(QStringLiteral("Sheet1"))
        .setValue(MaxRows, 1, storedValue(QStringLiteral(" 65535")));
    QVERIFY_THROWS_EXCEPTION(
        Error, book.sheet(0).setValue(MaxRows + 1, 1, storedValue(QStringLiteral("x"))));
    book.addSheet(QStringLiteral("sheet2")).setValue(1, 1, storedValue(QStringLiteral(" 65536")));
    book.setActiveSheet(1);
    writeBook(book, path);

    const Book back = readBook(path);
    QCOMPARE(back.sheet(0).cell(MaxRows, 1), Value::number(65535));
    QCOMPARE(back.sheet(back.indexOf(u"SHEET2")).cell(1, 1), Value::number(65536));
    QCOMPARE(back.indexOf(u"sheet3"), -1);
}

void TestWorkbookFiles::numberText_data() {
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("text");
    QTest::newRow("negative zero") << -0.0 << " 0";
    QTest::newRow("weight") << 15.25 << " 15.25";
    QTest::newRow("negative") << -1.5 << "-1.5";
    QTest::newRow("binary fraction noise") << 0.1 + 0.2 << " 0.3";
    QTest::newRow("fifteen digits") << 123456789012.345 << " 123456789012.345";
    QTest::newRow("rounds at fifteen digits") << 123456789.123456789 << " 123456789.123457";
    QTest::newRow("rounded, no exponent") << 1234567890123456789.0 << " 1234567890123460000";
    QTest::newRow("carries into a new digit") << 9.999999999999998 << " 10";
    QTest::newRow("tiny, no exponent") << 1e-21 << " 0.000000000000000000001";
}

// The text of the value, and the text recognised as the number it reads as.
void TestWorkbookFiles::numberText() {
    QFETCH(double, value);
    QFETCH(QString, text);
    QCOMPARE(workbook::numberText(value), text);
    QCOMPARE(workbook::numberFromText(text).value_or(NAN), text.toDouble());
}

// Texts that are no number text are stored as they are. Every number text is recognised,
// and the number read back gives the same text again, so the store's round trip through a
// number cell is exact: weights with up to two decimals, any finite double, and numbers of
// every size from 1e-20 to 1e20.
void TestWorkbookFiles::numberTextRecognition() {
    for (const char* text :
         {"15", "00123", " 00123", "2026/12/7", "8:04:07", " 1.50", " 1.", " .5", "-0", " 0.0",
          " 1e5", "+1", "  1", " 1 ", "", " ", " 1234567890123456", " １"})
        QVERIFY2(!workbook::numberFromText(QString::fromUtf8(text)), text);
    QVERIFY(!workbook::numberFromText(QString(u' ') + QString(320, u'9'))); // beyond a double

    QRandomGenerator random(20261207);
    for (int i = 0; i < 200000; ++i) {
        const quint64 bits = random.generate64();
        double value = i % 3 == 0 ? random.bounded(10000000) / 100.0
                                  : -random.bounded(1.0) * std::pow(10.0, random.bounded(40) - 20);
        if (i % 3 == 1)
            std::memcpy(&value, &bits, 8);
        if (!std::isfinite(value))
            continue;
        const QString text = workbook::numberText(value);
        const std::optional<double> back = workbook::numberFromText(text);
        // The nearest double to the text, as a correctly rounding reader gives it.
        if (!back || workbook::numberText(*back) != text || *back != text.toDouble())
            QFAIL(qPrintable(QStringLiteral("%1 gives \"%2\", which does not come back")
                                 .arg(value, 0, 'g', 17)
                                 .arg(text)));
    }
}

// Each text keeps the number it was first given, whichever way it came in (sought, appended
// unsought, handed over as distinct) and after the index is dropped, reserved or has grown.
// "+X" appends, "=X Y" hands over distinct texts, "X N" seeks X and expects N, "!" drops the
// index, "^K" reserves room for K, "*K" seeks K new texts and every one of them again, "~"
// empties the pool.
void TestWorkbookFiles::textPool_data() {
    QTest::addColumn<QStringList>("steps");
    QTest::newRow("sought twice") << QStringList{"a 0", "b 1", "a 0", "b 1"};
    QTest::newRow("appended, then sought") << QStringList{"+a", "+b", "b 1", "c 2", "a 0"};
    QTest::newRow("handed over, then sought") << QStringList{"=a b c", "c 2", "d 3", "a 0"};
    QTest::newRow("appended after seeking") << QStringList{"a 0", "+b", "+c", "c 2", "d 3"};
    QTest::newRow("index dropped") << QStringList{"a 0", "b 1", "!", "b 1", "c 2", "a 0"};
    QTest::newRow("room reserved while indexed")
        << QStringList{"a 0", "^1000", "b 1", "a 0", "*3000", "b 1"};
    QTest::newRow("grown many times, appended between")
        << QStringList{"*20", "+x", "*5000", "x 20"};
    QTest::newRow("emptied, then filled again")
        << QStringList{"a 0", "*100", "~", "b 0", "a 1", "*100", "~", "+c", "c 0", "b 1"};
}

void TestWorkbookFiles::textPool() {
    QFETCH(QStringList, steps);
    workbook::TextPool<> pool;
    for (const QString& step : steps) {
        const QStringList words = step.mid(1).split(' ');
        if (step.startsWith('+')) {
            pool.append(step.mid(1));
        } else if (step.startsWith('=')) {
            for (const QString& word : words)
                pool.append(word);
        } else if (step == "~") {
            pool.clear();
        } else if (step == "!") {
            pool.releaseIndex();
        } else if (step.startsWith('^')) {
            pool.reserve(step.mid(1).toULongLong());
        } else if (step.startsWith('*')) {
            const auto first = static_cast<std::uint32_t>(pool.size());
            const int count = step.mid(1).toInt();
            for (int pass = 0; pass < 2; ++pass)
                for (int k = 0; k < count; ++k)
                    QCOMPARE(pool.intern(QString("new %1 %2").arg(first).arg(k)), first + k);
        } else {
            const QStringList seek = step.split(' ');
            QCOMPARE(pool.intern(seek[0]), seek[1].toUInt());
        }
    }
}

QTEST_GUILESS_MAIN(TestWorkbookFiles)
#include "tst_workbook_files.moc"
