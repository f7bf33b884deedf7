// Number format codes applied as a spreadsheet application applies them: placeholders,
// grouping and scaling, percent, scientific, fractions, sections and their conditions and
// colours, literals, dates and times in both date systems, texts, and the built-in codes.

#include "workbook/cell_decoder.h"
#include "workbook/number_format.h"

#include <QtEndian>
#include <QtTest>

using workbook::NumberFormat;
Q_DECLARE_METATYPE(workbook::DateTimeParts)

class TstNumberFormat : public QObject {
    Q_OBJECT
private slots:
    // What the store reads a number of a format as: the date and time parts over every
    // section, the letters of quoted texts, escapes, colours and "General" left out.
    void dateTimeParts_data() {
        using P = workbook::DateTimeParts;
        QTest::addColumn<QString>("code");
        QTest::addColumn<P>("parts");
        QTest::newRow("date") << "yyyy-mm-dd" << P::Date;
        QTest::newRow("month and year") << "mmm yyyy" << P::Date;
        QTest::newRow("time, m as minutes") << "h:mm" << P::Time;
        QTest::newRow("minutes before seconds") << "mm:ss" << P::Time;
        QTest::newRow("elapsed hours") << "[h]:mm:ss" << P::Time;
        QTest::newRow("date and time") << "yyyy/m/d h:mm" << P::DateAndTime;
        QTest::newRow("a date in the second section") << "0.00;yyyy" << P::Date;
        QTest::newRow("General") << "General" << P::None;
        QTest::newRow("quoted letters") << "0\" d\"" << P::None;
        QTest::newRow("escaped letter") << "0\\h" << P::None;
        QTest::newRow("colour") << "[Red]0.00" << P::None;
        QTest::newRow("scientific") << "0.00E+00" << P::None;
    }
    void dateTimeParts() {
        QFETCH(QString, code);
        QFETCH(workbook::DateTimeParts, parts);
        QCOMPARE(workbook::dateTimeParts(code), parts);
    }

    // A number in a cell of a built-in format reads as the look's table shows that format:
    // as a date, a time, both, or a number; the ids at the ranges' ends.
    void builtInsAsTheStoreReadsThem_data() {
        QTest::addColumn<int>("format");
        QTest::addColumn<QString>("read"); // empty: the number itself
        const QString day = QStringLiteral("2026-12-07");
        const QString noon = QStringLiteral("12:00:00");
        QTest::newRow("13, a fraction") << 13 << QString();
        QTest::newRow("14, the short date") << 14 << day;
        QTest::newRow("17") << 17 << day;
        QTest::newRow("18, a time") << 18 << noon;
        QTest::newRow("22, date and time") << 22 << day + u' ' + noon;
        QTest::newRow("23") << 23 << QString();
        QTest::newRow("34, 上午/下午") << 34 << noon;
        QTest::newRow("36") << 36 << day;
        QTest::newRow("45, mm:ss") << 45 << noon;
        QTest::newRow("58") << 58 << day;
        QTest::newRow("59, no built-in") << 59 << QString();
    }
    void builtInsAsTheStoreReadsThem() {
        QFETCH(int, format);
        QFETCH(QString, read);
        // A globals substream of one XF record (format number at offset 2 of its data).
        std::vector<std::uint8_t> stream(4 + 20, 0);
        qToLittleEndian<quint16>(0x00E0, stream.data());
        qToLittleEndian<quint16>(20, stream.data() + 2);
        qToLittleEndian<quint16>(static_cast<quint16>(format), stream.data() + 6);
        const workbook::biff::NumberFormats formats = workbook::biff::numberFormats(stream);
        const double serial = 46363.5; // 2026-12-07, noon
        QCOMPARE(formats.value(serial, 0),
                 read.isEmpty() ? workbook::Value::number(serial) : workbook::Value::text(read));
    }

