// The number text of a value and its recognition, and the limits a sheet keeps.

#include "platform/workbook/book.h"

#include <QRandomGenerator>
#include <QTest>

#include <cmath>
#include <cstring>
#include <limits>

using namespace workbook;

class TestWorkbookText : public QObject {
    Q_OBJECT
private slots:
    void numberText_data();
    void numberText();
    void numberFromText_data();
    void numberFromText();
    void numberTextRoundTrips();
    void cellLimits_data();
    void cellLimits();
    void sheetNames_data();
    void sheetNames();
    void clearingTrimsTheUsedRange();
};

void TestWorkbookText::numberText_data() {
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("text");
    QTest::newRow("zero") << 0.0 << " 0";
    QTest::newRow("negative zero") << -0.0 << " 0";
    QTest::newRow("weight") << 15.25 << " 15.25";
    QTest::newRow("negative") << -1.5 << "-1.5";
    QTest::newRow("below one") << 0.5 << " 0.5";
    QTest::newRow("row counter") << 65536.0 << " 65536";
    QTest::newRow("binary fraction noise") << 0.1 + 0.2 << " 0.3";
    QTest::newRow("fifteen digits") << 123456789012.345 << " 123456789012.345";
    QTest::newRow("rounded to fifteen") << 1234567890123456789.0 << " 1234567890123460000";
    QTest::newRow("large, no exponent") << 1e20 << " 100000000000000000000";
    QTest::newRow("small, no exponent") << -0.00001 << "-0.00001";
    QTest::newRow("rounds up a digit") << 9.9999999999999999 << " 10";
    QTest::newRow("reading") << 85.6 << " 85.6";
    QTest::newRow("whole") << 1500.0 << " 1500";
    QTest::newRow("tiny, no exponent") << 1e-7 << " 0.0000001";
    QTest::newRow("rounds at fifteen digits") << 123456789.123456789 << " 123456789.123457";
}

void TestWorkbookText::numberText() {
    QFETCH(double, value);
    QFETCH(QString, text);
    QCOMPARE(workbook::numberText(value), text);
}

void TestWorkbookText::numberFromText_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("isNumber");
    QTest::addColumn<double>("value");
    QTest::newRow("zero") << " 0" << true << 0.0;
    QTest::newRow("weight") << " 15.25" << true << 15.25;
    QTest::newRow("negative") << "-1.5" << true << -1.5;
    QTest::newRow("below one") << " 0.5" << true << 0.5;
    QTest::newRow("fifteen significant digits") << " 123456789012345" << true << 123456789012345.0;
    QTest::newRow("trailing integer zeros") << " 100000000000000000000" << true << 1e20;
    QTest::newRow("leading fraction zeros") << " 0.000000000000000000001" << true << 1e-21;
    QTest::newRow("no leading space") << "15" << false << 0.0;
    QTest::newRow("vehicle number") << "00123" << false << 0.0;
    QTest::newRow("vehicle with space") << " 00123" << false << 0.0;
    QTest::newRow("date") << "2026/12/7" << false << 0.0;
    QTest::newRow("time") << "8:04:07" << false << 0.0;
    QTest::newRow("trailing zero") << " 1.50" << false << 0.0;
    QTest::newRow("bare point") << " 1." << false << 0.0;
    QTest::newRow("no integer digit") << " .5" << false << 0.0;
    QTest::newRow("negative zero") << "-0" << false << 0.0;
    QTest::newRow("zero with fraction") << " 0.0" << false << 0.0;
    QTest::newRow("exponent") << " 1e5" << false << 0.0;
    QTest::newRow("plus sign") << "+1" << false << 0.0;
    QTest::newRow("two spaces") << "  1" << false << 0.0;
    QTest::newRow("space after") << " 1 " << false << 0.0;
    QTest::newRow("sixteen significant digits") << " 1234567890123456" << false << 0.0;
    QTest::newRow("beyond a double") << QString(u' ') + QString(320, u'9') << false << 0.0;
    QTest::newRow("empty") << "" << false << 0.0;
    QTest::newRow("space only") << " " << false << 0.0;
    QTest::newRow("full-width digit") << QString::fromUtf8(" １") << false << 0.0;
}

void TestWorkbookText::numberFromText() {
    QFETCH(QString, text);
    QFETCH(bool, isNumber);
    QFETCH(double, value);
    const std::optional<double> parsed = workbook::numberFromText(text);
    QCOMPARE(parsed.has_value(), isNumber);
    if (isNumber)
        QCOMPARE(*parsed, value);
}

