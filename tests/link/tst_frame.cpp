// The command-mode frame functions: query, scan, check, digits and display text.

#include "link/frame.h"

#include <QtTest>

using indicator::RecvBuffer;

namespace {
QByteArray hex(const char* h) { return QByteArray::fromHex(h); }
} // namespace

class TstFrame : public QObject {
    Q_OBJECT
private slots:
    void queryBytes() {
        const auto q = indicator::commandQuery();
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(q.data()), 6), hex("024142303303"));
    }

    void hexDigits_data() {
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("code");
        QTest::newRow("0") << 0 << int('0');
        QTest::newRow("9") << 9 << int('9');
        QTest::newRow("10") << 10 << int('A');
        QTest::newRow("15") << 15 << int('F');
    }
    void hexDigits() {
        QFETCH(int, value);
        QFETCH(int, code);
        QCOMPARE(int(indicator::hexDigitCode(value)), code);
    }

    // One read into a stored frame: what is stored, whether it changed, whether it checks.
    void scanAndCheck_data() {
        QTest::addColumn<QByteArray>("before"); // frame stored before (a whole read)
        QTest::addColumn<QByteArray>("chunk");
        QTest::addColumn<bool>("changed");
        QTest::addColumn<bool>("passes");
        QTest::addColumn<int>("digits"); // -1: not looked at
        QTest::addColumn<int>("decimals");

        const QByteArray p856 = hex("024142") + "+0008561" + "12" + hex("03");
        const QByteArray n125 = hex("024142") + "-0001252" + "1A" + hex("03");
        const QByteArray z0 = hex("024142") + "+0000003" + "1B" + hex("03");
        QTest::newRow("85.6 from zero") << QByteArray() << p856 << true << true << 856 << 1;
        QTest::newRow("-1.25") << QByteArray() << n125 << true << true << 125 << 2;
        QTest::newRow("0.000") << QByteArray() << z0 << true << true << 0 << 3;
        QTest::newRow("same frame twice") << p856 << p856 << false << true << 856 << 1;
        QTest::newRow("no start byte") << p856 << p856.mid(1) << false << true << 856 << 1;
        QTest::newRow("start byte last") << p856 << (QByteArray("xyz") + hex("02")) << false
                                         << true << 856 << 1;
        QTest::newRow("junk before start") << QByteArray() << (QByteArray("\x01\xff") + p856)
                                           << true << true << 856 << 1;
        QTest::newRow("second frame ignored") << QByteArray() << (p856 + n125) << true << true
                                              << 856 << 1;
        QTest::newRow("split frame: first half over old frame")
            << n125 << p856.left(7) << true << false << -1 << 0;
        QTest::newRow("no end byte needed")
            << QByteArray() << (p856.left(13) + "Z") << true << true << 856 << 1;
        QTest::newRow("lower-case check never matches")
            << QByteArray() << (hex("024142") + "-0001252" + "1a" + hex("03")) << true << false
            << -1 << 0;
        QTest::newRow("bad check") << QByteArray() << (hex("024142") + "+0008561" + "13" + hex("03"))
                                   << true << false << -1 << 0;
        QTest::newRow("all zero buffer fails") << QByteArray() << QByteArray() << false << false
                                               << -1 << 0;
    }
    void scanAndCheck() {
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, chunk);
        QFETCH(bool, changed);
        QFETCH(bool, passes);
        QFETCH(int, digits);
        QFETCH(int, decimals);
        RecvBuffer buf{};
        bool dummy = false;
        QVERIFY(indicator::scanCommandReply(buf, before, dummy));
        bool c = false;
        QVERIFY(indicator::scanCommandReply(buf, chunk, c));
        QCOMPARE(c, changed);
        QCOMPARE(indicator::commandCheckPasses(buf), passes);
        QCOMPARE(buf[0], std::uint8_t{0}); // the start byte is never stored
        if (digits >= 0) {
            QCOMPARE(indicator::commandDigits(buf).value_or(-1), digits);
            QCOMPARE(buf[10] - 48, decimals);
        }
    }

    void scanStopsPastIndex30() {
        RecvBuffer buf{};
        bool c = false;
        QVERIFY(!indicator::scanCommandReply(buf, hex("02") + QByteArray(40, 'x'), c));
        QVERIFY(c);
        QCOMPARE(buf[30], std::uint8_t('x'));
    }

    // The thousands place is the only one that can leave its 16-bit range.
    void digitsRange_data() {
        QTest::addColumn<int>("thousandsByte");
        QTest::addColumn<bool>("inRange");
        QTest::newRow("digit") << int('5') << true;
        QTest::newRow("code 16") << 16 << true;
        QTest::newRow("code 15") << 15 << false;
        QTest::newRow("code 80") << 80 << true;
        QTest::newRow("code 81") << 81 << false;
        QTest::newRow("code 255") << 255 << false;
    }
    void digitsRange() {
        QFETCH(int, thousandsByte);
        QFETCH(bool, inRange);
        RecvBuffer buf{};
        for (std::size_t i = 4; i <= 9; ++i)
            buf[i] = '0';
        buf[6] = static_cast<std::uint8_t>(thousandsByte);
        QCOMPARE(indicator::commandDigits(buf).has_value(), inRange);
        // Garbage in the other places is counted, not refused.
        buf[4] = 0xFF;
        buf[6] = '0';
        QCOMPARE(indicator::commandDigits(buf).value_or(0), (0xFF - 48) * 100000);
    }

    void weightText_data() {
        QTest::addColumn<double>("weight");
        QTest::addColumn<int>("decimals");
        QTest::addColumn<QString>("text");
        QTest::newRow("D=0") << 856.0 << 0 << "856kg";
        QTest::newRow("D=1") << 85.6 << 1 << "85.6kg";
        QTest::newRow("D=3 zero") << 0.0 << 3 << "0.000kg";
        QTest::newRow("D=4") << 0.0856 << 4 << "0.0856kg";
        QTest::newRow("D=2 whole") << 15.0 << 2 << "15.00kg";
        QTest::newRow("D=5") << 1.0 << 5 << QString();
        QTest::newRow("D=-1") << 1.0 << -1 << QString();
    }
    void weightText() {
        QFETCH(double, weight);
        QFETCH(int, decimals);
        QFETCH(QString, text);
        QCOMPARE(indicator::weightText(weight, decimals).value_or(QString()), text);
    }
};

QTEST_APPLESS_MAIN(TstFrame)
#include "tst_frame.moc"
