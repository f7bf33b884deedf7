// The window with a scripted serial control: the start-up sequence and its failure paths,
// the layout, the notification handler, focus re-centring and the title banner.

#include "doubles/fake_comm_control.h"
#include "support/form_harness.h"

#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

using doubles::FakeCommControl;
using support::FormHarness;

namespace {

struct Rig {
    FakeCommControl* comm;
    FormHarness h;
    Rig() : Rig(std::make_unique<FakeCommControl>()) {}

private:
    explicit Rig(std::unique_ptr<FakeCommControl> c) : comm(c.get()), h(std::move(c)) {}
};

QByteArray hex(const char* h) { return QByteArray::fromHex(h); }

} // namespace

class TstForm1 : public QObject {
    Q_OBJECT
private slots:
    void startUpTalksToThePortInOrder() {
        Rig r;
        r.h->start();
        QCOMPARE(r.comm->calls,
                 QStringList({"Settings=9600,n,8,1", "CommPort=1", "PortOpen=true", "InputMode=1",
                              "InputLen=14", "RThreshold=14", "InBufferCount=0",
                              "OutBufferCount=0", "Output=02 41 42 30 33 03"}));
        QVERIFY(r.h.messages->shown.isEmpty());
        QCOMPARE(r.h->Send_Buf, (std::array<std::uint8_t, 6>{2, 0x41, 0x42, 0x30, 0x33, 3}));
        QCOMPARE(r.h->Rec_Count, 0);
        QCOMPARE(r.h->Rec_Date.size(), std::size_t{10001});
        QCOMPARE(r.h->Label5->caption().left(5), QString("单位名称："));
        QCOMPARE(r.h->Label5->leftTwips(), 480.0f);
    }

    // Each failing step reports itself (or not) and start-up carries on.
    void startUpFailures_data() {
        QTest::addColumn<QString>("failing");
        QTest::addColumn<QStringList>("messages");
        QTest::addColumn<bool>("commPortSet");
        QTest::addColumn<bool>("querySent");
        QTest::addColumn<int>("frameLen");
        QTest::newRow("settings") << "Settings" << QStringList{"Com1不存在或者正在被使用！"}
                                  << false << true << 14;
        QTest::newRow("port number") << "CommPort" << QStringList{"Com1不存在或者正在被使用！"}
                                     << true << true << 14;
        QTest::newRow("open") << "PortOpen" << QStringList{"端口已打开或正在被使用！"} << true
                              << true << 14;
        QTest::newRow("command mode") << "InputMode" << QStringList{} << true << true << 0;
        QTest::newRow("buffer clear") << "OutBufferCount" << QStringList{} << true << true << 14;
        QTest::newRow("send is silent") << "Output" << QStringList{} << true << false << 14;
    }
    void startUpFailures() {
        QFETCH(QString, failing);
        QFETCH(QStringList, messages);
        QFETCH(bool, commPortSet);
        QFETCH(bool, querySent);
        QFETCH(int, frameLen);
        Rig r;
        r.comm->failing.insert(failing);
        r.h->start();
        QStringList shown;
        for (const auto& b : r.h.messages->shown) {
            shown << b.prompt;
            QCOMPARE(b.style, 0);
            QCOMPARE(b.title, QString());
        }
        QCOMPARE(shown, messages);
        QCOMPARE(r.comm->calls.contains("CommPort=1"), commPortSet);
        QCOMPARE(r.comm->sent == hex("024142303303"), querySent);
        QVERIFY(r.h->isVisible());
        QCOMPARE(r.h.display(), QString("Load..."));
        QCOMPARE(r.h.displayColor(), 255);
        QCOMPARE(r.h.status(), QString("欢迎使用本系统！"));
        QCOMPARE(r.h->Frame_Len, frameLen);
    }

    void closingThePort() {
        Rig r;
        r.h->Comm_Close();
        QVERIFY(r.h.messages->shown.isEmpty());
        r.comm->failing.insert("PortOpen");
        r.h->Comm_Close();
        QCOMPARE(r.h.messages->shown.value(0).prompt, QString("端口已关闭！"));
    }

