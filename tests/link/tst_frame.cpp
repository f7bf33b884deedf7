// The command-mode frame functions on their own: the scan of one read into the stored frame,
// the check and the digits. The worked replies over a real line are in tst_command_mode.

#include "link/frame.h"

#include <QtTest>

using indicator::RecvBuffer;

namespace {
QByteArray hex(const char* h) {
    return QByteArray::fromHex(h);
}
} // namespace

class TstFrame : public QObject {
    Q_OBJECT
private slots:
    // One read into a stored frame: whether it changed, and whether the frame then checks
    // (which it only does with every byte in its place).
    void scanAndCheck_data() {
        QTest::addColumn<QByteArray>("before"); // frame stored before (a whole read)
        QTest::addColumn<QByteArray>("chunk");
        QTest::addColumn<bool>("changed");
        QTest::addColumn<bool>("passes");
        const QByteArray p856 = hex("024142") + "+0008561" + "12" + hex("03");
        const QByteArray n125 = hex("024142") + "-0001252" + "1A" + hex("03");
        QTest::newRow("start byte last") << p856 << QByteArray("xyz\x02") << false << true;
        QTest::newRow("junk before start") << QByteArray() << "\x01\xff" + p856 << true << true;
        QTest::newRow("second frame ignored") << QByteArray() << p856 + n125 << true << true;
        QTest::newRow("split frame: first half over old frame")
            << n125 << p856.left(7) << true << false;
        QTest::newRow("no end byte needed") << QByteArray() << p856.left(13) + "Z" << true << true;
        QTest::newRow("all zero buffer fails") << QByteArray() << QByteArray() << false << false;
    }
    void scanAndCheck() {
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, chunk);
        QFETCH(bool, changed);
        QFETCH(bool, passes);
        RecvBuffer buf{};
        bool c = false;
        QVERIFY(indicator::scanCommandReply(buf, before, c));
        c = false;
        QVERIFY(indicator::scanCommandReply(buf, chunk, c));
        QCOMPARE(c, changed);
        QCOMPARE(indicator::commandCheckPasses(buf), passes);
        QCOMPARE(buf[0], std::uint8_t{0}); // the start byte is never stored
    }

    void scanStopsPastIndex30() {
        RecvBuffer buf{};
        bool c = false;
        QVERIFY(!indicator::scanCommandReply(buf, hex("02") + QByteArray(40, 'x'), c));
        QVERIFY(c);
        QCOMPARE(buf[30], std::uint8_t('x'));
    }

    // The thousands place is the only one that can leave its 16-bit range (codes 16 to 80);
    // garbage in the other places is counted, not refused.
    void digitsRange() {
        RecvBuffer buf{};
        std::fill(buf.begin() + 4, buf.begin() + 10, std::uint8_t('0'));
        for (const auto& [code, inRange] :
             {std::pair{16, true}, {15, false}, {80, true}, {81, false}}) {
            buf[6] = static_cast<std::uint8_t>(code);
            QVERIFY2(indicator::commandDigits(buf).has_value() == inRange,
                     qPrintable(QString::number(code)));
        }
        buf[4] = 0xFF;
        buf[6] = '0';
        QCOMPARE(indicator::commandDigits(buf).value_or(0), (0xFF - 48) * 100000);
    }
};

QTEST_APPLESS_MAIN(TstFrame)
#include "tst_frame.moc"
