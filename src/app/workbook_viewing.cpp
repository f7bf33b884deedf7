// Viewing a saved workbook: the operator picks one of the .xls files in the program's folder
// and it opens read-only in a viewer window of its own, in a process of its own (viewing_mode.h).
// The viewer reads the workbook into memory and closes the file at once, so it never holds the
// day's workbook against the store.

#include "app/form1.h"
#include "workbook/error.h"
#include "workbook/reasons.h"

#include <QDir>

namespace app {

// A viewing that cannot be started ends the click; the event gate names it to the operator. A
// chosen file that cannot be read is told by the viewing itself.
void Form1::Command3_Click() {
    File_Open();
}

void Form1::File_Open() {
    const auto initialName = [this] {
        return QDir::toNativeSeparators(programFolder()) + QDir::separator() +
               QStringLiteral("*.xls");
    };
    CommonDialog1->setFilter(QStringLiteral("工作表(*.xls)|*.xls"));
    CommonDialog1->setFilterIndex(1);
    CommonDialog1->setFileName(initialName());
    CommonDialog1->ShowOpen();
    if (CommonDialog1->fileName() == initialName()) {
        Label4->setCaption(QStringLiteral("您没有选择要导入的文件！"));
        return;
    }
    // The viewer takes the place of a spreadsheet window: read-only, left to the operator,
    // with nothing of it kept here.
    const QString path = CommonDialog1->fileName();
    if (!m_platform.startViewing(path))
        throw workbook::Error(workbook::Error::Kind::Io, path,
                              workbook::reasonText(workbook::Reason::ViewerNotStarted));
}

} // namespace app
