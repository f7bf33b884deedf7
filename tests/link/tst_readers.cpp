// The indicator readers alone: reads of the line in, what the window shows out. Each row is
// a sequence of reads into one stored frame; the last read's outcome is checked, so a rule
// that depends on what an earlier read left behind is caught here.

#include "indicator_sim/frames.h"
#include "link/readers.h"

#include <QtTest>

using indicator::kDisplayGreen;
using indicator::kDisplayRed;

namespace {

// A command-mode reply built byte by byte: sign, six digits and the decimals byte, with
// the check digits the indicator computes, so that even unusual fields pass the check.
QByteArray reply(char sign, const char* digits, char decimals) {
    QByteArray body = QByteArray("AB") + sign + digits + decimals;
    int x = 0;
    for (const char c : body)
        x ^= static_cast<std::uint8_t>(c);
    return '\x02' + body + char(indicator::hexDigitCode(x / 16)) +
           char(indicator::hexDigitCode(x % 16)) + '\x03';
}

QByteArray reply(double kg, int decimals = 1) {
    return indicator_sim::commandReply(*indicator_sim::readingFor(kg, decimals));
}

QByteArray badCheck(double kg) {
    return indicator_sim::commandReply(*indicator_sim::readingFor(kg, 1),
                                       {'A', 'B', indicator_sim::Corruption::WrongCheck});
}

QByteArray continuous(double kg, int decimals = 1) {
    return indicator_sim::continuousFrame(*indicator_sim::readingFor(kg, decimals));
}

const QString kNone = QStringLiteral("<none>");
QString shown(const std::optional<QString>& text) {
    return text.value_or(kNone);
}

} // namespace

class TstReaders : public QObject {
    Q_OBJECT
private slots:
    void commandReader_data() {
        QTest::addColumn<QList<QByteArray>>("reads");
        QTest::addColumn<bool>("changed");
        QTest::addColumn<double>("weight"); // -1: none
        QTest::addColumn<QString>("display");
        QTest::addColumn<int>("color");
        QTest::addColumn<QString>("status");
        const QString ok = QStringLiteral("数据接收正常！");
        QTest::newRow("first reply")
            << QList<QByteArray>{reply(85.6)} << true << 85.6 << "85.6kg" << kDisplayGreen << ok;
        QTest::newRow("same reply again: green, nothing new")
            << QList<QByteArray>{reply(85.6), reply(85.6)} << false << -1.0 << kNone
            << kDisplayGreen << kNone;
        QTest::newRow("junk between replies keeps the display green")
            << QList<QByteArray>{reply(85.6), QByteArray("xyz")} << false << -1.0 << kNone
            << kDisplayGreen << kNone;
        QTest::newRow("failed check") << QList<QByteArray>{reply(85.6), badCheck(85.6)} << true
                                      << -1.0 << "Load..." << kDisplayRed << kNone;
        QTest::newRow("good reply after a failed check")
            << QList<QByteArray>{reply(85.6), badCheck(85.6), reply(85.6)} << true << 85.6
            << "85.6kg" << kDisplayGreen << ok;
        QTest::newRow("negative") << QList<QByteArray>{reply(-12.5)} << true << 12.5 << "-12.5kg"
                                  << kDisplayGreen << ok;
        QTest::newRow("four decimals") << QList<QByteArray>{reply(1.2345, 4)} << true << 1.2345
                                       << "1.2345kg" << kDisplayGreen << ok;
        QTest::newRow("decimals no text shows: the text stays")
            << QList<QByteArray>{reply('+', "000856", '7')} << true << 0.0000856 << kNone
            << kDisplayGreen << ok;
        QTest::newRow("negative with such decimals: a sign in front of the old text")
            << QList<QByteArray>{reply('-', "000856", '7')} << true << 0.0000856 << "-Load..."
            << kDisplayGreen << ok;
        QTest::newRow("thousands digit out of range")
            << QList<QByteArray>{reply('+',
                                       "00\x7f"
                                       "856",
                                       '1')}
            << true << -1.0 << "Load..." << kDisplayRed << kNone;
        QTest::newRow("longer than the stored frame")
            << QList<QByteArray>{reply(85.6), '\x02' + QByteArray(40, '5')} << true << -1.0
            << "Load..." << kDisplayRed << kNone;
        QTest::newRow("nothing ever stored") << QList<QByteArray>{QByteArray("abc")} << false
                                             << -1.0 << "Load..." << kDisplayRed << kNone;
    }
    void commandReader() {
        QFETCH(QList<QByteArray>, reads);
        QFETCH(bool, changed);
        QFETCH(double, weight);
        QFETCH(QString, display);
        QFETCH(int, color);
        QFETCH(QString, status);
        indicator::RecvBuffer frame{};
        const indicator::CommandReader reader(frame);
        QString text = indicator::noReadingText();
        indicator::ReadOutcome o;
        for (const QByteArray& chunk : reads) {
            o = reader.read(chunk, text);
            text = o.display.value_or(text);
        }
        QCOMPARE(o.changed, changed);
        QCOMPARE(o.weight.value_or(-1.0), weight);
        QCOMPARE(shown(o.display), display);
        QCOMPARE(o.color, color);
        QCOMPARE(shown(o.status), status);
    }

