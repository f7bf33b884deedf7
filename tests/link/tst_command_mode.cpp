// The window on a real serial port: a pseudo-terminal plays the indicator. Start-up, the
// query on the line, reply frames into the display and the status line, a missing or taken
// port, events held while a modal box is open, and the device vanishing.

#include "platform/serial_comm_control.h"
#include "support/form_harness.h"
#include "support/pty.h"

#include <QLineEdit>
#include <QPushButton>
#include <QSerialPort>
#include <QtTest>

#include <sys/resource.h>

using support::FormHarness;
using support::Pty;

namespace {

QByteArray hex(const char* h) { return QByteArray::fromHex(h); }
const QByteArray kQuery = hex("024142303303");

QByteArray reply(const char* body, const char* check) {
    return hex("024142") + body + check + hex("03");
}

std::unique_ptr<platform::SerialCommControl> portOn(const QString& device) {
    return std::make_unique<platform::SerialCommControl>(device);
}

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

} // namespace

class TstCommandMode : public QObject {
    Q_OBJECT
private slots:
    void startUpSendsTheQueryOnce() {
        Pty pty;
        FormHarness h(portOn(pty.slavePath()));
        h->start();
        QCOMPARE(pty.read(500), kQuery);
        QVERIFY(h.messages->shown.isEmpty());
        QCOMPARE(h.display(), QString("Load..."));
        QCOMPARE(h.displayColor(), 255);
        QCOMPARE(h->Label1[4]->font().pointSizeF(), 50.0);
        QCOMPARE(h->Label1[4]->topTwips(), 50.0f);
        QCOMPARE(h.status(), QString("欢迎使用本系统！"));
        QVERIFY(!h->Command4->isEnabled());
        QVERIFY(!h->Label3->isVisible());
        QCOMPARE(h->Frame_Len, std::int16_t{14});
        // The clock's first tick comes at once.
        QTRY_COMPARE_WITH_TIMEOUT(h->Label1[3]->caption(), QString("日期：2010年08月04日"), 500);
        QCOMPARE(h->Label1[5]->caption(), QString("时间：09时05分03秒"));
        // Nothing else is ever sent, whatever arrives.
        pty.write(reply("+0008561", "12"));
        QTRY_COMPARE(h.display(), QString("85.6kg"));
        QCOMPARE(pty.read(300), QByteArray());
    }

    // A sequence of reads over the line, each checked after it was handled.
    void repliesOverTheLine_data() {
        QTest::addColumn<QList<QByteArray>>("reads");
        QTest::addColumn<QString>("display");
        QTest::addColumn<int>("color");
        QTest::addColumn<double>("weight");
        QTest::addColumn<bool>("changed");
        QTest::addColumn<bool>("announced"); // the last read set "数据接收正常！"
        const QByteArray p856 = reply("+0008561", "12");
        const QByteArray n125 = reply("-0001252", "1A");
        const QByteArray z = reply("+0000003", "1B");
        const bool ok = true;
        const bool no = false;
        using L = QList<QByteArray>;
        QTest::newRow("85.6") << L{p856} << "85.6kg" << 1376020 << 85.6 << true << ok;
        QTest::newRow("-1.25") << L{n125} << "-1.25kg" << 1376020 << 1.25 << true << ok;
        QTest::newRow("0.000") << L{z} << "0.000kg" << 1376020 << 0.0 << true << ok;
        QTest::newRow("same frame twice") << L{p856, p856} << "85.6kg" << 1376020 << 85.6 << false
                                          << no;
        QTest::newRow("D=0") << L{reply("+0008560", "13")} << "856kg" << 1376020 << 856.0 << true
                             << ok;
        QTest::newRow("D=4") << L{reply("+0008564", "17")} << "0.0856kg" << 1376020 << 0.0856
                             << true << ok;
        QTest::newRow("sign space is positive")
            << L{reply(" 0008561", "19")} << "85.6kg" << 1376020 << 85.6 << true << ok;
        QTest::newRow("bad check, red") << L{p856, reply("+0008571", "12")} << "Load..." << 255
                                        << 85.6 << true << no;
        QTest::newRow("lower-case check is bad")
            << L{reply("-0001252", "1a")} << "Load..." << 255 << 0.0 << true << no;
        QTest::newRow("no start byte keeps the last good frame")
            << L{p856, p856.mid(1)} << "85.6kg" << 1376020 << 85.6 << false << no;
        QTest::newRow("bytes after the end byte are ignored")
            << L{p856 + n125.left(5)} << "85.6kg" << 1376020 << 85.6 << true << ok;
        // D outside 0 to 4 keeps the text, and a negative frame puts a further "-" in front.
        QTest::newRow("D=5 negative after -1.25")
            << L{n125, reply("-0001255", "1D")} << "--1.25kg" << 1376020 << 0.00125 << true << ok;
        QTest::newRow("thousands digit out of range is a failure")
            << L{p856, hex("024142") + "+00" + QByteArray(1, char(0x7F)) + "561" +
                           QByteArray("31") + hex("03")}
            << "Load..." << 255 << 85.6 << true << no;
    }
    void repliesOverTheLine() {
        QFETCH(QList<QByteArray>, reads);
        QFETCH(QString, display);
        QFETCH(int, color);
        QFETCH(double, weight);
        QFETCH(bool, changed);
        QFETCH(bool, announced);
        Pty pty;
        FormHarness h(portOn(pty.slavePath()));
        h->start();
        QCOMPARE(pty.read(500, kQuery.size()), kQuery);
        QStringList texts;
        connect(h->Label4, &app::VbLabel::Change, this, [&] { texts << h.status(); });
        for (const QByteArray& r : reads) {
            texts.clear();
            QByteArray padded = r.leftJustified(14, 'x');
            bool handled = false;
            auto c = connect(h->MSComm1, &platform::CommControl::OnComm, this,
                             [&] { handled = true; });
            pty.write(padded);
            QTRY_VERIFY_WITH_TIMEOUT(handled, 2000);
            QCoreApplication::processEvents();
            disconnect(c);
        }
        QCOMPARE(h.display(), display);
        QCOMPARE(h.displayColor(), color);
        QCOMPARE(h->Weight_Value, weight);
        QCOMPARE(h->Change_Flag, changed);
        QCOMPARE(texts.contains("数据接收正常！"), announced);
    }