    // Only a receive event reads; every event clears both buffers.
    void notificationHandler() {
        Rig r;
        r.h->start();
        r.comm->calls.clear();
        r.comm->received = hex("024142") + "+0008561" + "12" + hex("03");
        r.comm->raise(FakeCommControl::comEvReceive);
        QCOMPARE(r.comm->calls, QStringList({"Input", "InBufferCount=0", "OutBufferCount=0"}));
        QCOMPARE(r.h.display(), QString("85.6kg"));
        r.comm->calls.clear();
        r.comm->raise(1); // a send event
        QCOMPARE(r.comm->calls, QStringList({"InBufferCount=0", "OutBufferCount=0"}));
        QVERIFY(r.h->Change_Flag); // untouched by an event that is not a receive

        r.comm->failing.insert("Input");
        r.comm->raise(FakeCommControl::comEvReceive);
        QCOMPARE(r.h.display(), QString("Load..."));
        QCOMPARE(r.h.displayColor(), 255);
        QCOMPARE(r.h->Weight_Value, 85.6);
    }

    void layoutInPixels() {
        Rig r;
        r.h->start();
        QCOMPARE(r.h->size(), QSize(362, 469));
        QCOMPARE(r.h->Text1[0]->geometry(), QRect(128, 96, 193, 33));
        QCOMPARE(r.h->Text1[2]->geometry(), QRect(128, 176, 193, 33));
        QCOMPARE(r.h->Command2->geometry(), QRect(272, 344, 57, 33));
        QCOMPARE(r.h->Label1[0]->text(), QString("皮重："));
        QCOMPARE(r.h->Label1[0]->pos(), QPoint(32, 103));
        QCOMPARE(r.h->Label2[2]->text(), QString("设计时间：2010-08-04"));
        for (QPushButton* b : {r.h->Command1, r.h->Command2, r.h->Command3, r.h->Command4})
            QCOMPARE(b->y(), 344);
        // Tab order: the four buttons, then the net, vehicle and tare boxes.
        QList<QWidget*> order{r.h->Command1, r.h->Command2, r.h->Command3, r.h->Command4,
                              r.h->Text1[2], r.h->Text1[1], r.h->Text1[0]};
        for (qsizetype i = 0; i + 1 < order.size(); ++i)
            QCOMPARE(order[i]->nextInFocusChain(), order[i + 1]);
        // Every label sizes itself to its text.
        QCOMPARE(r.h->Label1[3]->size(), r.h->Label1[3]->sizeHint());
        QCOMPARE(r.h->Label4->size(), r.h->Label4->sizeHint());
    }

    void displayCentredAtStartAndOnFocus() {
        Rig r;
        r.h->start();
        auto* d = r.h->Label1[4];
        const float outer = r.h->outerWidthTwips();
        QCOMPARE(d->leftTwips(), (outer - d->widthTwips()) / 2);
        QCOMPARE(d->y(), 3); // top edge 50 twips
        d->setLeftTwips(0);
        r.h->Label4->setLeftTwips(0);
        const float statusTop = r.h->Label4->topTwips();
        r.h->Form_GotFocus();
        QCOMPARE(d->leftTwips(), (outer - d->widthTwips()) / 2);
        QCOMPARE(r.h->Label4->leftTwips(), (outer - r.h->Label4->widthTwips()) / 2);
        QCOMPARE(r.h->Label4->topTwips(), statusTop);
    }

    void titleBanner() {
        Rig r;
        r.h->start();
        QCOMPARE(r.h->windowTitle(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(r.h->windowTitle(), QString("地磅数据记录系统！"), 1000);
        QTest::qWait(1300); // past the tick that resets the counter
        QCOMPARE(r.h->windowTitle(), QString("地磅数据记录系统！"));
    }
};

QTEST_MAIN(TstForm1)
#include "tst_form1.moc"
