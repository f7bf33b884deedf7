// Viewing a saved workbook: the operator picks one of the .xls files in the program's folder
// and it opens read-only in a viewer window of its own. The workbook is read into memory and
// the file closed at once, so a viewer never holds the day's workbook against the store.

#include "app/form1.h"
#include "app/workbook_viewer.h"
#include "workbook/file_io.h"

#include <QDir>

namespace app {

// A chosen file that cannot be read ends the click; the event gate names it to the operator.
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
    // with no reference kept here.
    const QString path = CommonDialog1->fileName();
    records::WorkbookViewer::open(path, workbook::readBook(path));
}

} // namespace app
