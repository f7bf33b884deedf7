// The entry boxes and the self-centring labels: the net box follows the tare, and the
// weight display, the status line and the raw-frame line keep to the window's middle.

#include "doubles/fake_comm_control.h"
#include "support/form_harness.h"
#include "support/test_classes.h"

#include <QLineEdit>
#include <QtTest>

using support::FormHarness;

class TstEntryFields : public QObject {
    Q_OBJECT
private slots:
    void netFollowsTheTare_data() {
        QTest::addColumn<double>("weight");
        QTest::addColumn<QString>("tare");
        QTest::addColumn<QString>("net");
        QTest::newRow("tare emptied") << 12.34 << ""
                                      << "12.34kg";
        QTest::newRow("tare with kg") << 2000.0 << "1500kg"
                                      << "500.0kg";
        QTest::newRow("equal is zero") << 1500.0 << "1500"
                                       << "0.0kg";
        QTest::newRow("tare above weight") << 1500.0 << "1500.5"
                                           << "出错！";
        QTest::newRow("comma ends the tare") << 1000.0 << "1,500"
                                             << "999.0kg";
        QTest::newRow("letters count as 0") << 85.6 << "abc"
                                            << "85.6kg";
        QTest::newRow("before any reading") << 0.0 << "1"
                                            << "出错！";
        QTest::newRow("tare not finite") << 10.0 << "-1e999"
                                         << "出错！";
        QTest::newRow("rounded to 4 decimals") << 12.345678 << ""
                                               << "12.3457kg";
    }
    void netFollowsTheTare() {
        QFETCH(double, weight);
        QFETCH(QString, tare);
        QFETCH(QString, net);
        FormHarness h(std::make_unique<doubles::FakeCommControl>());
        h->Weight_Value = weight;
        h->Text1[0]->setText("x"); // a change, so that emptying it is one too
        h->Text1[0]->setText(tare);
        QCOMPARE(h->Text1[2]->text(), net);
    }

    void changedLabelsRecentre() {
        FormHarness h(std::make_unique<doubles::FakeCommControl>());
        h->show();
        const float outer = h->outerWidthTwips();
        for (app::VbLabel* l : {h->Label1[4], h->Label4, h->Label3}) {
            l->setCaption("a much longer text than before 数据");
            QCOMPARE(l->leftTwips(), (outer - l->widthTwips()) / 2);
            QCOMPARE(l->size(), l->sizeHint());
        }
        // The clock lines keep their left edge and grow to the right.
        h->Label1[3]->setCaption("日期：2010年03月05日");
        QCOMPARE(h->Label1[3]->leftTwips(), 480.0f);
        // Wider than the window: a negative left edge.
        h->Label4->setCaption(QString(200, QChar(u'宽')));
        QVERIFY(h->Label4->leftTwips() < 0);
        QCOMPARE(h->Label4->leftTwips(), (outer - h->Label4->widthTwips()) / 2);
    }
};

WB_TEST_CLASS(TstEntryFields, "tst_entry_fields")
#include "tst_entry_fields.moc"
