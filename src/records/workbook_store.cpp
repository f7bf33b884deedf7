// The workbook store: every held row appended to the day's workbook in the program's folder,
// which is created with its header on the first store of a day. Row 1 of each sheet holds
// the captions and, in H1, the number of the sheet's last row in use.

#include "app/form1.h"
#include "workbook/editor.h"
#include "workbook/reasons.h"
#include "workbook/spreadsheet_server.h"
#include "records/save_failure.h"
#include "records/text_forms.h"

#include <QDir>
#include <QFile>

#include <cmath>
#include <unistd.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace app {

// The day's workbook as the store sees it, whichever way it is edited: through the
// spreadsheet server (a new workbook, or a file the editor cannot keep whole) or through the
// record-level editor, which keeps everything of the file the store does not write.
class DayBook {
public:
    virtual ~DayBook() = default;
    // Whether a worksheet of that name (any case) exists.
    virtual bool hasSheet(const QString& name) = 0;
    virtual workbook::Value cells(const QString& sheet, int row, int column) = 0;
    virtual void setCells(const QString& sheet, int row, int column, const QString& text) = 0;
    virtual void addSheet(const QString& name) = 0;
    virtual void activate(const QString& sheet) = 0;
    // About `cells` cells are going to be written into `sheet`.
    virtual void reserve(const QString& sheet, std::size_t cells) {
        (void)sheet;
        (void)cells;
    }
};

