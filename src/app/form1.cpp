#include "app/form1.h"

#include "app/viewing_mode.h"

#include "records/journal.h"
#include "records/save_failure.h"
#include "records/text_forms.h"
#include "workbook/error.h"

#include <QDir>
#include <QFocusEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QWindow>
#include <QtDebug>

namespace app {
namespace {

// The window's inner drawing area in twips.
constexpr float kClientWidth = 5430;
constexpr float kClientHeight = 7035;

// Chinese faces first by their usual names, then what a Linux desktop has.
QFont chineseFont(const char* face, double points, bool bold) {
    QFont f;
    f.setFamilies({QString::fromUtf8(face), QStringLiteral("WenQuanYi Zen Hei"),
                   QStringLiteral("Noto Sans CJK SC")});
    f.setPointSizeF(points);
    f.setBold(bold);
    return f;
}

QRect twipsRect(float left, float top, float width, float height) {
    return {twipsToPixels(left), twipsToPixels(top), twipsToPixels(width), twipsToPixels(height)};
}

VbLabel* newLabel(QWidget* form, const QString& text, float left, float top, const QFont& font) {
    auto* l = new VbLabel(form);
    l->setFont(font);
    l->setTopTwips(top);
    l->setLeftTwips(left);
    l->setText(text);
    l->adjustSize();
    return l;
}

QLineEdit* newBox(QWidget* form, float top) {
    auto* t = new QLineEdit(form);
    t->setFont(chineseFont("宋体", 14.25, false));
    t->setGeometry(twipsRect(1920, top, 2895, 495));
    return t;
}

QPushButton* newButton(QWidget* form, const QString& text, float left) {
    auto* b = new QPushButton(text, form);
    b->setGeometry(twipsRect(left, 5160, 855, 495));
    return b;
}

} // namespace

Form1::Form1(Platform platform, QWidget* parent)
    : QWidget(parent), Rec_Date(kRecSlots), Rec_Time(kRecSlots), Rec_CarNo(kRecSlots),
      Rec_Gross(kRecSlots), Rec_Tare(kRecSlots), Rec_Net(kRecSlots),
      m_platform(std::move(platform)) {
    MSComm1 = m_platform.comm.get();
    CommonDialog1 = m_platform.dialog.get();
    buildControls();
    connectEvents();
}

Form1::~Form1() = default;

void Form1::buildControls() {
    setFixedSize(twipsToPixels(kClientWidth), twipsToPixels(kClientHeight));
    setFont(chineseFont("宋体", 9, false));
    setFocusPolicy(Qt::StrongFocus);

    const auto label = [this](const QString& text, float left, float top, const QFont& f) {
        return newLabel(this, text, left, top, f);
    };
    const QFont song14 = chineseFont("宋体", 14.25, false);
    const QFont song10 = chineseFont("宋体", 10.5, false);

    // From the top of the window down.
    Label1[4] = label(QStringLiteral("0.000"), 1800, 240, chineseFont("隶书", 48, true));
    Text1[0] = newBox(this, 1440);
    Label1[0] = label(QStringLiteral("皮重："), 480, 1545, song14);
    Label3 = label(QStringLiteral("Label3"), 120, 1920, font());
    Text1[1] = newBox(this, 2040);
    Label1[1] = label(QStringLiteral("车号："), 480, 2145, song14);
    Text1[2] = newBox(this, 2640);
    Label1[2] = label(QStringLiteral("净重："), 480, 2760, song14);
    Label4 = label(QString(), 720, 3360, song14);
    Label1[3] = label(QStringLiteral("当前时间："), 480, 3960, chineseFont("黑体", 14.25, true));
    Label1[5] = label(QStringLiteral("当前时间："), 480, 4560, chineseFont("宋体", 14.25, true));
    Command1 = newButton(this, QStringLiteral("记录"), 480);
    Command3 = newButton(this, QStringLiteral("查看"), 1680);
    Command4 = newButton(this, QStringLiteral("保存"), 2880);
    Command2 = newButton(this, QStringLiteral("退出"), 4080);
    Label2[0] = label(QStringLiteral("软件设计：王工"), 480, 5880, song10);
    Label2[2] = label(QStringLiteral("设计时间：2010-08-04"), 2760, 5880, song10);
    Label2[1] = label(QStringLiteral("联系电话：0571-88880000"), 480, 6240, song10);
    Label5 = label(QStringLiteral("Label5"), 480, 6600, song10);

    // Polish now, so that labels sized before the window first shows keep their size.
    ensurePolished();
    for (VbLabel* l : findChildren<VbLabel*>())
        l->adjustSize();

    Timer1 = new QTimer(this);
    Timer3 = new QTimer(this);
    Timer4 = new QTimer(this);
    setUpFocus();
}

void Form1::setUpFocus() {
    for (QWidget* w : {static_cast<QWidget*>(Command1), static_cast<QWidget*>(Command2),
                       static_cast<QWidget*>(Command3), static_cast<QWidget*>(Command4),
                       static_cast<QWidget*>(Text1[2]), static_cast<QWidget*>(Text1[1]),
                       static_cast<QWidget*>(Text1[0])})
        w->setFocusPolicy(Qt::StrongFocus);
    setTabOrder(Command1, Command2);
    setTabOrder(Command2, Command3);
    setTabOrder(Command3, Command4);
    setTabOrder(Command4, Text1[2]);
    setTabOrder(Text1[2], Text1[1]);
    setTabOrder(Text1[1], Text1[0]);
}

void Form1::connectEvents() {
    for (std::int16_t i = 0; i < 6; ++i)
        connect(Label1[static_cast<std::size_t>(i)], &VbLabel::Change, this,
                [this, i] { Label1_Change(i); });
    connect(Label3, &VbLabel::Change, this, [this] { Label3_Change(); });
    connect(Label4, &VbLabel::Change, this, [this] { Label4_Change(); });
    for (std::int16_t i = 0; i < 3; ++i)
        connect(Text1[static_cast<std::size_t>(i)], &QLineEdit::textChanged, this,
                [this, i] { Text1_Change(i); });

    connect(Command1, &QPushButton::clicked, this,
            [this] { runEvent([this] { Command1_Click(); }); });
    connect(Command4, &QPushButton::clicked, this,
            [this] { runEvent([this] { Command4_Click(); }); });
    connect(Command2, &QPushButton::clicked, this,
            [this] { runEvent([this] { Command2_Click(); }); });
    connect(Command3, &QPushButton::clicked, this,
            [this] { runEvent([this] { Command3_Click(); }); });

    // The clock's display part is safe inside a box's nested loop and runs on every tick; its
    // hourly save waits for the running event like any other.
    connect(Timer1, &QTimer::timeout, this, [this] {
        if (!runEvent([this] { Timer1_Timer(); }))
            Timer1_Clock();
    });
    connect(Timer3, &QTimer::timeout, this,
            [this] { onTimer(Timer3, m_timer3Pending, &Form1::Timer3_Timer); });
    connect(Timer4, &QTimer::timeout, this,
            [this] { onTimer(Timer4, m_timer4Pending, &Form1::Timer4_Timer); });

    connect(MSComm1, &platform::CommControl::OnComm, this, [this] {
        // Held notifications are raised again by the control once the running event ends.
        runEvent([this] { MSComm1_OnComm(); });
    });
}

void Form1::onTimer(QTimer* timer, bool& pending, void (Form1::*tick)()) {
    Q_UNUSED(timer);
    if (!runEvent([this, tick] { (this->*tick)(); }))
        pending = true;
}

void Form1::afterEvent() {
    if (m_eventDepth > 0)
        return;
    MSComm1->setNotificationsHeld(false);
    // Ticks, an hourly save and a close request that fell due while an event ran are
    // delivered once, after it.
    if (m_hourlySaveDue || m_timer3Pending || m_timer4Pending || m_closePending) {
        QTimer::singleShot(0, this, [this] {
            if (m_hourlySaveDue)
                runEvent([this] { Timer1_AutoSave(); });
            if (std::exchange(m_timer3Pending, false))
                runEvent([this] { Timer3_Timer(); });
            if (std::exchange(m_timer4Pending, false))
                runEvent([this] { Timer4_Timer(); });
            if (std::exchange(m_closePending, false))
                close();
        });
    }
}

// The one place where a failure becomes a message: the event it ended did not do its later
// steps, and the window runs on.
void Form1::reportUnhandled(const std::exception& e) {
    using namespace platform::msgbox;
    if (const auto* failure = dynamic_cast<const records::SaveFailure*>(&e))
        messages().MsgBox(failure->message(), vbOKOnly | vbCritical);
    else if (const auto* error = dynamic_cast<const workbook::Error*>(&e))
        messages().MsgBox(cannotOpenText(*error), vbExclamation);
    else
        qWarning("weighbridge: %s", e.what());
}

void Form1::start() {
    runEvent([this] { Form_Load(); });
    show();
    Command1->setFocus();
}

float Form1::outerWidthTwips() const {
    return static_cast<float>(frameGeometry().width()) * kTwipsPerPixel;
}

void Form1::showNoReading() {
    Label1[4]->setCaption(indicator::noReadingText());
    Label1[4]->setForeColor(kColorRed);
}

void Form1::centre(VbLabel* label) {
    m_centredForOuter = outerWidthTwips();
    label->setLeftTwips((m_centredForOuter - label->widthTwips()) / 2);
}

void Form1::Form_Load() {
    VbLabel* display = Label1[4];
    display->setCaption(indicator::noReadingText());
    display->setFontSize(50);
    display->setForeColor(kColorRed);
    display->setTopTwips(50);
    display->setLeftTwips(outerWidthTwips() / 2 - display->widthTwips() / 2);

    Timer1->setInterval(1);
    Timer1->start();
    Rec_Count = 0;
    Command4->setEnabled(false);
    Label5->setCaption(QStringLiteral("单位名称：示例县城关地磅站"));
    Timer4->setInterval(100);
    Timer4->start();
    setWindowTitle(QString());
    Comm_Load();
    Comm_Open();
    YH_ZhiLing();
    Label3->setVisible(false);
    Label4->setCaption(QStringLiteral("欢迎使用本系统！"));
    Timer3->setInterval(1000);
    Timer3->start();
    YH_ZhiLing_Send();
    recoverHeldRows();
}

void Form1::Form_GotFocus() {
    centreLines();
}

void Form1::centreLines() {
    centre(Label1[4]);
    centre(Label4);
}

bool Form1::event(QEvent* event) {
    const bool handled = QWidget::event(event);
    // The desktop is told the window's title through the window handle, where Qt puts the
    // application's name in place of an empty title. An empty title is handed over as one
    // zero-width space instead, so the title bar stays blank until the banner fills it.
    if (event->type() == QEvent::WindowTitleChange || event->type() == QEvent::WinIdChange ||
        event->type() == QEvent::Show) {
        if (windowTitle().isEmpty() && windowHandle() != nullptr)
            windowHandle()->setTitle(QStringLiteral("\u200B"));
    }
    // The window's frame, part of its outer width, is known only once the window is shown
    // (and framed by the desktop): centre again with the width the operator sees.
    if (event->type() == QEvent::Show || event->type() == QEvent::WindowActivate) {
        if (outerWidthTwips() != m_centredForOuter)
            centreLines();
    }
    return handled;
}

void Form1::focusInEvent(QFocusEvent* event) {
    QWidget::focusInEvent(event);
    Form_GotFocus();
}

void Form1::Timer1_Timer() {
    Timer1_Clock();
    Timer1_AutoSave();
}

void Form1::Timer1_Clock() {
    Timer1->setInterval(1000);
    const QDateTime now = clock().now();
    Label1[3]->setCaption(records::dateLine(now.date()));
    Label1[5]->setCaption(records::timeLine(now.time()));
    // The first tick of every hour saves, however late after hh:00:00 it comes (a busy
    // second, a suspended machine, a clock set forward); the clock set back counts as well.
    const std::int64_t hour = now.date().toJulianDay() * 24 + now.time().hour();
    if (m_lastTickHour >= 0 && hour != m_lastTickHour)
        m_hourlySaveDue = true;
    m_lastTickHour = hour;
}

void Form1::Timer1_AutoSave() {
    if (!std::exchange(m_hourlySaveDue, false) || !Command4->isEnabled())
        return;
    Label4->setCaption(QStringLiteral("数据自动保存中..."));
    Command4_Click();
}

void Form1::Timer4_Timer() {
    static const QString banner = QStringLiteral("地磅数据记录系统！");
    if (Title_Pos > banner.size()) {
        Title_Pos = 0;
        return;
    }
    ++Title_Pos;
    setWindowTitle(banner);
}

} // namespace app
