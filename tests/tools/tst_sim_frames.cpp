// The simulator's frames: the indicator's reply and continuous frames byte for byte, the ways a
// reply is spoilt, the query finder and the frame log.

#include "indicator_sim/frame_log.h"
#include "indicator_sim/frames.h"

#include <QTest>

#include <cmath>
#include <limits>

using namespace indicator_sim;

namespace {

QByteArray hex(const char* text) {
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

} // namespace

class TstSimFrames : public QObject {
    Q_OBJECT

private slots:
    void replyFrame_data();
    void replyFrame();
    void streamFrame_data();
    void streamFrame();
    void weightToReading_data();
    void weightToReading();
    void corruption_data();
    void corruption();
    void queryScanner_data();
    void queryScanner();
    void logLine_data();
    void logLine();
};

void TstSimFrames::replyFrame_data() {
    QTest::addColumn<double>("kg");
    QTest::addColumn<int>("decimals");
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QString>("text");

    QTest::newRow("+85.6") << 85.6 << 1 << hex("02 41 42 2B 30 30 30 38 35 36 31 31 32 03")
                           << "85.6";
    QTest::newRow("-1.25") << -1.25 << 2 << hex("02 41 42 2D 30 30 30 31 32 35 32 31 41 03")
                           << "-1.25";
    QTest::newRow("0.000") << 0.0 << 3 << hex("02 41 42 2B 30 30 30 30 30 30 33 31 42 03")
                           << "0.000";
    QTest::newRow("856, no decimals")
        << 856.0 << 0 << hex("02 41 42 2B 30 30 30 38 35 36 30 31 33 03") << "856";
}

void TstSimFrames::replyFrame() {
    QFETCH(double, kg);
    QFETCH(int, decimals);
    QFETCH(QByteArray, frame);
    QFETCH(QString, text);

    const auto reading = readingFor(kg, decimals);
    QVERIFY(reading);
    QCOMPARE(commandReply(*reading), frame);
    QVERIFY(replyCheckPasses(frame));
    QCOMPARE(reading->text(), text);
}

void TstSimFrames::streamFrame_data() {
    QTest::addColumn<double>("kg");
    QTest::addColumn<int>("decimals");
    QTest::addColumn<QByteArray>("extra");
    QTest::addColumn<QByteArray>("frame");

    QTest::newRow("-15.00") << -15.0 << 2 << QByteArray() << hex("02 2D 30 30 31 35 30 30 32 03");
    QTest::newRow("extra bytes carried")
        << 50.0 << 0 << QByteArray("  ") << hex("02 2B 30 30 30 30 35 30 30 20 20 03");
}

void TstSimFrames::streamFrame() {
    QFETCH(double, kg);
    QFETCH(int, decimals);
    QFETCH(QByteArray, extra);
    QFETCH(QByteArray, frame);

    const auto reading = readingFor(kg, decimals);
    QVERIFY(reading);
    QCOMPARE(indicator_sim::continuousFrame(*reading, extra), frame);
}

void TstSimFrames::weightToReading_data() {
    QTest::addColumn<double>("kg");
    QTest::addColumn<int>("decimals");
    QTest::addColumn<QByteArray>("expected"); // sign, six digits, decimals; empty: refused

    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    QTest::newRow("largest") << 999999.0 << 0 << QByteArray("+9999990");
    QTest::newRow("largest negative") << -999999.0 << 0 << QByteArray("-9999990");
    QTest::newRow("seven digits") << 1000000.0 << 0 << QByteArray();
    QTest::newRow("largest at 4 places") << 99.9999 << 4 << QByteArray("+9999994");
    QTest::newRow("too large at 4 places") << 100.0 << 4 << QByteArray();
    QTest::newRow("rounded to the last place") << 15.004 << 2 << QByteArray("+0015002");
    QTest::newRow("rounds up") << 0.96 << 0 << QByteArray("+0000010");
    QTest::newRow("small negative keeps its sign") << -0.004 << 2 << QByteArray("-0000002");
    QTest::newRow("5 places") << 1.0 << 5 << QByteArray();
    QTest::newRow("nan") << nan << 0 << QByteArray();
    QTest::newRow("infinity") << inf << 0 << QByteArray();
}

void TstSimFrames::weightToReading() {
    QFETCH(double, kg);
    QFETCH(int, decimals);
    QFETCH(QByteArray, expected);

    const auto reading = indicator_sim::readingFor(kg, decimals);
    QCOMPARE(reading.has_value(), !expected.isEmpty());
    if (!reading)
        return;
    QByteArray got;
    got += reading->sign;
    got += QByteArray(reading->digits.data(), 6);
    got += reading->decimals;
    QCOMPARE(got, expected);
}

void TstSimFrames::corruption_data() {
    QTest::addColumn<double>("kg");
    QTest::addColumn<int>("decimals");
    QTest::addColumn<Corruption>("corruption");
    QTest::addColumn<bool>("passes");

    QTest::newRow("wrong check") << 85.6 << 1 << Corruption::WrongCheck << false;
    QTest::newRow("lower case 1a") << -1.25 << 2 << Corruption::LowerCaseCheck << false;
    QTest::newRow("lower case without a letter") << 85.6 << 1 << Corruption::LowerCaseCheck << true;
    QTest::newRow("damaged digit") << 85.6 << 1 << Corruption::DamagedDigit << false;
    QTest::newRow("damaged digit 9") << 999999.0 << 0 << Corruption::DamagedDigit << false;
}

void TstSimFrames::corruption() {
    QFETCH(double, kg);
    QFETCH(int, decimals);
    QFETCH(Corruption, corruption);
    QFETCH(bool, passes);

    const auto reading = readingFor(kg, decimals);
    QVERIFY(reading);
    const QByteArray good = commandReply(*reading);
    const QByteArray bad = commandReply(*reading, {'A', 'B', corruption});
    QCOMPARE(replyCheckPasses(bad), passes);
    // Framing stays intact: a spoilt frame still reaches the receiver's check.
    QCOMPARE(bad.size(), kReplyLength);
    QCOMPARE(bad.front(), kStart);
    QCOMPARE(bad.back(), kEnd);
    QCOMPARE(bad.left(3), good.left(3));
    if (corruption == Corruption::LowerCaseCheck)
        QCOMPARE(bad.sliced(11, 2).toUpper(), good.sliced(11, 2));
    if (corruption == Corruption::DamagedDigit) {
        // The check of the undamaged frame, over one changed weight digit.
        QCOMPARE(bad.sliced(11, 2), good.sliced(11, 2));
        QCOMPARE(bad.sliced(3, 6), good.sliced(3, 6));
        QVERIFY(bad[9] != good[9]);
    }
}

void TstSimFrames::queryScanner_data() {
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<int>("queries");

    const QByteArray q = hex("02 41 42 30 33 03");
    QTest::newRow("one") << QList<QByteArray>{q} << 1;
    QTest::newRow("two at once") << QList<QByteArray>{q + q} << 2;
    QTest::newRow("split") << QList<QByteArray>{q.left(2), q.mid(2, 3), q.mid(5)} << 1;
    QTest::newRow("noise before") << QList<QByteArray>{hex("FF 03 02 41") + q} << 1;
    QTest::newRow("restart at a start byte") << QList<QByteArray>{hex("02 41 42"), q} << 1;
    QTest::newRow("wrong check") << QList<QByteArray>{hex("02 41 42 30 34 03")} << 0;
    QTest::newRow("no end byte") << QList<QByteArray>{q.left(5), hex("02")} << 0;
}

void TstSimFrames::queryScanner() {
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(int, queries);

    QueryScanner scanner;
    int found = 0;
    for (const QByteArray& piece : pieces)
        found += scanner.feed(piece);
    QCOMPARE(found, queries);
}

void TstSimFrames::logLine_data() {
    QTest::addColumn<QString>("status"); // empty: a line that is not read back
    QTest::addColumn<bool>("corrupted");
    QTest::addColumn<bool>("noise");

    QTest::newRow("ok") << "ok" << false << false;
    QTest::newRow("bad check") << "bad-check" << true << false;
    QTest::newRow("noise") << "noise" << false << true;
}

void TstSimFrames::logLine() {
    QFETCH(QString, status);
    QFETCH(bool, corrupted);
    QFETCH(bool, noise);

    ScriptFrame frame;
    frame.reading = *readingFor(-15.0, 2);
    frame.bytes = noise ? hex("FF 00 02") : continuousFrame(frame.reading);
    frame.corrupted = corrupted;
    frame.noise = noise;
    const QString line = formatLogLine(9, frame);
    QVERIFY(line.endsWith("\t" + status));

    const auto entry = parseLogLine(line);
    QVERIFY(entry);
    QCOMPARE(entry->sequence, 9);
    QCOMPARE(entry->bytes, frame.bytes);
    QCOMPARE(entry->weight, noise ? QString() : QStringLiteral("-15.00"));
    QCOMPARE(entry->corrupted, corrupted);
    QCOMPARE(entry->noise, noise);

    // Damaged lines are skipped rather than misread.
    QVERIFY(!parseLogLine(QString(line).replace(hexBytes(frame.bytes), "0G")));
    QVERIFY(!parseLogLine(QString(line).replace("\t" + status, "\tmaybe")));
    QVERIFY(!parseLogLine("# " + line));
}

QTEST_GUILESS_MAIN(TstSimFrames)
#include "tst_sim_frames.moc"