namespace {

// A day's file that exists but cannot take the rows.
struct Unusable {
    QString reason;
};

class ServerBook : public DayBook {
public:
    explicit ServerBook(workbook::Workbook& book) : m_book(book) {}
    bool hasSheet(const QString& name) override { return m_book.book().indexOf(name) >= 0; }
    workbook::Value cells(const QString& sheet, int row, int column) override {
        return m_book.worksheets(sheet).cells(row, column);
    }
    void setCells(const QString& sheet, int row, int column, const QString& text) override {
        if (sheet != m_current) { // one lookup per sheet, not per cell
            m_sheet = &m_book.worksheets(sheet);
            m_current = sheet;
        }
        m_sheet->setCells(row, column, text);
    }
    void addSheet(const QString& name) override { m_book.addWorksheet(name); }
    void activate(const QString& sheet) override { m_book.worksheets(sheet).activate(); }

private:
    workbook::Workbook& m_book;
    workbook::Worksheet* m_sheet = nullptr;
    QString m_current;
};

class EditedBook : public DayBook {
public:
    explicit EditedBook(workbook::Editor& editor) : m_editor(editor) {}
    bool hasSheet(const QString& name) override { return m_editor.indexOf(name) >= 0; }
    workbook::Value cells(const QString& sheet, int row, int column) override {
        return m_editor.cell(index(sheet), row, column);
    }
    void setCells(const QString& sheet, int row, int column, const QString& text) override {
        if (sheet != m_current) {
            m_index = index(sheet);
            m_current = sheet;
        }
        m_editor.setCell(m_index, row, column, text);
    }
    void addSheet(const QString& name) override { m_editor.addWorksheet(name); }
    // The sheet shown when the file is opened stays the one its owner left.
    void activate(const QString&) override {}
    void reserve(const QString& sheet, std::size_t cells) override {
        m_editor.reserveCells(index(sheet), cells);
    }

private:
    int index(const QString& sheet) {
        const int i = m_editor.indexOf(sheet);
        if (i < 0 || m_editor.sheetInfo(i).kind != workbook::Editor::SheetKind::Worksheet)
            throw workbook::Error(workbook::Error::Kind::NoSuchSheet, m_editor.path(),
                                  workbook::reasonText(workbook::Reason::NoSheetNamed).arg(sheet));
        return i;
    }
    workbook::Editor& m_editor;
    int m_index = -1;
    QString m_current;
};

void writeHeader(DayBook& book, const QString& sheet) {
    static const char16_t* const captions[] = {u"序号", u"日期", u"时间", u"车号",
                                               u"毛重", u"皮重", u"净重"};
    for (int c = 0; c < 7; ++c)
        book.setCells(sheet, 1, c + 1, QString::fromUtf16(captions[c]));
    book.setCells(sheet, 1, 8, QStringLiteral("1"));
}

// The last row in use from H1: empty counts as 0; a number or a number text must be a whole
// row number a sheet can have.
int lastRowInUse(DayBook& book, const QString& sheet) {
    const workbook::Value h1 = book.cells(sheet, 1, 8);
    if (h1.isEmpty())
        return 0;
    bool ok = h1.kind() == workbook::Value::Kind::Number;
    double value = h1.numberValue();
    if (h1.kind() == workbook::Value::Kind::Text)
        value = h1.textValue().trimmed().toDouble(&ok); // "." whatever the locale
    if (!ok || value != std::floor(value) || value < 0 || value > workbook::MaxRows)
        throw Unusable{
            workbook::reasonText(workbook::Reason::RowCounterInvalid).arg(h1.toString())};
    return static_cast<int>(value);
}

QString sheetName(int number) {
    return QStringLiteral("sheet%1").arg(number);
}

// A sheet the program made to continue the rows: its A1 holds the first caption.
bool isSpillSheet(DayBook& book, int number) {
    const workbook::Value a1 = book.cells(sheetName(number), 1, 1);
    return a1.kind() == workbook::Value::Kind::Text &&
           a1.textValue() == QString::fromUtf16(u"序号");
}

// The number of the sheet after sheet `after` that the rows continue in: the next of the
// program's own spill sheets, or -1 when the next free name comes first (the spill is new).
int nextSpillSheet(DayBook& book, int after) {
    for (int n = after + 1; book.hasSheet(sheetName(n)); ++n) {
        if (isSpillSheet(book, n))
            return n;
    }
    return -1;
}

// The first sheet number after `after` whose name no sheet has.
int freeSheetNumber(DayBook& book, int after) {
    int n = after + 1;
    while (book.hasSheet(sheetName(n)))
        ++n;
    return n;
}

// Where the rows continue: the sheet, the serial number of its last row and its last row
// in use. Throws Unusable, or Error (NoSuchSheet) when there is no sheet1.
struct Continuation {
    int sheetNumber = 1;
    int serial = 0;
    int last = 0;
};
Continuation continuation(DayBook& book) {
    Continuation c;
    if (!book.hasSheet(sheetName(1)))
        throw workbook::Error(
            workbook::Error::Kind::NoSuchSheet, {},
            workbook::reasonText(workbook::Reason::NoSheetNamed).arg(sheetName(1)));
    c.last = lastRowInUse(book, sheetName(1));
    // The rows stay in sheet1 until it is full; then they continue in the program's own
    // "sheet2", "sheet3" ... A sheet of such a name that holds something else is passed
    // over, and the next free name takes the spill.
    while (c.last == workbook::MaxRows) {
        const int next = nextSpillSheet(book, c.sheetNumber);
        if (next < 0)
            break;
        c.serial += c.last - 1;
        c.sheetNumber = next;
        c.last = lastRowInUse(book, sheetName(c.sheetNumber));
    }
    return c;
}

void releaseFreedMemory() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

// A byte-identical copy of `path` under `copy`, on disk before it returns.
void copyDurably(const QString& path, const QString& copy) {
    QFile in(path);
    QFile out(copy);
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::NewOnly | QIODevice::WriteOnly))
        throw workbook::Error(workbook::Error::Kind::Io, path,
                              workbook::reasonText(workbook::Reason::CannotCopy).arg(copy));
    const QByteArray bytes = in.readAll();
    if (out.write(bytes) != bytes.size() || !out.flush() || ::fsync(out.handle()) != 0) {
        out.close();
        QFile::remove(copy);
        throw workbook::Error(workbook::Error::Kind::Io, path,
                              workbook::reasonText(workbook::Reason::CannotCopy).arg(copy));
    }
}

} // namespace

Form1::StoreEnd Form1::storeRows(DayBook& book, int sheetNumber, int serial, int last) {
    QString sheet = sheetName(sheetNumber);
    book.activate(sheet);
    if (last == 0) {
        writeHeader(book, sheet);
        last = 1;
    }
    serial += last - 1;
    const std::int32_t rows = Rec_Count;
    book.reserve(sheet, static_cast<std::size_t>(std::min(rows, workbook::MaxRows - last)) * 7 + 1);
    for (std::int32_t k = 0; k < rows; ++k) {
        if (last == workbook::MaxRows) {
            book.setCells(sheet, 1, 8, records::numberText(last));
            sheetNumber = freeSheetNumber(book, sheetNumber);
            sheet = sheetName(sheetNumber);
            book.addSheet(sheet);
            book.activate(sheet);
            writeHeader(book, sheet);
            last = 1;
        }
        ++last;
        ++serial;
        const auto slot = static_cast<std::size_t>(k);
        book.setCells(sheet, last, 1, records::numberText(serial));
        book.setCells(sheet, last, 2, Rec_Date[slot]);
        book.setCells(sheet, last, 3, Rec_Time[slot]);
        book.setCells(sheet, last, 4, Rec_CarNo[slot]);
        book.setCells(sheet, last, 5, Rec_Gross[slot]);
        book.setCells(sheet, last, 6, Rec_Tare[slot]);
        book.setCells(sheet, last, 7, Rec_Net[slot]);
    }
    book.setCells(sheet, 1, 8, records::numberText(last));
    return {sheet, last, serial};
}

