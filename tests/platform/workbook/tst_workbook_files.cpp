// Workbooks written by us and read back by our reader, by FreeXL alone and by xlrd; the
// records of the stream; workbooks written by xlwt and LibreOffice.

#include "platform/workbook/biff_writer.h"
#include "platform/workbook/file_io.h"
#include "platform/workbook/readers.h"
#include "xls_test_support.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

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
        const int second = r * 7;
        sheet.setNumber(r, 1, r - 1);
        sheet.setText(r, 2, QStringLiteral("2026/12/7"));
        sheet.setText(r, 3,
                      QStringLiteral("%1:%2:%3")
                          .arg(second / 3600 % 24)
                          .arg(second / 60 % 60, 2, 10, QLatin1Char('0'))
                          .arg(second % 60, 2, 10, QLatin1Char('0')));
        sheet.setText(r, 4,
                      r % 3 == 0 ? QStringLiteral("%1").arg(r % 997, 5, 10, QLatin1Char('0'))
                                 : QString::fromUtf8("粤B%1").arg(r % 4999));
        const double gross = 20000 + r % 15000 + (r % 4) * 0.25;
        const double tare = 8000 + (r % 7) * 10.5;
        sheet.setNumber(r, 5, gross);
        sheet.setNumber(r, 6, tare);
        sheet.setNumber(r, 7, gross - tare);
    }
}

// Texts of every length from 1 to 400, Latin and Chinese in turn, so that the strings meet
// the record boundaries of the shared-strings table at every offset.
std::vector<QString> boundaryTexts() {
    std::vector<QString> texts;
    for (int i = 0; i < 3000; ++i) {
        const int length = 1 + (i * 37) % 400;
        QString s = QStringLiteral("%1:").arg(i);
        const QChar fill = i % 2 == 0 ? QChar(u'a' + i % 26) : QChar(0x4E00 + i % 500);
        s += QString(std::max<qsizetype>(0, length - s.size()), fill);
        texts.push_back(s);
    }
    return texts;
}

Book dayBook(int lastRow) {
    Book book;
    fillDay(book.addSheet(QStringLiteral("sheet1")), lastRow);
    return book;
}

std::uint16_t le16(const std::vector<std::uint8_t>& s, std::size_t at) {
    return qFromLittleEndian<std::uint16_t>(s.data() + at);
}
std::uint32_t le32(const std::vector<std::uint8_t>& s, std::size_t at) {
    return qFromLittleEndian<std::uint32_t>(s.data() + at);
}

struct RawRecord {
    std::uint16_t type;
    std::size_t position; // of the header
    std::size_t size;
};

} // namespace

class TestWorkbookFiles : public QObject {
    Q_OBJECT
private slots:
    void roundTrip_data();
    void roundTrip();
    void streamRecords();
    void foreignFiles_data();
    void foreignFiles();

private:
    QTemporaryDir m_dir;
};