    void numbers_data() {
        QTest::addColumn<QString>("code");
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("shown");
        QTest::newRow("General") << "General" << 15.25 << "15.25";
        QTest::newRow("General negative") << "General" << -1234567.25 << "-1234567.25";
        QTest::newRow("General fifteen digits") << "General" << 0.1 + 0.2 << "0.3";
        QTest::newRow("empty code") << "" << 8000.5 << "8000.5";
        QTest::newRow("whole") << "0" << 2.5 << "3";
        QTest::newRow("whole negative") << "0" << -2.5 << "-3";
        QTest::newRow("decimals half up") << "0.00" << 2.675 << "2.68";
        QTest::newRow("decimals padded") << "0.00" << 7.0 << "7.00";
        QTest::newRow("negative rounds to zero") << "0.00" << -0.001 << "0.00";
        QTest::newRow("optional digits") << "#.##" << 7.0 << "7.";
        QTest::newRow("no whole digit") << "#.00" << 0.5 << ".50";
        QTest::newRow("blank digits") << "0.0??" << 1.5 << "1.5  ";
        QTest::newRow("grouping") << "#,##0" << 1234567.0 << "1,234,567";
        QTest::newRow("grouping small") << "#,##0.00" << 12.345 << "12.35";
        QTest::newRow("grouping negative") << "#,##0.00" << -20000.25 << "-20,000.25";
        QTest::newRow("padding zeros") << "00000" << 42.0 << "00042";
        QTest::newRow("literal between digits") << "000-0000" << 5551234.0 << "555-1234";
        QTest::newRow("scaling") << "0.0,," << 12345678.0 << "12.3";
        QTest::newRow("scaling and literal") << "#,##0,\"千\"" << 15000.0 << "15千";
        QTest::newRow("percent") << "0%" << 0.256 << "26%";
        QTest::newRow("percent decimals") << "0.00%" << 0.12345 << "12.35%";
        QTest::newRow("scientific") << "0.00E+00" << 12345.0 << "1.23E+04";
        QTest::newRow("scientific small") << "0.00E+00" << 0.00012 << "1.20E-04";
        QTest::newRow("scientific rounds up") << "0.0E+0" << 9.96 << "1.0E+1";
        QTest::newRow("scientific E-") << "0.0E-00" << 1234.0 << "1.2E03";
        QTest::newRow("engineering") << "##0.0E+0" << 12345.0 << "12.3E+3";
        QTest::newRow("fraction") << "# ?/?" << 1.5 << "1 1/2";
        QTest::newRow("fraction two digits") << "# ?\?/?\?" << 3.14159 << "3 14/99";
        QTest::newRow("fraction fixed") << "# ?/8" << 0.3 << " 2/8";
        QTest::newRow("fraction whole") << "# ?/?" << 2.0 << "2    ";
        QTest::newRow("fraction improper") << "?/?" << 1.5 << "3/2";
        QTest::newRow("literals") << "0.0\" kg\"" << 8000.5 << "8000.5 kg";
        QTest::newRow("escaped") << "\\¥#,##0.00" << 1234.5 << "¥1,234.50";
        QTest::newRow("currency tag") << "[$¥-804]#,##0.00" << 1234.5 << "¥1,234.50";
        QTest::newRow("locale tag alone") << "[$-804]0.0" << 3.0 << "3.0";
        QTest::newRow("space and fill")
            << "_(* #,##0_);_(* (#,##0);_(* \"-\"_);_(@_)" << 1234.0 << " 1,234 ";
        QTest::newRow("accounting negative")
            << "_(* #,##0_);_(* (#,##0);_(* \"-\"_);_(@_)" << -1234.0 << " (1,234)";
        QTest::newRow("accounting zero")
            << "_(* #,##0_);_(* (#,##0);_(* \"-\"_);_(@_)" << 0.0 << " - ";
        QTest::newRow("negative section") << "0.00;(0.00)" << -3.5 << "(3.50)";
        QTest::newRow("zero section") << "0;-0;\"零\"" << 0.0 << "零";
        QTest::newRow("positive of three") << "0;-0;\"零\"" << 4.0 << "4";
        QTest::newRow("empty sections hide") << ";;;" << 4.0 << "";
        QTest::newRow("condition first") << "[>=1000]#,##0\"吨\";0\"千克\"" << 1500.0 << "1,500吨";
        QTest::newRow("condition else") << "[>=1000]#,##0\"吨\";0\"千克\"" << 800.0 << "800千克";
        QTest::newRow("two conditions") << "[<0]\"负\";[>100]\"大\";\"小\"" << 50.0 << "小";
        QTest::newRow("General with literal") << "General\" 公斤\"" << 12.5 << "12.5 公斤";
        QTest::newRow("text format on a number") << "@" << 12.5 << "12.5";
        QTest::newRow("text section not used") << "0.0;-0.0;0.0;\"注：\"@" << 2.0 << "2.0";
    }
    void numbers() {
        QFETCH(QString, code);
        QFETCH(double, value);
        QFETCH(QString, shown);
        QCOMPARE(NumberFormat(code).format(value), shown);
    }

