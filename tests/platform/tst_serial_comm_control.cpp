// The serial-port control on a pseudo-terminal, without a window: notifications held while
// an event runs and raised once it ends, frames that came together raised one by one, and a
// device lost while notifications were held reported after them.

#include "platform/failure.h"
#include "platform/serial_comm_control.h"
#include "support/pty.h"
#include "support/test_classes.h"

#include <QSignalSpy>
#include <QtTest>

namespace {

const QByteArray kFrame(14, 'w');

// The control on the pty's slave, opened for 14-byte frames, with a handler that reads one
// frame a notification (an empty text for a read that failed).
struct Line {
    support::Pty pty;
    platform::SerialCommControl port{pty.slavePath()};
    QSignalSpy raised{&port, &platform::CommControl::OnComm};
    QList<QByteArray> read;
    Line() {
        port.setSettings(QStringLiteral("9600,n,8,1"));
        port.setCommPort(1);
        port.setPortOpen(true);
        port.setInputMode(1);
        port.setInputLen(14);
        port.setRThreshold(14);
        QObject::connect(&port, &platform::CommControl::OnComm, &port, [this] {
            try {
                read << port.input();
            } catch (const platform::Failure&) {
                read << QByteArray();
            }
        });
    }
    void settle(int ms = 150) { QTest::qWait(ms); }
};

} // namespace

class TstSerialCommControl : public QObject {
    Q_OBJECT
private slots:
    void heldNotificationsComeWhenReleased() {
        Line line;
        line.port.setNotificationsHeld(true);
        line.pty.write(kFrame);
        line.settle();
        QCOMPARE(line.raised.count(), 0);
        line.port.setNotificationsHeld(false);
        QTRY_COMPARE_WITH_TIMEOUT(line.raised.count(), 1, 1000);
        QCOMPARE(line.read, QList<QByteArray>{kFrame});
        line.settle();
        QCOMPARE(line.raised.count(), 1);
    }

    // Two frames read from the device at once: each is raised, the second after the handler
    // of the first has taken its 14 bytes.
    void framesThatCameTogetherAreRaisedOneByOne() {
        Line line;
        line.pty.write(kFrame + QByteArray(14, 'x'));
        QTRY_COMPARE_WITH_TIMEOUT(line.read.size(), 2, 1000);
        QCOMPARE(line.read[1], QByteArray(14, 'x'));
        line.settle();
        QCOMPARE(line.read.size(), 2);
    }

    // The device gone while notifications are held: nothing is raised until they are
    // released; then one notification whose read fails.
    void deviceLostWhileHeldIsReportedAfter() {
        Line line;
        line.port.setNotificationsHeld(true);
        line.pty.closeMaster();
        line.settle(300);
        QCOMPARE(line.raised.count(), 0);
        line.port.setNotificationsHeld(false);
        QTRY_COMPARE_WITH_TIMEOUT(line.raised.count(), 1, 1000);
        QCOMPARE(line.read, QList<QByteArray>{QByteArray()});
    }
};

WB_TEST_CLASS(TstSerialCommControl, "tst_serial_comm_control")
#include "tst_serial_comm_control.moc"