void TestWorkbookFiles::roundTrip_data() {
    QTest::addColumn<BookMaker>("make");
    QTest::addColumn<bool>("freexlReadsIt");

    QTest::newRow("day's rows, Chinese header") << BookMaker([] { return dayBook(4); }) << true;
    QTest::newRow("65,536 rows") << BookMaker([] { return dayBook(MaxRows); }) << true;
    QTest::newRow("shared strings over CONTINUE records") << BookMaker([] {
        Book book;
        Sheet& sheet = book.addSheet(QStringLiteral("long"));
        const auto texts = boundaryTexts();
        for (std::size_t i = 0; i < texts.size(); ++i)
            sheet.setText(int(i) + 1, 1 + int(i % 3), texts[i]);
        return book;
    }) << true;
    QTest::newRow("several sheets sharing texts") << BookMaker([] {
        Book book;
        fillDay(book.addSheet(QStringLiteral("sheet1")), 300);
        fillDay(book.addSheet(QStringLiteral("sheet2")), 40);
        book.addSheet(QString::fromUtf8("空表"));
        Sheet& last = book.addSheet(QStringLiteral("Sheet3"));
        last.setText(5, 3, QStringLiteral("2026/12/7"));
        last.setNumber(200, 256, -1.5);
        book.setActiveSheet(1);
        return book;
    }) << true;
    // FreeXL reads a boolean as a number and stops at a string over three or more records.
    QTest::newRow("booleans and awkward numbers") << BookMaker([] {
        Book book;
        Sheet& sheet = book.addSheet(QStringLiteral("values"));
        const double numbers[] = {0,          -0.0,
                                  1.01,       0.1,
                                  1e-300,     1.7e308,
                                  -536870912, 536870911,
                                  536870912,  -536870913,
                                  123456.785, 5368709.11,
                                  2.5e-5,     4.9406564584124654e-324};
        for (int i = 0; i < int(std::size(numbers)); ++i)
            sheet.setNumber(i + 1, 1, numbers[i]);
        sheet.setBoolean(1, 2, true);
        sheet.setBoolean(2, 2, false);
        sheet.setText(3, 2, QString());
        return book;
    }) << false;
    QTest::newRow("one text over several records") << BookMaker([] {
        Book book;
        Sheet& sheet = book.addSheet(QStringLiteral("s"));
        sheet.setText(1, 1, QString(MaxTextLength, QChar(0x91CD)));
        sheet.setText(2, 1, QString(MaxTextLength - 1, u'x') + QChar(0x91CD));
        sheet.setText(3, 1, QStringLiteral("after"));
        return book;
    }) << false;
    QTest::newRow("one empty sheet") << BookMaker([] {
        Book book;
        book.addSheet(QStringLiteral("Sheet1"));
        return book;
    }) << true;
    // Over 109 FAT sectors (about 7.1 MB): the compound file needs DIFAT sectors.
    QTest::newRow("DIFAT, two full sheets") << BookMaker([] {
        Book book;
        fillDay(book.addSheet(QStringLiteral("sheet1")), MaxRows);
        fillDay(book.addSheet(QStringLiteral("sheet2")), 20000);
        return book;
    }) << true;
}

void TestWorkbookFiles::roundTrip() {
    QFETCH(BookMaker, make);
    QFETCH(bool, freexlReadsIt);
    const Book book = make();
    const QString path = m_dir.filePath(QStringLiteral("%1.xls").arg(QTest::currentDataTag()));
    writeBook(book, path);
    if (QByteArray(QTest::currentDataTag()).startsWith("DIFAT")) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray header = file.read(512);
        QVERIFY(qFromLittleEndian<quint32>(header.constData() + 0x48) > 0); // DIFAT sectors
    }

    QString difference = wbtest::firstDifference(book, readBook(path));
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
    if (freexlReadsIt) {
        difference = wbtest::firstDifference(book, detail::readWithFreeXl(path));
        QVERIFY2(difference.isEmpty(), qPrintable(QStringLiteral("FreeXL: ") + difference));
    }
    QString error;
    const Book byXlrd = wbtest::xlrdBook(path, &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    difference = wbtest::firstDifference(book, byXlrd);
    QVERIFY2(difference.isEmpty(), qPrintable(QStringLiteral("xlrd: ") + difference));
}

