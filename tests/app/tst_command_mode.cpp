// The window on a real serial port: a pseudo-terminal plays the indicator. The query on the
// line, reply frames into the display and the status line, a missing or taken port, and the
// device vanishing. (Events held while a box is open: tst_record_capture.)

#include "doubles/fake_comm_control.h"
#include "platform/serial_comm_control.h"
#include "support/form_harness.h"
#include "support/pty.h"
#include "support/test_classes.h"

#include <QSerialPort>
#include <QtTest>

#include <sys/resource.h>

using support::FormHarness;
using support::Pty;

namespace {

QByteArray hex(const char* h) {
    return QByteArray::fromHex(h);
}
const QByteArray kQuery = hex("024142303303");

QByteArray reply(const char* body, const char* check) {
    return hex("024142") + body + check + hex("03");
}
const QByteArray kP856 = reply("+0008561", "12");

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// A window started on a pty, the query already read off the line.
struct LineRig {
    std::unique_ptr<Pty> pty = std::make_unique<Pty>();
    FormHarness h{std::make_unique<platform::SerialCommControl>(pty->slavePath())};
    QByteArray query;
    LineRig() {
        h->start();
        query = pty->read(500, kQuery.size());
    }
};

} // namespace

class TstCommandMode : public QObject {
    Q_OBJECT
private slots:
    void theQueryGoesOutOnceAndNothingElse() {
        LineRig r;
        QCOMPARE(r.query, kQuery);
        QVERIFY(r.h.messages->shown.isEmpty());
        QCOMPARE(r.h.display(), QString("Load..."));
        QCOMPARE(r.h.displayColor(), 255);
        QCOMPARE(r.h.status(), QString("欢迎使用本系统！"));
        r.pty->write(kP856);
        QTRY_COMPARE(r.h.display(), QString("85.6kg"));
        QCOMPARE(r.pty->read(300), QByteArray());
    }

    // A sequence of reads over the line, each checked after it was handled. "Load..." is
    // always red, a weight always green.
    void repliesOverTheLine_data() {
        QTest::addColumn<QList<QByteArray>>("reads");
        QTest::addColumn<QString>("display");
        QTest::addColumn<double>("weight");
        QTest::addColumn<bool>("changed");
        QTest::addColumn<bool>("announced"); // the last read set "数据接收正常！"
        const QByteArray& p856 = kP856;
        const QByteArray n125 = reply("-0001252", "1A");
        using L = QList<QByteArray>;
        QTest::newRow("85.6") << L{p856} << "85.6kg" << 85.6 << true << true;
        QTest::newRow("-1.25") << L{n125} << "-1.25kg" << 1.25 << true << true;
        QTest::newRow("0.000") << L{reply("+0000003", "1B")} << "0.000kg" << 0.0 << true << true;
        QTest::newRow("same frame twice") << L{p856, p856} << "85.6kg" << 85.6 << false << false;
        QTest::newRow("D=0") << L{reply("+0008560", "13")} << "856kg" << 856.0 << true << true;
        QTest::newRow("D=4") << L{reply("+0008564", "17")} << "0.0856kg" << 0.0856 << true << true;
        QTest::newRow("sign space is positive")
            << L{reply(" 0008561", "19")} << "85.6kg" << 85.6 << true << true;
        QTest::newRow("bad check")
            << L{p856, reply("+0008571", "12")} << "Load..." << 85.6 << true << false;
        QTest::newRow("lower-case check is bad")
            << L{reply("-0001252", "1a")} << "Load..." << 0.0 << true << false;
        QTest::newRow("no start byte keeps the last good frame")
            << L{p856, p856.mid(1)} << "85.6kg" << 85.6 << false << false;
        // One notification reads 14 bytes; the rest goes with the cleared buffer.
        QTest::newRow("bytes after the end byte are dropped")
            << L{p856 + n125} << "85.6kg" << 85.6 << true << true;
        QTest::newRow("split frame: first half over the last one")
            << L{n125, p856.left(7)} << "Load..." << 1.25 << true << false;
        // D outside 0 to 4 keeps the text, and a negative frame puts a further "-" in front.
        QTest::newRow("D=5 negative after -1.25")
            << L{n125, reply("-0001255", "1D")} << "--1.25kg" << 0.00125 << true << true;
        QTest::newRow("thousands digit out of range is a failure")
            << L{p856, hex("024142") + "+00\x7F" + "561" + "31" + hex("03")} << "Load..." << 85.6
            << true << false;
    }
    void repliesOverTheLine() {
        QFETCH(QList<QByteArray>, reads);
        QFETCH(QString, display);
        QFETCH(double, weight);
        QFETCH(bool, changed);
        QFETCH(bool, announced);
        LineRig r;
        QStringList texts;
        connect(r.h->Label4, &app::VbLabel::Change, this, [&] { texts << r.h.status(); });
        int handled = 0;
        connect(r.h->MSComm1, &platform::CommControl::OnComm, this, [&] { ++handled; });
        for (const QByteArray& read : reads) {
            texts.clear();
            const int before = handled;
            r.pty->write(read.leftJustified(14, 'x'));
            QTRY_VERIFY_WITH_TIMEOUT(handled > before, 2000);
            QCoreApplication::processEvents();
        }
        QTest::qWait(50);
        QCOMPARE(handled, int(reads.size()));
        QCOMPARE(r.h->MSComm1->inBufferCount(), std::int16_t{0});
        QCOMPARE(r.h.display(), display);
        QCOMPARE(r.h.displayColor(), display == "Load..." ? 255 : 1376020);
        QCOMPARE(r.h->Weight_Value, weight);
        QCOMPARE(r.h->Change_Flag, changed);
        QCOMPARE(texts.contains("数据接收正常！"), announced);
    }