    // Bytes beyond one 14-byte read are discarded with the buffer clear.
    void oneParsePerNotification() {
        Pty pty;
        FormHarness h(portOn(pty.slavePath()));
        h->start();
        pty.read(500, kQuery.size());
        int notifications = 0;
        connect(h->MSComm1, &platform::CommControl::OnComm, this, [&] { ++notifications; });
        pty.write(reply("+0008561", "12") + reply("-0001252", "1A"));
        QTRY_COMPARE(h.display(), QString("85.6kg"));
        QTest::qWait(100);
        QCOMPARE(notifications, 1);
        QCOMPARE(h->MSComm1->inBufferCount(), std::int16_t{0});
    }

    void missingPort() {
        FormHarness h(portOn("/dev/no-such-serial-port"));
        h->start();
        QCOMPARE(h.messages->shown.size(), 1);
        QCOMPARE(h.messages->shown[0].prompt, QString("端口已打开或正在被使用！"));
        QCOMPARE(h.messages->shown[0].style, 0);
        QCOMPARE(h.messages->shown[0].title, QString());
        QVERIFY(h->isVisible());
        QCOMPARE(h.display(), QString("Load..."));
        QCOMPARE(h.displayColor(), 255);
        QCOMPARE(h.status(), QString("欢迎使用本系统！"));
    }

    void portTakenByAnotherProgram() {
        Pty pty;
        // Another user of the line holds it (and its lock file).
        QSerialPort holder(pty.slavePath());
        QVERIFY(holder.open(QIODevice::ReadWrite));
        FormHarness h(portOn(pty.slavePath()));
        h->start();
        QCOMPARE(h.messages->shown.size(), 1);
        QCOMPARE(h.messages->shown[0].prompt, QString("端口已打开或正在被使用！"));
        QCOMPARE(h.displayColor(), 255);
    }

    // A frame that arrives while a modal box is open waits until the box is answered.
    void notificationsWaitForAModalBox() {
        Pty pty;
        FormHarness h(portOn(pty.slavePath()));
        h->start();
        pty.read(500, kQuery.size());
        QString displayWhileOpen;
        h.messages->whileShown = [&] {
            pty.write(reply("+0008561", "12"));
            QTest::qWait(200); // a nested event loop, as a real modal box runs
            displayWhileOpen = h.display();
        };
        h->runEvent([&] { h->messages().MsgBox("test"); });
        QCOMPARE(displayWhileOpen, QString("Load..."));
        QTRY_COMPARE(h.display(), QString("85.6kg"));
    }

    void deviceVanishes() {
        auto pty = std::make_unique<Pty>();
        FormHarness h(portOn(pty->slavePath()));
        h->start();
        pty->read(500, kQuery.size());
        pty->write(reply("+0008561", "12"));
        QTRY_COMPARE(h.display(), QString("85.6kg"));
        pty.reset(); // the line goes away
        QTRY_COMPARE(h.displayColor(), 255);
        QCOMPARE(h.display(), QString("Load..."));
        // No busy loop: the window idles afterwards.
        const double before = cpuSeconds();
        QTest::qWait(1000);
        QVERIFY2(cpuSeconds() - before < 0.3, "the port keeps the CPU busy after the device went");
        QVERIFY(h->isVisible());
    }
};

QTEST_MAIN(TstCommandMode)
#include "tst_command_mode.moc"
