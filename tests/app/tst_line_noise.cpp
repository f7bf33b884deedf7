// Random bytes at the line's full rate for 15 seconds (WEIGHBRIDGE_NOISE_SECONDS to change):
// the window keeps running, its memory stays flat, and the next good frame shows the right
// weight.

#include "platform/serial_comm_control.h"
#include "support/form_harness.h"
#include "support/pty.h"
#include "support/resident.h"
#include "support/test_classes.h"

#include <QRandomGenerator>
#include <QtTest>

using support::residentKb;

class TstLineNoise : public QObject {
    Q_OBJECT
private slots:
    void randomBytesAtFullRate() {
        const int seconds = qEnvironmentVariableIntValue("WEIGHBRIDGE_NOISE_SECONDS") > 0
                                ? qEnvironmentVariableIntValue("WEIGHBRIDGE_NOISE_SECONDS")
                                : 15;
        support::Pty pty;
        support::FormHarness h(std::make_unique<platform::SerialCommControl>(pty.slavePath()));
        h->start();
        pty.read(500, 6);

        QRandomGenerator random(20261207);
        int notifications = 0;
        connect(h->MSComm1, &platform::CommControl::OnComm, this, [&] { ++notifications; });
        long rssAfterWarmUp = 0;
        QElapsedTimer clock;
        clock.start();
        // 9600 baud carries 960 bytes a second: 48 bytes every 50 ms.
        while (clock.elapsed() < seconds * 1000) {
            QByteArray chunk(48, Qt::Uninitialized);
            for (char& c : chunk)
                c = static_cast<char>(random.bounded(256));
            // Start and end bytes often enough that frames get scanned all the way.
            chunk[random.bounded(48)] = 0x02;
            chunk[random.bounded(48)] = 0x03;
            pty.write(chunk);
            QTest::qWait(50);
            if (rssAfterWarmUp == 0 && clock.elapsed() > qMin(10, seconds / 2) * 1000)
                rssAfterWarmUp = residentKb();
        }
        QVERIFY(notifications > seconds * 10);
#ifndef WEIGHBRIDGE_SANITIZED
        const long rssAtEnd = residentKb();
        QVERIFY2(rssAtEnd <= rssAfterWarmUp + rssAfterWarmUp / 10,
                 qPrintable(QString("resident set grew from %1 kB to %2 kB")
                                .arg(rssAfterWarmUp)
                                .arg(rssAtEnd)));
#endif

        // The line is quiet again: two good frames, the second read whole.
        QTest::qWait(200);
        const QByteArray good =
            QByteArray::fromHex("024142") + "+0008561" + "12" + QByteArray::fromHex("03");
        pty.write(good);
        QTest::qWait(200);
        pty.write(good);
        QTRY_COMPARE(h.display(), QString("85.6kg"));
        QCOMPARE(h.displayColor(), 1376020);
        QCOMPARE(h->Weight_Value, 85.6);
    }
};

WB_TEST_CLASS(TstLineNoise, "tst_line_noise")
#include "tst_line_noise.moc"