// The stream's records: size limit, the order of the globals, BOUNDSHEET positions, exact
// DIMENSIONS, and the shared strings with their CONTINUE rules and EXTSST index, decoded here
// by the rules of [MS-XLS] without the component's own reader.
void TestWorkbookFiles::streamRecords() {
    Book book;
    Sheet& strings = book.addSheet(QStringLiteral("long"));
    const auto texts = boundaryTexts();
    for (std::size_t i = 0; i < texts.size(); ++i)
        strings.setText(int(i) + 3, 2 + int(i % 3), texts[i]);
    fillDay(book.addSheet(QStringLiteral("sheet2")), 10);
    const std::vector<std::uint8_t> s = biff::workbookStream(book);

    std::vector<RawRecord> records;
    for (std::size_t at = 0; at + 4 <= s.size();) {
        const std::size_t size = le16(s, at + 2);
        QVERIFY2(size <= biff::MaxRecordData, qPrintable(QString::number(at)));
        records.push_back({le16(s, at), at, size});
        at += 4 + size;
    }
    QCOMPARE(records.back().position + 4, s.size());

    // Globals up to the first EOF, in order.
    auto find = [&](std::uint16_t type, std::size_t from = 0) {
        for (std::size_t i = from; i < records.size(); ++i)
            if (records[i].type == type)
                return i;
        return records.size();
    };
    QCOMPARE(records[0].type, std::uint16_t(0x0809));
    QCOMPARE(le16(s, 4), std::uint16_t(0x0600));
    QCOMPARE(le16(s, 6), std::uint16_t(0x0005));
    const std::size_t codepage = find(0x0042), window1 = find(0x003D), font = find(0x0031),
                      xf = find(0x00E0), style = find(0x0293), boundsheet = find(0x0085),
                      sst = find(0x00FC), extsst = find(0x00FF), eof = find(0x000A);
    QVERIFY(codepage < window1 && window1 < font && font < xf && xf < style && style < boundsheet &&
            boundsheet < sst && sst < extsst && extsst < eof);
    QCOMPARE(le16(s, records[codepage].position + 4), std::uint16_t(1200));
    QVERIFY(std::count_if(records.begin(), records.begin() + long(eof),
                          [](const RawRecord& r) { return r.type == 0x0031; }) >= 5);
    QVERIFY(std::count_if(records.begin(), records.begin() + long(eof),
                          [](const RawRecord& r) { return r.type == 0x00E0; }) >= 16);

    // Each BOUNDSHEET points at a worksheet BOF whose DIMENSIONS is the used range.
    for (int i = 0; i < book.sheetCount(); ++i) {
        const std::size_t bof = le32(s, records[boundsheet + std::size_t(i)].position + 4);
        QCOMPARE(le16(s, bof), std::uint16_t(0x0809));
        QCOMPARE(le16(s, bof + 6), std::uint16_t(0x0010));
        std::size_t at = bof;
        while (le16(s, at) != 0x0200)
            at += 4 + le16(s, at + 2);
        const Sheet& sheet = book.sheet(i);
        QCOMPARE(le32(s, at + 4), i == 0 ? 2u : 0u);
        QCOMPARE(le32(s, at + 8), std::uint32_t(sheet.rowCount()));
        QCOMPARE(le16(s, at + 12), std::uint16_t(i == 0 ? 1 : 0));
        QCOMPARE(le16(s, at + 14), std::uint16_t(sheet.columnCount()));
    }

    // The shared strings: length, flags and first character in one record; a CONTINUE that
    // goes on with a string repeats its flags byte; no character split.
    std::vector<std::pair<std::size_t, std::size_t>> parts; // data start, size
    for (std::size_t i = sst; i < extsst; ++i) {
        QVERIFY(i == sst || records[i].type == 0x003C);
        parts.emplace_back(records[i].position + 4, records[i].size);
    }
    QVERIFY2(parts.size() > 3, "the table should need several CONTINUE records");
    std::size_t part = 0, at = parts[0].first + 8;
    auto left = [&] { return parts[part].first + parts[part].second - at; };
    std::vector<std::size_t> stringStart;
    std::vector<QString> decoded;
    int splitStrings = 0;
    const std::uint32_t unique = le32(s, parts[0].first + 4);
    for (std::uint32_t i = 0; i < unique; ++i) {
        if (left() == 0) {
            ++part;
            at = parts[part].first;
        }
        QVERIFY2(left() >= 4, "a string's header and first character must share a record");
        stringStart.push_back(at);
        std::size_t count = le16(s, at);
        bool wide = (s[at + 2] & 1) != 0;
        at += 3;
        QString text;
        while (count > 0) {
            if (left() == 0) {
                ++part;
                at = parts[part].first;
                wide = (s[at++] & 1) != 0;
                ++splitStrings;
            }
            const std::size_t n = std::min(count, left() / (wide ? 2 : 1));
            QVERIFY2(n > 0, "a character split between records");
            for (std::size_t k = 0; k < n; ++k)
                text += QChar(wide ? le16(s, at + 2 * k) : s[at + k]);
            at += n * (wide ? 2 : 1);
            count -= n;
        }
        decoded.push_back(text);
    }
    QVERIFY(splitStrings > 0);
    QCOMPARE(unique, std::uint32_t(decoded.size()));
    for (std::size_t i = 0; i < texts.size(); ++i)
        QCOMPARE(decoded[i], texts[i]);
    // 3000 texts plus the day's: 8 strings a bucket under 1024, else 1 + unique / 128.
    const std::size_t bucket = le16(s, records[extsst].position + 4);
    QCOMPARE(bucket, std::size_t(1 + unique / 128));
    QCOMPARE(records[extsst].size, 2 + 8 * ((unique + bucket - 1) / bucket));
    for (std::size_t b = 0; b * bucket < unique; ++b) {
        const std::size_t entry = records[extsst].position + 6 + 8 * b;
        const std::size_t start = stringStart[b * bucket];
        QCOMPARE(std::size_t(le32(s, entry)), start);
        const auto inRecord = std::find_if(records.begin(), records.end(), [&](const RawRecord& r) {
            return r.position <= start && start < r.position + 4 + r.size;
        });
        QCOMPARE(std::size_t(le16(s, entry + 4)), start - inRecord->position);
    }
}

