// The record action's decision alone: which reading becomes a row, and which check wins
// when several apply (the order the operator sees: the sign first, then zero, then the link).

#include "records/capture.h"

#include <QtTest>

using records::Capture;

Q_DECLARE_METATYPE(records::Capture)

class TstCapture : public QObject {
    Q_OBJECT
private slots:
    void decision_data() {
        QTest::addColumn<bool>("newReading");
        QTest::addColumn<bool>("negative");
        QTest::addColumn<double>("weight");
        QTest::addColumn<bool>("red");
        QTest::addColumn<int>("held");
        QTest::addColumn<Capture>("decision");
        const int full = 10001;
        QTest::newRow("a new reading") << true << false << 85.6 << false << 0 << Capture::Record;
        QTest::newRow("the same reading again")
            << false << false << 85.6 << false << 0 << Capture::Ignore;
        QTest::newRow("no new reading wins over all")
            << false << true << 0.0 << true << full << Capture::Ignore;
        QTest::newRow("negative") << true << true << 12.5 << false << 0 << Capture::Negative;
        QTest::newRow("negative on a red display")
            << true << true << 12.5 << true << 0 << Capture::Negative;
        QTest::newRow("negative zero") << true << true << 0.0 << false << 0 << Capture::Negative;
        QTest::newRow("zero") << true << false << 0.0 << false << 0 << Capture::Zero;
        QTest::newRow("zero on a red display")
            << true << false << 0.0 << true << 0 << Capture::Zero;
        QTest::newRow("red display") << true << false << 85.6 << true << 0 << Capture::LinkDown;
        QTest::newRow("red display, store full")
            << true << false << 85.6 << true << full << Capture::LinkDown;
        QTest::newRow("last free slot")
            << true << false << 85.6 << false << full - 1 << Capture::Record;
        QTest::newRow("store full") << true << false << 85.6 << false << full << Capture::SaveFirst;
    }
    void decision() {
        QFETCH(bool, newReading);
        QFETCH(bool, negative);
        QFETCH(double, weight);
        QFETCH(bool, red);
        QFETCH(int, held);
        QFETCH(Capture, decision);
        QCOMPARE(records::decideCapture({newReading, negative, weight, red, held, 10001}),
                 decision);
    }
};

QTEST_APPLESS_MAIN(TstCapture)
#include "tst_capture.moc"