    void dates_data() {
        QTest::addColumn<QString>("code");
        QTest::addColumn<double>("value");
        QTest::addColumn<bool>("date1904");
        QTest::addColumn<QString>("shown");
        const double day = 46363; // 2026-12-07, a Monday
        const double time = (8 * 3600 + 4 * 60 + 7) / 86400.0;
        QTest::newRow("iso date") << "yyyy-mm-dd" << day << false << "2026-12-07";
        QTest::newRow("short date") << "yyyy/m/d" << day << false << "2026/12/7";
        QTest::newRow("Chinese date")
            << "yyyy\"年\"m\"月\"d\"日\"" << day << false << "2026年12月7日";
        QTest::newRow("escaped separators") << "YYYY\\-MM\\-DD" << day << false << "2026-12-07";
        QTest::newRow("two-digit year") << "m/d/yy" << day << false << "12/7/26";
        QTest::newRow("month names") << "d-mmm-yy" << day << false << "7-Dec-26";
        QTest::newRow("long month") << "mmmm d" << day << false << "December 7";
        QTest::newRow("month initial") << "mmmmm" << day << false << "D";
        QTest::newRow("weekday") << "dddd" << day << false << "Monday";
        QTest::newRow("short weekday") << "ddd" << day << false << "Mon";
        QTest::newRow("Chinese weekday") << "aaaa" << day << false << "星期一";
        QTest::newRow("Chinese weekday short") << "aaa" << day << false << "一";
        QTest::newRow("time") << "h:mm:ss" << time << false << "8:04:07";
        QTest::newRow("time padded") << "hh:mm" << time << false << "08:04";
        QTest::newRow("minutes before seconds") << "mm:ss" << time << false << "04:07";
        QTest::newRow("am") << "h:mm AM/PM" << time << false << "8:04 AM";
        QTest::newRow("pm") << "h:mm AM/PM" << 0.75 << false << "6:00 PM";
        QTest::newRow("noon") << "h AM/PM" << 0.5 << false << "12 PM";
        QTest::newRow("midnight") << "h:mm a/p" << 0.0 << false << "12:00 a";
        QTest::newRow("Chinese afternoon")
            << "上午/下午h\"时\"mm\"分\"" << 0.75 << false << "下午6时00分";
        QTest::newRow("date and time")
            << "yyyy-mm-dd hh:mm:ss" << day + time << false << "2026-12-07 08:04:07";
        QTest::newRow("rounds to the second") << "h:mm:ss" << 0.99999999 << false << "0:00:00";
        QTest::newRow("rounds into the next day")
            << "yyyy-mm-dd hh:mm:ss" << day + 0.999999999 << false << "2026-12-08 00:00:00";
        QTest::newRow("tenths") << "mm:ss.0" << 1.26 / 86400 << false << "00:01.3";
        QTest::newRow("hundredths") << "[ss].00" << 61.257 / 86400 << false << "61.26";
        QTest::newRow("elapsed hours") << "[h]:mm:ss" << 1.5 + time << false << "44:04:07";
        QTest::newRow("elapsed minutes") << "[mm]:ss" << 2.0 / 24 << false << "120:00";
        QTest::newRow("first day") << "yyyy-mm-dd" << 1.0 << false << "1900-01-01";
        QTest::newRow("day zero") << "yyyy-mm-dd" << 0.0 << false << "1900-01-00";
        QTest::newRow("the day that never was") << "yyyy-mm-dd" << 60.0 << false << "1900-02-29";
        QTest::newRow("after it") << "yyyy-mm-dd" << 61.0 << false << "1900-03-01";
        QTest::newRow("1904 system") << "yyyy-mm-dd" << day - 1462 << true << "2026-12-07";
        QTest::newRow("last date") << "yyyy-mm-dd" << 2958465.0 << false << "9999-12-31";
        QTest::newRow("past the last date") << "yyyy-mm-dd" << 2958466.0 << false << "2958466";
        QTest::newRow("negative is no date") << "yyyy-mm-dd" << -1.0 << false << "-1";
        QTest::newRow("built-in short date")
            << workbook::builtInFormatCode(14) << day << false << "2026/12/7";
        QTest::newRow("built-in date and time")
            << workbook::builtInFormatCode(22) << day + time << false << "2026/12/7 8:04";
        QTest::newRow("built-in Chinese date")
            << workbook::builtInFormatCode(31) << day << false << "2026年12月7日";
        QTest::newRow("built-in Chinese time")
            << workbook::builtInFormatCode(33) << time << false << "8时04分07秒";
    }
    void dates() {
        QFETCH(QString, code);
        QFETCH(double, value);
        QFETCH(bool, date1904);
        QFETCH(QString, shown);
        const NumberFormat format(code);
        QCOMPARE(format.format(value, date1904), shown);
        QVERIFY(format.isDateTime());
    }

