// The continuous mode over a pseudo-terminal: the port set-up and one chunk's first frame
// taken over into the weight, the display, the raw-frame line, the record button and the
// net box.

#include "doubles/fake_comm_control.h"
#include "indicator_sim/frames.h"
#include "platform/serial_comm_control.h"
#include "support/form_harness.h"
#include "support/pty.h"
#include "support/test_classes.h"

#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

using support::FormHarness;
using support::Pty;

namespace {

QByteArray hex(const char* h) {
    return QByteArray::fromHex(h);
}

QByteArray frame(char sign, const char* digits, char decimals, QByteArray extra = {}) {
    indicator_sim::Reading r;
    r.sign = sign;
    std::copy_n(digits, 6, r.digits.begin());
    r.decimals = decimals;
    return indicator_sim::continuousFrame(r, extra);
}

// A window in continuous mode on a pty. The window itself never enters this mode, so its
// receive handler is taken off the port; the test reads each chunk as the mode would.
struct ContinuousRig {
    Pty pty;
    FormHarness h{std::make_unique<platform::SerialCommControl>(pty.slavePath())};

    ContinuousRig() {
        h->start();
        pty.read(300, 6);
        QObject::disconnect(h->MSComm1, &platform::CommControl::OnComm, h.form.get(), nullptr);
        h->YH_LianXv();
    }
    void read(const QByteArray& chunk) {
        pty.write(chunk);
        QTRY_VERIFY(h->MSComm1->inBufferCount() >= chunk.size());
        h->YH_LianXv_Read();
    }
};

} // namespace

class TstContinuousMode : public QObject {
    Q_OBJECT
private slots:
    void setUpOnAClosedPort() {
        FormHarness h(std::make_unique<platform::SerialCommControl>("/dev/no-such-port"));
        h->start(); // the open fails and says so
        h->Label1[4]->setCaption("12kg");
        h->YH_LianXv();
        QCOMPARE(h.display(), QString("Load..."));
        QCOMPARE(h.displayColor(), 255);
        QVERIFY(!h->Command1->isEnabled());
        QCOMPARE(h.messages->shown.size(), 1); // only the open's own message
    }

    void workedExample() {
        ContinuousRig r;
        QCOMPARE(r.h->Frame_Len, std::int16_t{24});
        QVERIFY(r.h.messages->shown.isEmpty());
        r.h->Text1[0]->setText("10");
        r.read(hex("303203") + hex("022D30303135303032") + hex("03") + hex("02"));
        QCOMPARE(r.h->Label3->caption(), QString(" 2 45 48 48 49 53 48 48 50 3"));
        QCOMPARE(r.h->Weight_Value, 15.0);
        QCOMPARE(r.h.display(), QString("-15.00kg"));
        QCOMPARE(r.h->Text1[2]->text(), QString("5.0kg"));
        QCOMPARE(r.h.displayColor(), 1376020);
        QVERIFY(!r.h->Label3->isVisible());
    }

    // Reads after a first frame for 15.00: what changes and what stays.
    void secondRead_data() {
        QTest::addColumn<QByteArray>("chunk");
        QTest::addColumn<bool>("changed");
        QTest::addColumn<QString>("display");
        QTest::addColumn<double>("weight");
        QTest::addColumn<QString>("raw");
        const QByteArray first = frame('+', "001500", '2');
        QTest::newRow("identical frame")
            << first << false << "15.00kg" << 15.0 << " 2 43 48 48 49 53 48 48 50 3";
        QTest::newRow("change after position 8 only")
            << frame('+', "001500", '2', "K") << true << "15.00kg" << 15.0
            << " 2 43 48 48 49 53 48 48 50 75 3";
        QTest::newRow("second start byte before the end byte")
            << (first.left(9) + "Z" + first.left(4)) << false << "15.00kg" << 15.0
            << " 2 43 48 48 49 53 48 48 50 90 2 43 48 48";
        QTest::newRow("end byte before the first start byte")
            << (hex("03") + frame('+', "000050", '0')) << true << "50kg" << 50.0
            << " 2 43 48 48 48 48 53 48 48 3";
        QTest::newRow("4 decimals") << frame('+', "000050", '4') << true << "0.0050kg" << 0.005
                                    << " 2 43 48 48 48 48 53 48 52 3";
        QTest::newRow("all zeros, 3 decimals") << frame('+', "000000", '3') << true << "0.000kg"
                                               << 0.0 << " 2 43 48 48 48 48 48 48 51 3";
        QTest::newRow("cut by the chunk's end")
            << hex("022B303039") << true << "95.00kg" << 95.0 << " 2 43 48 48 57";
        QTest::newRow("no start byte") << QByteArray("12345") << false << "15.00kg" << 15.0 << "";
        // Refused: a digit position or the decimal places holding something else.
        QTest::newRow("blank for a leading zero") << frame('+', " 01600", '2') << false << "15.00kg"
                                                  << 15.0 << " 2 43 32 48 49 54 48 48 50 3";
        QTest::newRow("decimal places not a digit")
            << frame('+', "001600", 'x') << false << "15.00kg" << 15.0
            << " 2 43 48 48 49 54 48 48 120 3";
        // Decimal places 5 to 9: the weight follows, the text stays, no "-" piles up.
        QTest::newRow("7 decimals, negative") << frame('-', "001600", '7') << true << "15.00kg"
                                              << 0.00016 << " 2 45 48 48 49 54 48 48 55 3";
    }
    void secondRead() {
        QFETCH(QByteArray, chunk);
        QFETCH(bool, changed);
        QFETCH(QString, display);
        QFETCH(double, weight);
        QFETCH(QString, raw);
        ContinuousRig r;
        r.read(frame('+', "001500", '2'));
        QCOMPARE(r.h.display(), QString("15.00kg"));
        // Mark what a refused or unchanged frame must leave alone.
        r.h->Command1->setEnabled(false);
        r.h->Text1[2]->setText("untouched");
        r.read(chunk);
        QCOMPARE(r.h->Change_Flag, changed);
        QCOMPARE(r.h.display(), display);
        QCOMPARE(r.h->Weight_Value, weight);
        QCOMPARE(r.h->Label3->caption(), raw);
        QCOMPARE(r.h->Command1->isEnabled(), changed);
        QCOMPARE(r.h->Text1[2]->text() != "untouched", changed);
        QCOMPARE(r.h.displayColor(), 1376020);
    }

    void readFailureChangesNothing() {
        auto* port = new doubles::FakeCommControl; // owned by the window
        FormHarness h{std::unique_ptr<platform::CommControl>(port)};
        h->start();
        port->received = frame('-', "001500", '2');
        h->YH_LianXv_Read();
        const auto stored = h->Recv_Buf;
        port->failing.insert("Input");
        port->received = frame('+', "009900", '2');
        h->YH_LianXv_Read();
        QCOMPARE(h->Recv_Buf, stored);
        QCOMPARE(h->Weight_Value, 15.0);
        QCOMPARE(h.display(), QString("-15.00kg"));
        QCOMPARE(h->Label3->caption(), QString(" 2 45 48 48 49 53 48 48 50 3"));
    }
};

WB_TEST_CLASS(TstContinuousMode, "tst_continuous_mode")
#include "tst_continuous_mode.moc"
