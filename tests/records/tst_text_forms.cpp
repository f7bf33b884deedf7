// The text forms: the number text, the leading number of a typed text, the clock lines and
// the regional date and time texts. (The net text is checked through the net box in
// tst_entry_fields.) Also run under decimal-comma locales, where the C library's number
// conversions would read and write "," instead of ".".

#include "records/text_forms.h"

#include <QtTest>

#include <clocale>

class TstTextForms : public QObject {
    Q_OBJECT
private slots:
    // As a Qt application does at start-up: the C library follows LANG/LC_ALL. Under a
    // decimal-comma locale that must really be in force, or the run proves nothing.
    void initTestCase() {
        std::setlocale(LC_ALL, "");
        const QByteArray lang = qgetenv("LC_ALL");
        if (lang.startsWith("de_DE") || lang.startsWith("ru_RU"))
            QCOMPARE(QByteArray(std::localeconv()->decimal_point), QByteArray(","));
    }

    void numberText_data() {
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("gross") << 85.6 << " 85.6";
        QTest::newRow("whole") << 1500.0 << " 1500";
        QTest::newRow("row counter") << 3.0 << " 3";
        QTest::newRow("negative fraction") << -0.25 << "-0.25";
        QTest::newRow("fifteen digits") << 123456789.123457 << " 123456789.123457";
        QTest::newRow("tiny") << 1.5e-7 << " 0.00000015";
        QTest::newRow("large") << 1.5e20 << " 150000000000000000000";
    }
    void numberText() {
        QFETCH(double, value);
        QFETCH(QString, text);
        QCOMPARE(records::numberText(value), text);
        QCOMPARE(workbook::numberFromText(text), std::optional<double>(value));
    }

    void leadingNumber_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("value");
        QTest::newRow("empty") << "" << 0.0;
        QTest::newRow("error text") << "出错！" << 0.0;
        QTest::newRow("blanks, tabs and line feeds") << "\t1\n5 0 0kg" << 1500.0;
        QTest::newRow("carriage return ends it") << "1\r5" << 1.0;
        QTest::newRow("carriage return after blanks") << " 1\n5 0\r0kg" << 150.0;
        QTest::newRow("second dot ends it") << "1.2.3" << 1.2;
        QTest::newRow("tare with a fraction") << "1500.5" << 1500.5;
        QTest::newRow("comma ends it") << "1,5" << 1.0;
        QTest::newRow("sign") << "-2.5kg" << -2.5;
        QTest::newRow("plus") << "+7" << 7.0;
        QTest::newRow("exponent") << "1.5e3" << 1500.0;
        QTest::newRow("bare exponent letter") << "12e" << 12.0;
        QTest::newRow("dot first") << ".5" << 0.5;
        QTest::newRow("full-width digits end it") << "１２" << 0.0;
        QTest::newRow("beyond a double") << "1e999" << qInf();
        QTest::newRow("below a double") << "-1e-999" << -0.0;
        QTest::newRow("exponent sign") << "25e-1kg" << 2.5;
    }
    void leadingNumber() {
        QFETCH(QString, text);
        QFETCH(double, value);
        QCOMPARE(records::leadingNumber(text), value);
    }

    // Ordinary dates and times are in tst_clock_and_exit; the far ends here.
    void clockLines() {
        QCOMPARE(records::timeLine(QTime(23, 59, 59)), QString("时间：23时59分59秒"));
        QCOMPARE(records::dateLine(QDate(12345, 12, 31)), QString("日期：12345年12月31日"));
    }
};

QTEST_APPLESS_MAIN(TstTextForms)
#include "tst_text_forms.moc"
