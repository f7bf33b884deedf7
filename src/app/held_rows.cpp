// The journal of held rows, as the window uses it: the rows a previous run left are taken
// back at start-up, every appended row is written to it, and a store marks its workbook in
// it and empties it once done. A journal that cannot be written is reported once; the rows
// are then held in memory only, as before.

#include "app/form1.h"
#include "records/journal.h"

#include "records/save_failure.h"

#include <QDir>
#include <QPushButton>

namespace app {

void Form1::recoverHeldRows() {
    if (!m_platform.keepJournal)
        return;
    m_journal = std::make_unique<records::Journal>(programFolder());
    // A sync that failed on the journal's worker is told on the UI thread, between events (or
    // with the next row when an event is running then).
    m_journal->onSyncFailed([this] {
        QMetaObject::invokeMethod(
            this,
            [this] {
                runEvent([this] {
                    if (m_journal && !m_journal->isHealthy())
                        reportJournalFailure();
                });
            },
            Qt::QueuedConnection);
    });
    const records::Journal::Recovery found = m_journal->open();
    // Rows beyond the slots (never left by this program) stay in the journal's kept copy.
    const std::size_t n = std::min<std::size_t>(found.rows.size(), kRecSlots);
    for (std::size_t k = 0; k < n; ++k) {
        const records::HeldRow& row = found.rows[k];
        Rec_Date[k] = row.date;
        Rec_Time[k] = row.time;
        Rec_CarNo[k] = row.carNo;
        Rec_Gross[k] = row.gross;
        Rec_Tare[k] = row.tare;
        Rec_Net[k] = row.net;
    }
    Rec_Count = static_cast<std::int32_t>(n);
    if (n > 0) {
        Command4->setEnabled(true);
        Label4->setCaption(QStringLiteral("已恢复上次未保存的数据 %1 条").arg(n));
    }
    if (found.damagedLines > 0 && !found.keptAside.isEmpty())
        messages().MsgBox(QStringLiteral("上次未保存的数据中有 %1 行已损坏，无法恢复；"
                                         "其余 %2 条已恢复。\n原数据日志已原样另存为 %3。")
                              .arg(found.damagedLines)
                              .arg(n)
                              .arg(QDir::toNativeSeparators(found.keptAside)),
                          platform::msgbox::vbExclamation);
    if (!m_journal->isOpen())
        reportJournalFailure();
}

void Form1::journalRow(std::size_t slot) {
    if (!m_journal)
        return;
    if (!m_journal->append({Rec_Date[slot], Rec_Time[slot], Rec_CarNo[slot], Rec_Gross[slot],
                            Rec_Tare[slot], Rec_Net[slot]}))
        reportJournalFailure();
}

void Form1::journalStoreBegins(const QString& dayFile, const QString& sheet, int lastRow,
                               std::int64_t lastSerial) {
    // The store's last row is the last held row; the journal may not have it (a write that
    // failed), so the commit line names its time.
    const QString lastTime =
        Rec_Count > 0 ? Rec_Time[static_cast<std::size_t>(Rec_Count - 1)] : QString();
    if (m_journal && !m_journal->beginStore(dayFile, sheet, lastRow, lastSerial, lastTime))
        throw records::SaveFailure(
            QDir::toNativeSeparators(programFolder()),
            QStringLiteral("数据日志中的数据无法标记为已保存（%1），为免重复保存，本次未保存")
                .arg(m_journal->lastError()));
}

void Form1::journalStoreDone(bool durable) {
    // A store whose file name may not be on the disk keeps its commit line: the next start
    // reads the workbook to tell whether the rows before it are there.
    if (!m_journal || !durable)
        return;
    if (m_journal->clear())
        m_journalReported = false; // written again: a later failure is news again
    else
        reportJournalFailure();
}

void Form1::journalStoreFailed() {
    if (m_journal)
        m_journal->storeFailed();
}

void Form1::reportJournalFailure() {
    if (std::exchange(m_journalReported, true))
        return;
    messages().MsgBox(QStringLiteral("无法写入数据日志（%1）。\n"
                                     "记录的数据暂时只保存在内存中，断电或程序异常退出时会丢失，"
                                     "请及时点击“保存”。")
                          .arg(m_journal->lastError()),
                      platform::msgbox::vbExclamation);
}

} // namespace app
