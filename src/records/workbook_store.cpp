// The workbook store: every held row appended to the day's workbook in the program's folder,
// which is created with its header on the first store of a day. Row 1 of each sheet holds
// the captions and, in H1, the number of the sheet's last row in use.

#include "app/form1.h"
#include "platform/workbook/spreadsheet_server.h"
#include "records/save_failure.h"
#include "records/text_forms.h"

#include <QDir>
#include <QFile>

#include <cmath>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace app {
namespace {

using workbook::Worksheet;

// A day's file that exists but cannot take the rows.
struct Unusable {
    QString reason;
};

void writeHeader(Worksheet& sheet) {
    static const char16_t* const captions[] = {u"序号", u"日期", u"时间", u"车号",
                                               u"毛重", u"皮重", u"净重"};
    for (int c = 0; c < 7; ++c)
        sheet.setCells(1, c + 1, QString::fromUtf16(captions[c]));
    sheet.setCells(1, 8, QStringLiteral("1"));
}

// The last row in use from H1: empty counts as 0; a number or a number text must be a whole
// row number a sheet can have.
int lastRowInUse(const Worksheet& sheet) {
    const workbook::Value h1 = sheet.cells(1, 8);
    if (h1.isEmpty())
        return 0;
    bool ok = h1.kind() == workbook::Value::Kind::Number;
    double value = h1.numberValue();
    if (h1.kind() == workbook::Value::Kind::Text)
        value = h1.textValue().trimmed().toDouble(&ok); // "." whatever the locale
    if (!ok || value != std::floor(value) || value < 0 || value > workbook::MaxRows)
        throw Unusable{QStringLiteral("H1 的行计数“%1”不是有效的行号").arg(h1.toString())};
    return static_cast<int>(value);
}

QString sheetName(int number) {
    return QStringLiteral("sheet%1").arg(number);
}

bool hasSheet(workbook::Workbook& book, int number) {
    return book.book().indexOf(sheetName(number)) >= 0;
}

// A sheet the program made to continue the rows: its A1 holds the first caption.
bool isSpillSheet(Worksheet& sheet) {
    const workbook::Value a1 = sheet.cells(1, 1);
    return a1.kind() == workbook::Value::Kind::Text &&
           a1.textValue() == QString::fromUtf16(u"序号");
}

// The number of the sheet after sheet `after` that the rows continue in: the next of the
// program's own spill sheets, or -1 when the next free name comes first (the spill is new).
int nextSpillSheet(workbook::Workbook& book, int after) {
    for (int n = after + 1; hasSheet(book, n); ++n) {
        if (isSpillSheet(book.worksheets(sheetName(n))))
            return n;
    }
    return -1;
}

// The first sheet number after `after` whose name no sheet has.
int freeSheetNumber(workbook::Workbook& book, int after) {
    int n = after + 1;
    while (hasSheet(book, n))
        ++n;
    return n;
}

void releaseFreedMemory() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

} // namespace

void Form1::Save_date() {
    if (Rec_Count == 0)
        return;
    const QString folder = QDir::toNativeSeparators(programFolder());
    const QString dayName = records::dayFileName(clock().dateText(clock().now().date()));
    const QString path = QDir(programFolder()).filePath(dayName + QStringLiteral(".xls"));
    try {
        workbook::Application excel;
        excel.setVisible(false);
        excel.setDisplayAlerts(false);

        // The day's workbook, and the sheet the rows continue in with the serial number and
        // the last row in use there. Only a missing file starts a new workbook; one that
        // exists but cannot take the rows is set aside under another name, never replaced.
        workbook::Workbook* book = nullptr;
        int sheetNumber = 1;
        int serial = 0;
        int last = 0;
        try {
            book = &excel.workbooks().open(path);
            Worksheet* sheet = &book->worksheets(sheetName(1));
            last = lastRowInUse(*sheet);
            // The rows stay in sheet1 until it is full; then they continue in the program's
            // own "sheet2", "sheet3" ... A sheet of such a name that holds something else
            // is passed over, and the next free name takes the spill.
            while (last == workbook::MaxRows) {
                const int next = nextSpillSheet(*book, sheetNumber);
                if (next < 0)
                    break;
                serial += last - 1;
                sheetNumber = next;
                last = lastRowInUse(book->worksheets(sheetName(sheetNumber)));
            }
        } catch (const workbook::Error& e) {
            if (e.kind() == workbook::Error::Kind::Io ||
                e.kind() == workbook::Error::Kind::InvalidUse)
                throw;
            if (book)
                book->close(false);
            if (e.kind() != workbook::Error::Kind::Missing)
                setAsideDayWorkbook(path, dayName, e.reason());
            book = nullptr;
        } catch (const Unusable& u) {
            book->close(false);
            setAsideDayWorkbook(path, dayName, u.reason);
            book = nullptr;
        }
        if (!book) {
            book = &excel.workbooks().add();
            sheetNumber = 1;
            serial = 0;
            last = 0;
            writeHeader(book->worksheets(1));
        }

        Worksheet* sheet = &book->worksheets(sheetName(sheetNumber));
        sheet->activate();
        if (last == 0) {
            writeHeader(*sheet);
            last = 1;
        }
        serial += last - 1;
        const std::int32_t rows = Rec_Count;
        for (std::int32_t k = 0; k < rows; ++k) {
            if (last == workbook::MaxRows) {
                sheet->setCells(1, 8, records::numberText(last));
                sheetNumber = freeSheetNumber(*book, sheetNumber);
                sheet = &book->addWorksheet(sheetName(sheetNumber));
                sheet->activate();
                writeHeader(*sheet);
                last = 1;
            }
            ++last;
            ++serial;
            const auto slot = static_cast<std::size_t>(k);
            sheet->setCells(last, 1, records::numberText(serial));
            sheet->setCells(last, 2, Rec_Date[slot]);
            sheet->setCells(last, 3, Rec_Time[slot]);
            sheet->setCells(last, 4, Rec_CarNo[slot]);
            sheet->setCells(last, 5, Rec_Gross[slot]);
            sheet->setCells(last, 6, Rec_Tare[slot]);
            sheet->setCells(last, 7, Rec_Net[slot]);
        }
        sheet->setCells(1, 8, records::numberText(last));
        sheet->saveAs(path);
        book->close(true);
        excel.quit();
    } catch (const workbook::Error& e) {
        releaseFreedMemory();
        throw records::SaveFailure(folder, e.message());
    }
    // The day's workbook was held in memory whole; give that memory back, so a program
    // that runs all day does not keep the size of its largest store.
    releaseFreedMemory();
    Label4->setCaption(QStringLiteral("数据保存成功！"));
}

void Form1::setAsideDayWorkbook(const QString& path, const QString& dayName,
                                const QString& reason) {
    const QDir dir(programFolder());
    QString kept;
    for (int n = 1;; ++n) {
        kept = dir.filePath(QStringLiteral("%1-damaged-%2.xls").arg(dayName).arg(n));
        if (!QFile::exists(kept))
            break;
    }
    if (!QFile::rename(path, kept))
        throw workbook::Error(workbook::Error::Kind::Io, path,
                              QStringLiteral("无法将无法使用的文件改名保存为 %1").arg(kept));
    messages().MsgBox(
        QStringLiteral("当天的数据文件 %1 无法使用（%2）。\n"
                       "该文件已原样改名保存为 %3，其中的数据没有丢失；\n"
                       "本次数据保存到新建的当天数据文件中。")
            .arg(QDir::toNativeSeparators(path), reason, QDir::toNativeSeparators(kept)),
        platform::msgbox::vbInformation);
}

} // namespace app