void TestWorkbookFiles::foreignFiles_data() {
    QTest::addColumn<QString>("file");
    // Cells of the first sheet that our reader gives as text where xlrd gives a date's
    // serial number: "row,column,text".
    QTest::addColumn<QStringList>("asText");
    QTest::newRow("xlwt texts, numbers, booleans") << "values.xls" << QStringList();
    QTest::newRow("xlwt several sheets") << "sheets.xls" << QStringList();
    QTest::newRow("xlwt CONTINUE records") << "continue.xls" << QStringList();
    QTest::newRow("xlwt 20,000 rows") << "big.xls" << QStringList();
    // A date-formatted number comes back as its date text.
    QTest::newRow("xlwt date and formula") << "dates.xls" << QStringList{"1,1,2026-12-07"};
    QTest::newRow("LibreOffice day's workbook") << "data/lo_day.xls" << QStringList();
    // Cached formula results (number, text, boolean, empty text); a date and a time.
    QTest::newRow("LibreOffice formulas, date, time")
        << "data/lo_mixed.xls" << QStringList{"2,1,2026-12-07", "2,2,08:04:07"};
}

void TestWorkbookFiles::foreignFiles() {
    QFETCH(QString, file);
    QFETCH(QStringList, asText);
    QString error;
    static bool generated = false;
    if (!generated) {
        wbtest::runPython(QStringLiteral("xlwt_fixtures.py"), {m_dir.path()}, &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        generated = true;
    }
    const QString path =
        file.startsWith(u"data/") ? wbtest::sourceDir() + u'/' + file : m_dir.filePath(file);
    if (!QFileInfo::exists(path))
        QSKIP("fixture not present");
    Book expected = wbtest::xlrdBook(path, &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    for (const QString& cell : asText) {
        const QStringList p = cell.split(u',');
        expected.sheet(0).setText(p[0].toInt(), p[1].toInt(), p[2]);
    }
    const QString difference = wbtest::firstDifference(expected, readBook(path));
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
}

QTEST_GUILESS_MAIN(TestWorkbookFiles)
#include "tst_workbook_files.moc"