    // A port that cannot be opened: exactly one message, and the window comes up red.
    void portNotOpened_data() {
        QTest::addColumn<bool>("taken"); // false: no such device
        QTest::newRow("missing") << false;
        QTest::newRow("held by another program") << true;
    }
    void portNotOpened() {
        QFETCH(bool, taken);
        Pty pty;
        QSerialPort holder(pty.slavePath()); // holds the line and its lock file
        QVERIFY(!taken || holder.open(QIODevice::ReadWrite));
        FormHarness h(std::make_unique<platform::SerialCommControl>(
            taken ? pty.slavePath() : "/dev/no-such-serial-port"));
        h->start();
        QCOMPARE(h.messages->shown.size(), 1);
        QCOMPARE(h.messages->shown[0].prompt, QString("端口已打开或正在被使用！"));
        QCOMPARE(h.messages->shown[0].style, 0);
        QVERIFY(h->isVisible());
        QCOMPARE(h.display(), QString("Load..."));
        QCOMPARE(h.displayColor(), 255);
    }

    // A read that fails paints "Load..." red; the same good frame again afterwards leaves the
    // text as it is (the frame did not change) and paints it green again.
    void sameFrameAfterAFailedRead() {
        auto* port = new doubles::FakeCommControl;
        FormHarness h{std::unique_ptr<platform::CommControl>(port)};
        h->start();
        const auto feed = [&](const QByteArray& bytes) {
            port->received = bytes;
            h->runEvent([&] { h->MSComm1_OnComm(); });
        };
        feed(kP856);
        QCOMPARE(h.displayColor(), 1376020);
        port->failing.insert("Input");
        feed(kP856);
        QCOMPARE(h.display(), QString("Load..."));
        QCOMPARE(h.displayColor(), 255);
        port->failing.clear();
        feed(kP856);
        QCOMPARE(h.display(), QString("Load..."));
        QCOMPARE(h.displayColor(), 1376020);
    }

    void deviceVanishes() {
        LineRig r;
        r.pty->write(kP856);
        QTRY_COMPARE(r.h.display(), QString("85.6kg"));
        r.pty.reset(); // the line goes away
        QTRY_COMPARE(r.h.displayColor(), 255);
        QCOMPARE(r.h.display(), QString("Load..."));
        // No busy loop: the window idles afterwards.
        const double before = cpuSeconds();
        QTest::qWait(1000);
        QVERIFY2(cpuSeconds() - before < 0.3, "the port keeps the CPU busy after the device went");
        QVERIFY(r.h->isVisible());
    }
};

WB_TEST_CLASS(TstCommandMode, "tst_command_mode")
#include "tst_command_mode.moc"