    // A section's colour, by name or palette number; none where the section names none.
    void colours_data() {
        QTest::addColumn<QString>("code");
        QTest::addColumn<double>("value");
        QTest::addColumn<int>("colour"); // -1: none
        QTest::newRow("red negative") << "0.00;[Red]-0.00" << -1.0 << 10;
        QTest::newRow("its positive") << "0.00;[Red]-0.00" << 1.0 << -1;
        QTest::newRow("blue lower case") << "[blue]0" << 1.0 << 12;
        QTest::newRow("palette colour") << "[Color10]0" << 1.0 << 17;
        QTest::newRow("palette out of range") << "[Color57]0" << 1.0 << -1;
        QTest::newRow("with a condition") << "[Red][<0]0;[Green]0" << -1.0 << 10;
    }
    void colours() {
        QFETCH(QString, code);
        QFETCH(double, value);
        QFETCH(int, colour);
        NumberFormat::Colour got;
        NumberFormat(code).format(value, false, &got);
        QCOMPARE(got.has_value() ? int(*got) : -1, colour);
    }

    // A text cell goes through the text section only.
    void texts_data() {
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("shown");
        QTest::newRow("General") << "General"
                                 << "浙A12345";
        QTest::newRow("text format") << "@"
                                     << "浙A12345";
        QTest::newRow("text literal") << "\"车号：\"@"
                                      << "车号：浙A12345";
        QTest::newRow("fourth section") << "0;-0;0;[Red]\"<\"@\">\""
                                        << "<浙A12345>";
        QTest::newRow("number format") << "0.00"
                                       << "浙A12345";
        QTest::newRow("date format") << "yyyy-mm-dd"
                                     << "浙A12345";
    }
    void texts() {
        QFETCH(QString, code);
        QFETCH(QString, shown);
        QCOMPARE(NumberFormat(code).formatText("浙A12345"), shown);
    }

    // Every built-in code a file may name: dates among them are dates, the rest are not, and
    // an id that names none is empty.
    void builtIns() {
        const QList<int> dates = {14, 15, 16, 17, 18, 19, 20, 21, 22, 27, 28, 29, 30, 31, 32, 33,
                                  34, 35, 36, 45, 46, 47, 50, 51, 52, 53, 54, 55, 56, 57, 58};
        for (int id = 0; id <= 58; ++id) {
            const QString code = workbook::builtInFormatCode(id);
            if (id >= 23 && id <= 26) {
                QVERIFY(code.isEmpty());
                continue;
            }
            QVERIFY2(!code.isEmpty(), qPrintable(QString::number(id)));
            QCOMPARE(NumberFormat(code).isDateTime(), dates.contains(id));
        }
        QVERIFY(workbook::builtInFormatCode(59).isEmpty());
        QVERIFY(workbook::builtInFormatCode(-1).isEmpty());
        QVERIFY(NumberFormat().isGeneral());
        QVERIFY(!NumberFormat("0.00").isGeneral());
    }
};

QTEST_GUILESS_MAIN(TstNumberFormat)
#include "tst_number_format.moc"
