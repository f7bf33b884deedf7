// The text forms: the leading number of a typed text, the clock lines and the regional date
// and time texts. (The net text is checked through the net box in tst_entry_fields.)

#include "doubles/fake_clock.h"
#include "records/text_forms.h"

#include <QtTest>

class TstTextForms : public QObject {
    Q_OBJECT
private slots:
    void leadingNumber_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("value");
        QTest::newRow("empty") << "" << 0.0;
        QTest::newRow("error text") << "出错！" << 0.0;
        QTest::newRow("blanks, tabs and line breaks") << "\t1\n5 0\r0kg" << 1500.0;
        QTest::newRow("second dot ends it") << "1.2.3" << 1.2;
        QTest::newRow("sign") << "-2.5kg" << -2.5;
        QTest::newRow("plus") << "+7" << 7.0;
        QTest::newRow("exponent") << "1.5e3" << 1500.0;
        QTest::newRow("bare exponent letter") << "12e" << 12.0;
        QTest::newRow("dot first") << ".5" << 0.5;
        QTest::newRow("full-width digits end it") << "１２" << 0.0;
        QTest::newRow("beyond a double") << "1e999" << qInf();
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

    // Regional forms: zh_CN has a "/" in its short date and a zone in its long time format.
    void regionalTexts_data() {
        QTest::addColumn<QLocale>("locale");
        QTest::addColumn<QString>("date");
        QTest::addColumn<QString>("time");
        QTest::newRow("zh_CN") << QLocale(QLocale::Chinese, QLocale::China) << "2026/12/7"
                               << "08:04:07";
        QTest::newRow("en_US") << QLocale(QLocale::English, QLocale::UnitedStates) << "12/7/26"
                               << "8:04:07 AM";
        QTest::newRow("de_DE") << QLocale(QLocale::German, QLocale::Germany) << "07.12.26"
                               << "08:04:07";
    }
    void regionalTexts() {
        QFETCH(QLocale, locale);
        QFETCH(QString, date);
        QFETCH(QString, time);
        const doubles::FakeClock clock({}, locale);
        QCOMPARE(clock.dateText(QDate(2026, 12, 7)), date);
        QCOMPARE(clock.timeText(QTime(8, 4, 7)), time);
    }
};

QTEST_APPLESS_MAIN(TstTextForms)
#include "tst_text_forms.moc"