    void continuousReader_data() {
        QTest::addColumn<QList<QByteArray>>("reads");
        QTest::addColumn<bool>("changed");
        QTest::addColumn<bool>("reading");
        QTest::addColumn<double>("weight"); // -1: none
        QTest::addColumn<QString>("display");
        QTest::addColumn<QByteArray>("stored");
        const QByteArray f = continuous(85.6);
        QTest::newRow("first frame")
            << QList<QByteArray>{f} << true << true << 85.6 << "85.6kg" << f;
        QTest::newRow("same frame again")
            << QList<QByteArray>{f, f} << false << false << -1.0 << kNone << f;
        QTest::newRow("only the chunk's first frame")
            << QList<QByteArray>{f + continuous(90.1)} << true << true << 85.6 << "85.6kg" << f;
        QTest::newRow("a later start byte restarts the frame")
            << QList<QByteArray>{QByteArray("\x02+0") + f} << true << true << 85.6 << "85.6kg"
            << QByteArray("\x02+0") + f;
        QTest::newRow("negative") << QList<QByteArray>{continuous(-3.5)} << true << true << 3.5
                                  << "-3.5kg" << continuous(-3.5);
        QTest::newRow("a digit that is none: nothing taken")
            << QList<QByteArray>{f, QByteArray("\x02+00x856") + '1' + '\x03'} << false << false
            << -1.0 << kNone << QByteArray("\x02+00x8561\x03");
        QTest::newRow("decimals no text shows")
            << QList<QByteArray>{QByteArray("\x02+000856") + '7' + '\x03'} << true << true
            << 0.0000856 << kNone << QByteArray("\x02+0008567\x03");
    }
    void continuousReader() {
        QFETCH(QList<QByteArray>, reads);
        QFETCH(bool, changed);
        QFETCH(bool, reading);
        QFETCH(double, weight);
        QFETCH(QString, display);
        QFETCH(QByteArray, stored);
        indicator::RecvBuffer frame{};
        const indicator::ContinuousReader reader(frame);
        indicator::ContinuousOutcome o;
        for (const QByteArray& chunk : reads)
            o = reader.read(chunk);
        QCOMPARE(o.changed, changed);
        QCOMPARE(o.reading, reading);
        QCOMPARE(o.weight.value_or(-1.0), weight);
        QCOMPARE(shown(o.display), display);
        QCOMPARE(o.stored, stored);
        QCOMPARE(o.color, kDisplayGreen);
    }
};

QTEST_APPLESS_MAIN(TstReaders)
#include "tst_readers.moc"
