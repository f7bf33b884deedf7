// Record capture: a new reading becomes a row in memory, and the save action hands the rows
// to the day's workbook. The save button's enabled state marks rows not yet saved.

#include "app/form1.h"
#include "records/capture.h"
#include "records/save_failure.h"
#include "records/text_forms.h"

#include <QLineEdit>
#include <QPushButton>

namespace app {

void Form1::Command1_Click() {
    using records::Capture;
    const Capture decision =
        records::decideCapture({Change_Flag, Recv_Buf[3] == '-', Weight_Value,
                                Label1[4]->foreColor() == kColorRed, Rec_Count, kRecSlots});
    if (decision == Capture::Negative) {
        Label4->setCaption(QStringLiteral("数据为负，不保存！请查询！"));
    } else if (decision == Capture::LinkDown) {
        messages().MsgBox(QStringLiteral("仪表连接失败！"), platform::msgbox::vbOKOnly);
    } else if (decision == Capture::SaveFirst) {
        saveToFreeSlots();
        takeRow();
    } else if (decision == Capture::Record) {
        takeRow();
    }
}

void Form1::saveToFreeSlots() {
    // Every slot is in use: save them first, so that this reading finds a free one. A store
    // that fails ends the action with the reading not taken.
    Label4->setCaption(QStringLiteral("数据自动保存中..."));
    try {
        Command4_Click();
    } catch (const records::SaveFailure&) {
        Label4->setCaption(QStringLiteral("内存已满且数据未能保存，本次数据未记录！"));
        throw;
    }
}

void Form1::takeRow() {
    const auto slot = static_cast<std::size_t>(Rec_Count);
    const QDateTime now = clock().now();
    Rec_Date[slot] = clock().dateText(now.date());
    Rec_Time[slot] = clock().timeText(now.time());
    Rec_CarNo[slot] = Text1[1]->text();
    Rec_Gross[slot] = records::numberText(Weight_Value);
    Rec_Tare[slot] = records::numberText(records::leadingNumber(Text1[0]->text()));
    Rec_Net[slot] = records::numberText(records::leadingNumber(Text1[2]->text()));
    ++Rec_Count;
    journalRow(slot);
    Command4->setEnabled(true);
    Label4->setCaption(QStringLiteral("数据记录正常！^_^"));
}

void Form1::Command4_Click() {
    // A store that succeeds leaves nothing held (Rec_Count 0, the save button disabled); one
    // that fails leaves every row held.
    Save_date();
}

} // namespace app
