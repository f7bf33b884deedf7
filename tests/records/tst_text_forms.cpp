// The text forms: number text, leading number, net text, the clock lines and the regional
// date and time texts.

#include "doubles/fake_clock.h"
#include "records/text_forms.h"

#include <QtTest>

#include <limits>

class TstTextForms : public QObject {
    Q_OBJECT
private slots:
    void leadingNumber_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("value");
        QTest::newRow("empty") << "" << 0.0;
        QTest::newRow("letters") << "abc" << 0.0;
        QTest::newRow("error text") << "出错！" << 0.0;
        QTest::newRow("with kg") << "1500kg" << 1500.0;
        QTest::newRow("blank inside") << "1 500" << 1500.0;
        QTest::newRow("tabs and line breaks") << "\t1\n5 0\r0" << 1500.0;
        QTest::newRow("comma ends it") << "1,500" << 1.0;
        QTest::newRow("second dot ends it") << "1.2.3" << 1.2;
        QTest::newRow("sign") << "-2.5kg" << -2.5;
        QTest::newRow("plus") << "+7" << 7.0;
        QTest::newRow("exponent") << "1.5e3" << 1500.0;
        QTest::newRow("bare exponent letter") << "12e" << 12.0;
        QTest::newRow("dot first") << ".5" << 0.5;
        QTest::newRow("net box text") << "500.0kg" << 500.0;
        QTest::newRow("full-width digits end it") << "１２" << 0.0;
    }
    void leadingNumber() {
        QFETCH(QString, text);
        QFETCH(double, value);
        QCOMPARE(records::leadingNumber(text), value);
    }

    void leadingNumberOverflow() {
        QVERIFY(std::isinf(records::leadingNumber("1e999")));
    }

    void netText_data() {
        QTest::addColumn<double>("net");
        QTest::addColumn<QString>("text");
        QTest::newRow("1500.5") << 1500.5 << "1500.5kg";
        QTest::newRow("1000") << 1000.0 << "1000.0kg";
        QTest::newRow("0") << 0.0 << "0.0kg";
        QTest::newRow("4 decimals") << 12.345678 << "12.3457kg";
        QTest::newRow("12.34") << 12.34 << "12.34kg";
        QTest::newRow("negative") << -0.5 << "出错！";
        QTest::newRow("infinite") << std::numeric_limits<double>::infinity() << "出错！";
        QTest::newRow("nan") << std::numeric_limits<double>::quiet_NaN() << "出错！";
    }
    void netText() {
        QFETCH(double, net);
        QFETCH(QString, text);
        QCOMPARE(records::netText(net), text);
    }

    void clockLines() {
        QCOMPARE(records::dateLine(QDate(2010, 3, 5)), QString("日期：2010年03月05日"));
        QCOMPARE(records::timeLine(QTime(8, 4, 7)), QString("时间：08时04分07秒"));
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
        const QString t = clock.timeText(QTime(8, 4, 7));
        QVERIFY2(t.contains("04") && t.contains("07"), qPrintable(t));
        QCOMPARE(t, time);
    }
};

QTEST_APPLESS_MAIN(TstTextForms)
#include "tst_text_forms.moc"
