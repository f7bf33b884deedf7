// The window with a scripted serial control: the start-up sequence and its failure paths,
// the layout, the notification handler, focus re-centring and the title banner.

#include "doubles/fake_comm_control.h"
#include "support/form_harness.h"
#include "support/test_classes.h"

#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

using doubles::FakeCommControl;
using support::FormHarness;

namespace {

// A window on a scripted port, not yet started.
struct Rig {
    FakeCommControl* comm = new FakeCommControl; // owned by the window
    FormHarness h{std::unique_ptr<platform::CommControl>(comm)};
};

QByteArray hex(const char* h) {
    return QByteArray::fromHex(h);
}

} // namespace

class TstForm1 : public QObject {
    Q_OBJECT
private slots:
    // Each failing step reports itself (or not) and start-up carries on, the display red.
    void startUpFailures_data() {
        QTest::addColumn<QString>("failing");
        QTest::addColumn<QString>("message"); // empty: none
        QTest::addColumn<bool>("commPortSet");
        QTest::addColumn<bool>("querySent");
        QTest::addColumn<int>("frameLen");
        const QString absent = "Com1不存在或者正在被使用！";
        QTest::newRow("settings") << "Settings" << absent << false << true << 14;
        QTest::newRow("port number") << "CommPort" << absent << true << true << 14;
        QTest::newRow("open") << "PortOpen"
                              << "端口已打开或正在被使用！" << true << true << 14;
        QTest::newRow("open, a stale lock") << "PortOpen:stale"
                                            << "端口被一个遗留的锁文件占用，无法打开：\n"
                                               "/run/lock/LCK..weighbridge-com1\n"
                                               "这个文件属于账户“root”，留下它的程序已不再运行，"
                                               "但本账户无权删除它。\n"
                                               "重新启动计算机即可清除它，或请管理员删除这个文件；"
                                               "然后重新打开本程序。"
                                            << true << true << 14;
        QTest::newRow("command mode") << "InputMode" << QString() << true << true << 0;
        QTest::newRow("buffer clear") << "OutBufferCount" << QString() << true << true << 14;
        QTest::newRow("send is silent") << "Output" << QString() << true << false << 14;
    }
    void startUpFailures() {
        QFETCH(QString, failing);
        QFETCH(QString, message);
        QFETCH(bool, commPortSet);
        QFETCH(bool, querySent);
        QFETCH(int, frameLen);
        Rig r;
        r.comm->failing.insert(failing);
        r.h->start();
        QStringList shown;
        for (const auto& b : r.h.messages->shown)
            shown << QString("%1|%2|%3").arg(b.prompt).arg(b.style).arg(b.title);
        QCOMPARE(shown, message.isEmpty() ? QStringList() : QStringList{message + "|0|"});
        QCOMPARE(r.comm->calls.contains("CommPort=1"), commPortSet);
        QCOMPARE(r.comm->sent == hex("024142303303"), querySent);
        QVERIFY(r.h->isVisible());
        QCOMPARE(r.h.displayColor(), 255);
        QCOMPARE(r.h->Frame_Len, frameLen);
    }

    // Start-up talks to the port in this order. Then only a receive event reads, and every
    // event clears both buffers.
    void startUpAndNotifications() {
        Rig r;
        r.h->start();
        QCOMPARE(r.comm->calls,
                 QStringList({"Settings=9600,n,8,1", "CommPort=1", "PortOpen=true", "InputMode=1",
                              "InputLen=14", "RThreshold=14", "InBufferCount=0", "OutBufferCount=0",
                              "Output=02 41 42 30 33 03"}));
        QVERIFY(r.h.messages->shown.isEmpty());
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

        r.h.messages->shown.clear();
        r.h->Comm_Close();
        QCOMPARE(r.h.messages->shown.size(), 0);
        r.comm->failing.insert("PortOpen");
        r.h->Comm_Close();
        QCOMPARE(r.h.messages->shown.value(0).prompt, QString("端口已关闭！"));
    }

    void layoutAndCentring() {
        Rig r;
        r.h->start();
        QCOMPARE(r.h->size(), QSize(362, 469));
        QCOMPARE(r.h->Text1[2]->geometry(), QRect(128, 176, 193, 33));
        QCOMPARE(r.h->Command2->geometry(), QRect(272, 344, 57, 33));
        QCOMPARE(r.h->Label1[0]->pos(), QPoint(32, 103));
        // Tab order: the four buttons, then the net, vehicle and tare boxes.
        QList<QWidget*> order{r.h->Command1, r.h->Command2, r.h->Command3, r.h->Command4,
                              r.h->Text1[2], r.h->Text1[1], r.h->Text1[0]};
        for (qsizetype i = 0; i + 1 < order.size(); ++i)
            QCOMPARE(order[i]->nextInFocusChain(), order[i + 1]);

        // The display is centred at start, and it and the status line again on focus.
        auto* d = r.h->Label1[4];
        const float outer = r.h->outerWidthTwips();
        QCOMPARE(d->leftTwips(), (outer - d->widthTwips()) / 2);
        QCOMPARE(d->topTwips(), 50.0f);
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

WB_TEST_CLASS(TstForm1, "tst_form1")
#include "tst_form1.moc"
