// The store: the held rows handed to the day's workbook in the program's folder, the journal
// told where they go, and the operator told of a day's file copied or set aside on the way.
// Every way the rows are stored (the buttons, the prompt's 是, the hourly save, the end asked
// for by the system, a full store, rows recovered at start-up) comes here: once the store has
// succeeded nothing it stored is held any more, in memory or in the journal, so no later path
// can store the same rows again.

#include "app/form1.h"
#include "records/day_workbook.h"
#include "records/journal.h"
#include "records/save_failure.h"
#include "records/text_forms.h"

#include <QDir>
#include <QPushButton>

namespace app {

void Form1::Save_date() {
    if (Rec_Count == 0)
        return;
    const QString dayName = records::dayFileName(clock().dateText(clock().now().date()));
    records::DayWorkbook day(
        programFolder(), dayName,
        {[this](const records::StoreNotice& notice) { tellStoreNotice(notice); },
         [this](const records::StoreEnd& end) {
             journalStoreBegins(end.file, end.sheet, end.last, end.serial);
         },
         [this] { journalStoreFailed(); }});
    const records::StoreEnd end =
        day.store({Rec_Date, Rec_Time, Rec_CarNo, Rec_Gross, Rec_Tare, Rec_Net, Rec_Count});
    holdNothing();
    journalStoreDone(end.durable);
    Label4->setCaption(QStringLiteral("数据保存成功！"));
}

void Form1::holdNothing() {
    Rec_Count = 0;
    Command4->setEnabled(false);
}

void Form1::discardHeldRows() {
    holdNothing();
    m_hourlySaveDue = false;
    if (m_journal && !m_journal->clear())
        reportJournalFailure();
}

void Form1::tellStoreNotice(const records::StoreNotice& notice) {
    const QString file = QDir::toNativeSeparators(notice.file);
    const QString kept = QDir::toNativeSeparators(notice.kept);
    switch (notice.kind) {
    case records::StoreNotice::Kind::KeptBefore:
        messages().MsgBox(
            QStringLiteral("当天的数据文件 %1 中有本程序无法原样保留的内容（%2）。\n"
                           "保存前已将该文件原样复制为 %3，其中的内容没有丢失；\n"
                           "本次数据仍接在原文件中保存，但原文件里的公式、格式等可能只保留数值。")
                .arg(file, notice.reason, kept),
            platform::msgbox::vbInformation);
        break;
    case records::StoreNotice::Kind::SetAside:
        messages().MsgBox(QStringLiteral("当天的数据文件 %1 无法使用（%2）。\n"
                                         "该文件已原样改名保存为 %3，其中的数据没有丢失；\n"
                                         "本次数据保存到新建的当天数据文件中。")
                              .arg(file, notice.reason, kept),
                          platform::msgbox::vbInformation);
        break;
    }
}

} // namespace app