// The store through the record-level editor: true when the rows are stored. False when the
// file is for the value-level path: it cannot be edited without losing something (then a
// copy of it is kept beside it first, and the operator told), or it cannot take the rows at
// all (no sheet1, a bad H1: the value-level path sets it aside).
bool Form1::storeByEditor(const QString& path, const QString& dayName) {
    QString refusal;
    try {
        workbook::Editor editor(path);
        EditedBook book(editor);
        Continuation c;
        try {
            c = continuation(book);
        } catch (const Unusable&) {
            return false;
        } catch (const workbook::Error& e) {
            if (e.kind() == workbook::Error::Kind::NoSuchSheet)
                return false;
            throw;
        }
        const StoreEnd end = storeRows(book, c.sheetNumber, c.serial, c.last);
        journalStoreBegins(dayName + QStringLiteral(".xls"), end.sheet, end.last, end.serial);
        try {
            editor.save();
        } catch (...) {
            journalStoreFailed();
            throw;
        }
        return true;
    } catch (const workbook::Editor::Refusal& r) {
        refusal = r.reason();
    } catch (const workbook::Error& e) {
        if (e.kind() == workbook::Error::Kind::Io)
            throw;
        // Gone, damaged, encrypted ...: the value-level path judges the file.
        refusal = e.reason();
    }
    // A file no reader can read is set aside by the value-level path, one gone is made anew.
    if (workbook::fileState(path) != workbook::FileState::Readable)
        return false;
    const QDir dir(programFolder());
    QString kept;
    for (int n = 1;; ++n) {
        kept = dir.filePath(QStringLiteral("%1-before-%2.xls").arg(dayName).arg(n));
        if (!QFile::exists(kept))
            break;
    }
    copyDurably(path, kept);
    messages().MsgBox(
        QStringLiteral("当天的数据文件 %1 中有本程序无法原样保留的内容（%2）。\n"
                       "保存前已将该文件原样复制为 %3，其中的内容没有丢失；\n"
                       "本次数据仍接在原文件中保存，但原文件里的公式、格式等可能只保留数值。")
            .arg(QDir::toNativeSeparators(path), refusal, QDir::toNativeSeparators(kept)),
        platform::msgbox::vbInformation);
    return false;
}

void Form1::Save_date() {
    if (Rec_Count == 0)
        return;
    const QString folder = QDir::toNativeSeparators(programFolder());
    const QString dayName = records::dayFileName(clock().dateText(clock().now().date()));
    const QString path = QDir(programFolder()).filePath(dayName + QStringLiteral(".xls"));
    try {
        // An existing day's file is continued by the record-level editor, which keeps what
        // others added to it (formulas, formats, comments, pictures, other sheets).
        if (QFile::exists(path) && storeByEditor(path, dayName)) {
            journalStoreDone();
            releaseFreedMemory();
            Label4->setCaption(QStringLiteral("数据保存成功！"));
            return;
        }

        workbook::Application excel;
        excel.setVisible(false);
        excel.setDisplayAlerts(false);

        // The day's workbook, and the sheet the rows continue in with the serial number and
        // the last row in use there. Only a missing file starts a new workbook; one that
        // exists but cannot take the rows is set aside under another name, never replaced.
        workbook::Workbook* book = nullptr;
        Continuation c;
        try {
            book = &excel.workbooks().open(path);
            ServerBook opened(*book);
            c = continuation(opened);
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
            c = Continuation{};
            ServerBook added(*book);
            writeHeader(added, book->worksheets(1).name());
        }
        ServerBook day(*book);
        const StoreEnd end = storeRows(day, c.sheetNumber, c.serial, c.last);
        journalStoreBegins(dayName + QStringLiteral(".xls"), end.sheet, end.last, end.serial);
        book->saveAs(path);
        book->close(true);
        excel.quit();
        journalStoreDone();
    } catch (const workbook::Error& e) {
        journalStoreFailed();
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
                              workbook::reasonText(workbook::Reason::CannotSetAside).arg(kept));
    messages().MsgBox(
        QStringLiteral("当天的数据文件 %1 无法使用（%2）。\n"
                       "该文件已原样改名保存为 %3，其中的数据没有丢失；\n"
                       "本次数据保存到新建的当天数据文件中。")
            .arg(QDir::toNativeSeparators(path), reason, QDir::toNativeSeparators(kept)),
        platform::msgbox::vbInformation);
}

} // namespace app