// Every number text is recognised, and the number read back gives the same text again: the
// store's round trip through a number cell is exact.
void TestWorkbookText::numberTextRoundTrips() {
    QRandomGenerator random(20261207);
    for (int i = 0; i < 200000; ++i) {
        double value = 0;
        switch (i % 4) {
        case 0: // weights in kilograms with up to two decimals
            value = random.bounded(10000000) / 100.0;
            break;
        case 1: // anything a double holds
            do {
                const quint64 bits = random.generate64();
                std::memcpy(&value, &bits, 8);
            } while (!std::isfinite(value));
            break;
        case 2:
            value = -random.bounded(1e6);
            break;
        default:
            value = random.bounded(1.0) * std::pow(10.0, random.bounded(40) - 20);
            break;
        }
        const QString text = workbook::numberText(value);
        const std::optional<double> back = workbook::numberFromText(text);
        if (!back || workbook::numberText(*back) != text)
            QFAIL(qPrintable(QStringLiteral("%1 gives \"%2\", which does not come back")
                                 .arg(value, 0, 'g', 17)
                                 .arg(text)));
    }
}

void TestWorkbookText::cellLimits_data() {
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("column");
    QTest::addColumn<int>("textLength");
    QTest::addColumn<int>("error"); // -1: none
    const int none = -1;
    const int limit = int(Error::Kind::FormatLimit);
    const int misuse = int(Error::Kind::InvalidUse);
    QTest::newRow("last cell") << 65536 << 256 << 32767 << none;
    QTest::newRow("row beyond") << 65537 << 1 << 1 << limit;
    QTest::newRow("column beyond") << 1 << 257 << 1 << limit;
    QTest::newRow("text too long") << 1 << 1 << 32768 << limit;
    QTest::newRow("row zero") << 0 << 1 << 1 << misuse;
    QTest::newRow("column zero") << 1 << 0 << 1 << misuse;
}

void TestWorkbookText::cellLimits() {
    QFETCH(int, row);
    QFETCH(int, column);
    QFETCH(int, textLength);
    QFETCH(int, error);
    Sheet sheet(QStringLiteral("s"));
    try {
        sheet.setText(row, column, QString(textLength, u'x'));
        QCOMPARE(error, -1);
        QCOMPARE(sheet.rowCount(), row);
        QCOMPARE(sheet.columnCount(), column);
    } catch (const Error& e) {
        QCOMPARE(int(e.kind()), error);
        QVERIFY(!e.reason().isEmpty());
        QCOMPARE(sheet.rowCount(), 0); // nothing was stored
    }
}

void TestWorkbookText::sheetNames_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("valid");
    QTest::newRow("sheet2") << "sheet2" << true;
    QTest::newRow("Chinese") << QString::fromUtf8("二〇二六年") << true;
    QTest::newRow("31 characters") << QString(31, u'a') << true;
    QTest::newRow("32 characters") << QString(32, u'a') << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("slash") << "2026/12/7" << false;
    QTest::newRow("bracket") << "a[1]" << false;
    QTest::newRow("apostrophe first") << "'a" << false;
    QTest::newRow("same as Sheet1 but for case") << "SHEET1" << false;
}

void TestWorkbookText::sheetNames() {
    QFETCH(QString, name);
    QFETCH(bool, valid);
    Book book;
    book.addSheet(QStringLiteral("Sheet1"));
    try {
        book.addSheet(name);
        QVERIFY(valid);
        QCOMPARE(book.indexOf(name.toUpper()), 1);
    } catch (const Error& e) {
        QVERIFY2(!valid, e.what());
        QCOMPARE(e.kind(), Error::Kind::InvalidUse);
        QCOMPARE(book.sheetCount(), 1);
    }
}

void TestWorkbookText::clearingTrimsTheUsedRange() {
    Sheet sheet(QStringLiteral("s"));
    sheet.setNumber(3, 5, 1);
    sheet.setText(7, 2, QStringLiteral("x"));
    sheet.clearCell(7, 2);
    QCOMPARE(sheet.rowCount(), 3);
    QCOMPARE(sheet.columnCount(), 5);
    sheet.setValue(3, 5, Value());
    QCOMPARE(sheet.rowCount(), 0);
    QVERIFY(sheet.cell(3, 5).isEmpty());
}

QTEST_GUILESS_MAIN(TestWorkbookText)
#include "tst_workbook_text.moc"
