#include "records/day_workbook.h"

#include "records/save_failure.h"
#include "records/text_forms.h"
#include "workbook/aftercare.h"
#include "workbook/editor.h"
#include "workbook/file_io.h"
#include "workbook/reasons.h"
#include "workbook/shared_files.h"
#include "workbook/text_pool.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtDebug>

#include <array>
#include <cmath>
#include <future>
#include <mutex>
#include <optional>
#include <system_error>
#include <unistd.h>
#include <utility>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace records {

namespace {

// The day's workbook as the store sees it: through the record-level editor, of the day's file
// (which keeps everything of the file the store does not write) or of a new workbook (a new
// day, or the values of a file the editor cannot keep whole, after its copy was kept). The
// sheet shown when the file is opened stays the one its owner left.
class DayBook {
public:
    explicit DayBook(workbook::Editor& editor) : m_editor(editor) {}
    // Whether a worksheet of that name (any case) exists.
    bool hasSheet(const QString& name) const { return m_editor.indexOf(name) >= 0; }
    workbook::Value cells(const QString& sheet, int row, int column) const {
        return m_editor.cell(index(sheet), row, column);
    }
    void setCells(const QString& sheet, int row, int column, const QString& text) {
        m_editor.setCell(at(sheet), row, column, text);
    }
    // A whole number as setCells() of its number text stores it, without the text.
    void setNumber(const QString& sheet, int row, int column, int number) {
        m_editor.setValue(at(sheet), row, column, workbook::Value::number(number));
    }
    // Numbers for distinct texts, which setRow() takes.
    std::vector<std::uint32_t> textNumbers(std::vector<QString>&& texts) {
        return m_editor.textNumbers(std::move(texts));
    }
    void setRow(const QString& sheet, int row, int column,
                std::span<const workbook::Editor::RowCell> cells) {
        m_editor.setRow(at(sheet), row, column, cells);
    }
    void addSheet(const QString& name) { m_editor.addWorksheet(name); }
    // About `cells` cells are going to be written into `sheet`.
    void reserve(const QString& sheet, std::size_t cells) {
        m_editor.reserveCells(index(sheet), cells);
    }

private:
    // The index of `sheet`, the one last written found again at once.
    int at(const QString& sheet) {
        if (sheet != m_current) {
            m_index = index(sheet);
            m_current = sheet;
        }
        return m_index;
    }
    int index(const QString& sheet) const {
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

// The held rows' cells as the workbook keeps them (a number text a number, an empty text
// nothing, any other text a text), each distinct text once. One is kept from store to store:
// its room, once touched, is not faulted in again by every hourly store.
struct PreparedRows {
    static constexpr std::size_t Columns = 6; // date, time, car number, gross, tare, net
    using Cell = workbook::Editor::RowCell;   // a text by its number in `texts`
    workbook::TextPool<> texts;
    // The texts again, copied on the helper thread, to be moved into the workbook once.
    std::vector<QString> handOver;
    std::vector<Cell> cells; // row by row
    std::int32_t count = 0;
};

void prepare(const HeldColumns& rows, PreparedRows& into) {
    into.count = rows.count;
    into.cells.clear();
    into.cells.reserve(static_cast<std::size_t>(rows.count) * PreparedRows::Columns);
    into.texts.clear();
    for (std::size_t k = 0; k < static_cast<std::size_t>(rows.count); ++k)
        for (const std::vector<QString>* column :
             {&rows.date, &rows.time, &rows.carNo, &rows.gross, &rows.tare, &rows.net}) {
            const QString& text = (*column)[k];
            const workbook::Value value = workbook::storedValue(text);
            PreparedRows::Cell cell;
            if (value.kind() == workbook::Value::Kind::Number) {
                cell.kind = PreparedRows::Cell::Kind::Number;
                cell.number = value.numberValue();
            } else if (value.kind() == workbook::Value::Kind::Text) {
                cell.kind = PreparedRows::Cell::Kind::Text;
                cell.text = into.texts.intern(text);
            }
            into.cells.push_back(cell);
        }
    into.handOver = into.texts.texts();
}

// The prepared texts for the workbook: moved out the first time, copied after that (the store
// by value after the editor's refusal).
std::vector<QString> takeTexts(PreparedRows& rows) {
    if (rows.handOver.size() == rows.texts.size())
        return std::exchange(rows.handOver, {});
    return rows.texts.texts();
}

// The held rows prepared on a helper thread from the start of a store, while the day's file
// is opened and read; get() waits for them. One store at a time uses the kept room.
class RowsInPreparation {
public:
    explicit RowsInPreparation(const HeldColumns& rows) : m_using(lock()) {
        PreparedRows& into = room();
        try {
            m_future = std::async(std::launch::async, [&rows, &into] { prepare(rows, into); });
        } catch (const std::system_error&) {
            m_future = std::async(std::launch::deferred, [&rows, &into] { prepare(rows, into); });
        }
    }
    ~RowsInPreparation() {
        if (m_future.valid())
            m_future.wait();
        // The held texts are not kept alive until the next store.
        room().texts.clear();
        room().handOver.clear();
    }
    RowsInPreparation(const RowsInPreparation&) = delete;
    RowsInPreparation& operator=(const RowsInPreparation&) = delete;

    PreparedRows& get() {
        if (m_future.valid())
            m_future.get();
        return room();
    }

private:
    static std::mutex& lock() {
        static std::mutex m;
        return m;
    }
    static PreparedRows& room() {
        static PreparedRows kept;
        return kept;
    }
    std::unique_lock<std::mutex> m_using;
    std::future<void> m_future;
};

// Where the rows continue: the sheet, the serial number of its last row and its last row in
// use; or why the file cannot take them.
struct Continuation {
    int sheetNumber = 1;
    int serial = 0;
    int last = 0;
    QString unusable; // not empty: the file cannot take the rows
};

// The last row in use from H1: empty counts as 0; a number or a number text must be a whole
// row number a sheet can have. Nothing when it is not.
std::optional<int> lastRowInUse(const DayBook& book, const QString& sheet, QString& unusable) {
    const workbook::Value h1 = book.cells(sheet, 1, 8);
    if (h1.isEmpty())
        return 0;
    bool ok = h1.kind() == workbook::Value::Kind::Number;
    double value = h1.numberValue();
    if (h1.kind() == workbook::Value::Kind::Text)
        value = h1.textValue().trimmed().toDouble(&ok); // "." whatever the locale
    if (!ok || value != std::floor(value) || value < 0 || value > workbook::MaxRows) {
        unusable = workbook::reasonText(workbook::Reason::RowCounterInvalid).arg(h1.toString());
        return std::nullopt;
    }
    return static_cast<int>(value);
}

QString sheetName(int number) {
    return QStringLiteral("sheet%1").arg(number);
}

// A sheet the program made to continue the rows: its A1 holds the first caption.
bool isSpillSheet(const DayBook& book, int number) {
    const workbook::Value a1 = book.cells(sheetName(number), 1, 1);
    return a1.kind() == workbook::Value::Kind::Text &&
           a1.textValue() == QString::fromUtf16(u"序号");
}

// The number of the sheet after sheet `after` that the rows continue in: the next of the
// program's own spill sheets, or -1 when the next free name comes first (the spill is new).
int nextSpillSheet(const DayBook& book, int after) {
    for (int n = after + 1; book.hasSheet(sheetName(n)); ++n) {
        if (isSpillSheet(book, n))
            return n;
    }
    return -1;
}

// The first sheet number after `after` whose name no sheet has.
int freeSheetNumber(const DayBook& book, int after) {
    int n = after + 1;
    while (book.hasSheet(sheetName(n)))
        ++n;
    return n;
}

Continuation continuation(const DayBook& book) {
    Continuation c;
    if (!book.hasSheet(sheetName(1))) {
        c.unusable = workbook::reasonText(workbook::Reason::NoSheetNamed).arg(sheetName(1));
        return c;
    }
    std::optional<int> last = lastRowInUse(book, sheetName(1), c.unusable);
    // The rows stay in sheet1 until it is full; then they continue in the program's own
    // "sheet2", "sheet3" ... A sheet of such a name that holds something else is passed
    // over, and the next free name takes the spill.
    while (last && *last == workbook::MaxRows) {
        const int next = nextSpillSheet(book, c.sheetNumber);
        if (next < 0)
            break;
        c.serial += *last - 1;
        c.sheetNumber = next;
        last = lastRowInUse(book, sheetName(next), c.unusable);
    }
    c.last = last.value_or(0);
    return c;
}

// Appends the rows after the continuation's last row, with a new spill sheet whenever a
// sheet fills up.
StoreEnd storeRows(DayBook& book, Continuation c, PreparedRows& rows) {
    QString sheet = sheetName(c.sheetNumber);
    if (c.last == 0) {
        writeHeader(book, sheet);
        c.last = 1;
    }
    int serial = c.serial + c.last - 1;
    book.reserve(
        sheet, static_cast<std::size_t>(std::min(rows.count, workbook::MaxRows - c.last)) * 7 + 1);
    const std::vector<std::uint32_t> texts = book.textNumbers(takeTexts(rows));
    const PreparedRows::Cell* cell = rows.cells.data();
    for (std::int32_t k = 0; k < rows.count; ++k) {
        if (c.last == workbook::MaxRows) {
            book.setNumber(sheet, 1, 8, c.last);
            c.sheetNumber = freeSheetNumber(book, c.sheetNumber);
            sheet = sheetName(c.sheetNumber);
            book.addSheet(sheet);
            writeHeader(book, sheet);
            c.last = 1;
        }
        ++c.last;
        ++serial;
        // The serial number, then the row's prepared cells, their texts by the editor's numbers.
        std::array<PreparedRows::Cell, 1 + PreparedRows::Columns> row;
        row[0] = {PreparedRows::Cell::Kind::Number, 0, double(serial)};
        for (std::size_t i = 1; i < row.size(); ++i, ++cell) {
            row[i] = *cell;
            if (cell->kind == PreparedRows::Cell::Kind::Text)
                row[i].text = texts[cell->text];
        }
        book.setRow(sheet, c.last, 1, row);
    }
    book.setNumber(sheet, 1, 8, c.last);
    return {{}, sheet, c.last, serial};
}

// Gives the memory a store freed back to the system once there is much of it (a large
// file stored by value): a few MB are kept for the next store, which would otherwise fault
// every page of them in again.
void releaseFreedMemory() {
#if defined(__GLIBC__)
    constexpr std::size_t Keep = std::size_t{32} << 20;
    if (mallinfo2().fordblks > Keep)
        malloc_trim(0);
#endif
}

// Replaces the day's file with `write`, which returns whether it wrote; the hooks are told
// before, and after a write that did not happen.
template <class Write> bool writeTold(const StoreHooks& hooks, const StoreEnd& end, Write write) {
    hooks.beforeWrite(end);
    bool written = false;
    try {
        written = write();
    } catch (...) {
        hooks.writeFailed();
        throw;
    }
    if (!written)
        hooks.writeFailed();
    return written;
}

// The names just made in `folder` on the disk, or the store fails.
void syncFolderOf(const QString& folder, const QString& path) {
    if (const int error = workbook::syncFolder(folder); error != 0)
        throw workbook::Error(workbook::Error::Kind::Io, path,
                              workbook::reasonText(workbook::Reason::CannotSyncFolder)
                                  .arg(workbook::systemErrorText(error)));
}

// A byte-identical copy of `path` under `copy`, on disk before it returns.
void copyDurably(const QString& path, const QString& copy) {
    QFile in(path);
    QFile out(copy);
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::NewOnly | QIODevice::WriteOnly))
        throw workbook::Error(workbook::Error::Kind::Io, path,
                              workbook::reasonText(workbook::Reason::CannotCopy).arg(copy));
    workbook::makeShared(out.handle());
    const QByteArray bytes = in.readAll();
    if (out.write(bytes) != bytes.size() || !out.flush() || ::fsync(out.handle()) != 0) {
        out.close();
        QFile::remove(copy);
        throw workbook::Error(workbook::Error::Kind::Io, path,
                              workbook::reasonText(workbook::Reason::CannotCopy).arg(copy));
    }
    out.close();
    syncFolderOf(QFileInfo(copy).absolutePath(), path);
}

} // namespace

struct DayWorkbook::Impl {
    QString folder;
    QString dayName;
    QString fileName; // "<day>.xls"
    QString path;
    StoreHooks hooks;

    QString freeName(const char* kind) const;
    struct Edited {
        std::optional<StoreEnd> end;
        QString refusal; // why the editor cannot keep the file whole
    };
    Edited editRows(RowsInPreparation& rows);
    std::optional<StoreEnd> storeByEditor(RowsInPreparation& rows);
    void keepCopyBefore(const QString& refusal);
    StoreEnd storeByValue(RowsInPreparation& rows);
    std::unique_ptr<workbook::Editor> openForRows(Continuation& c);
    void setAside(const QString& reason);
};

// The first "<day>-<kind>-N.xls" in the folder that does not exist yet.
QString DayWorkbook::Impl::freeName(const char* kind) const {
    const QDir dir(folder);
    for (int n = 1;; ++n) {
        const QString name =
            dir.filePath(QStringLiteral("%1-%2-%3.xls").arg(dayName, QLatin1String(kind)).arg(n));
        if (!QFile::exists(name))
            return name;
    }
}

// The rows stored through the record-level editor: where the last row went; or why the
// editor cannot keep the file whole; or neither when the file cannot take the rows at all (no
// sheet1, a bad H1).
DayWorkbook::Impl::Edited DayWorkbook::Impl::editRows(RowsInPreparation& rows) {
    workbook::Editor::Opening opened = workbook::Editor::open(path);
    if (!opened.editor)
        return {std::nullopt, opened.refusal};
    DayBook book(*opened.editor);
    const Continuation c = continuation(book);
    if (!c.unusable.isEmpty())
        return {};
    StoreEnd end = storeRows(book, c, rows.get());
    end.file = fileName;
    std::optional<QString> notKept;
    const auto save = [&] {
        notKept = opened.editor->trySave();
        return !notKept;
    };
    if (!writeTold(hooks, end, save))
        return {std::nullopt, *notKept};
    // The workbook held in memory is given back on the helper thread, not while the store is
    // waited for.
    workbook::later([editor = std::shared_ptr<workbook::Editor>(
                         std::move(opened.editor))]() mutable { editor.reset(); });
    return {end, {}};
}

// The store through the record-level editor. Nothing when the file is for the value-level
// path: it cannot be edited without losing something (then a copy of it is kept beside it
// first, and the operator told), or it cannot take the rows at all (the value-level path sets
// it aside).
std::optional<StoreEnd> DayWorkbook::Impl::storeByEditor(RowsInPreparation& rows) {
    Edited edited;
    try {
        edited = editRows(rows);
    } catch (const workbook::Error& e) {
        if (e.kind() == workbook::Error::Kind::Io)
            throw;
        // Gone, damaged, encrypted, a cell the editor cannot replace ...: the value-level
        // path judges the file.
        edited.refusal = e.reason();
    }
    if (edited.end || edited.refusal.isEmpty())
        return edited.end;
    // A file no reader can read is set aside by the value-level path, one gone is made anew.
    if (workbook::fileState(path) == workbook::FileState::Readable)
        keepCopyBefore(edited.refusal);
    return std::nullopt;
}

void DayWorkbook::Impl::keepCopyBefore(const QString& refusal) {
    const QString kept = freeName("before");
    copyDurably(path, kept);
    hooks.notice({StoreNotice::Kind::KeptBefore, path, kept, refusal});
}

// The store by value: the day's workbook read whole and its values written into a new
// workbook. Only a missing file starts an empty one; one that exists but cannot take the rows
// is set aside under another name, never replaced.
StoreEnd DayWorkbook::Impl::storeByValue(RowsInPreparation& rows) {
    Continuation c;
    std::unique_ptr<workbook::Editor> editor = openForRows(c);
    if (!editor) {
        workbook::Book empty;
        empty.addSheet(QStringLiteral("Sheet1"));
        editor = workbook::Editor::newWorkbook(empty, path);
        c = Continuation{};
        DayBook added(*editor);
        writeHeader(added, editor->sheetInfo(0).name);
    }
    DayBook day(*editor);
    StoreEnd end = storeRows(day, c, rows.get());
    end.file = fileName;
    writeTold(hooks, end, [&] {
        editor->saveStreamAs(path);
        return true;
    });
    return end;
}

// A new workbook of the day's file's values, with where its rows continue; nothing when there
// is none that can take them (it is missing, or it was set aside).
std::unique_ptr<workbook::Editor> DayWorkbook::Impl::openForRows(Continuation& c) {
    QString unusable;
    try {
        auto editor = workbook::Editor::newWorkbook(workbook::readBook(path), path);
        c = continuation(DayBook(*editor));
        if (c.unusable.isEmpty())
            return editor;
        unusable = c.unusable;
    } catch (const workbook::Error& e) {
        if (e.kind() == workbook::Error::Kind::Io || e.kind() == workbook::Error::Kind::InvalidUse)
            throw;
        if (e.kind() == workbook::Error::Kind::Missing)
            return nullptr;
        unusable = e.reason();
    }
    setAside(unusable);
    return nullptr;
}

void DayWorkbook::Impl::setAside(const QString& reason) {
    const QString kept = freeName("damaged");
    if (!QFile::rename(path, kept))
        throw workbook::Error(workbook::Error::Kind::Io, path,
                              workbook::reasonText(workbook::Reason::CannotSetAside).arg(kept));
    syncFolderOf(folder, path);
    hooks.notice({StoreNotice::Kind::SetAside, path, kept, reason});
}

DayWorkbook::DayWorkbook(const QString& folder, const QString& dayName, StoreHooks hooks)
    : d(std::make_unique<Impl>()) {
    d->folder = folder;
    d->dayName = dayName;
    d->fileName = dayName + QStringLiteral(".xls");
    d->path = QDir(folder).filePath(d->fileName);
    d->hooks = std::move(hooks);
}

DayWorkbook::~DayWorkbook() = default;

StoreEnd DayWorkbook::store(const HeldColumns& held) {
    try {
        RowsInPreparation rows(held);
        // An existing day's file is continued by the record-level editor, which keeps what
        // others added to it (formulas, formats, comments, pictures, other sheets).
        std::optional<StoreEnd> end;
        if (QFile::exists(d->path))
            end = d->storeByEditor(rows);
        if (!end)
            end = d->storeByValue(rows);
        // The day's workbook was held in memory; give that memory back, so a program that
        // runs all day does not keep the size of its largest store.
        workbook::later(releaseFreedMemory);
        end->durable = workbook::syncFolder(d->folder) == 0;
        return *end;
    } catch (const workbook::Error& e) {
        releaseFreedMemory();
        throw SaveFailure(QDir::toNativeSeparators(d->folder), e.message());
    } catch (const SaveFailure&) {
        releaseFreedMemory();
        throw;
    } catch (const std::bad_alloc&) {
        releaseFreedMemory();
        throw SaveFailure(QDir::toNativeSeparators(d->folder),
                          workbook::reasonText(workbook::Reason::OutOfMemoryStoring));
    } catch (const std::exception& e) {
        // Whatever stopped the store, the operator is told it did not happen.
        qWarning("weighbridge: %s", e.what());
        releaseFreedMemory();
        throw SaveFailure(QDir::toNativeSeparators(d->folder),
                          workbook::reasonText(workbook::Reason::StoreUnexpected));
    }
}

bool workbookShows(const QString& path, const QString& sheet, int lastRow, std::int64_t lastSerial,
                   const QString& time) {
    if (!QFile::exists(path))
        return false;
    try {
        const workbook::Book book = workbook::readBook(path);
        const int index = book.indexOf(sheet);
        if (index < 0)
            return false;
        const workbook::Sheet& s = book.sheet(index);
        bool okRow = false;
        bool okSerial = false;
        const double h1 = s.cell(1, 8).toString().trimmed().toDouble(&okRow); // "." always
        const double serial = s.cell(lastRow, 1).toString().trimmed().toDouble(&okSerial);
        return okRow && okSerial && h1 == lastRow && serial == static_cast<double>(lastSerial) &&
               s.cell(lastRow, 3).toString() == time;
    } catch (const workbook::Error&) {
        return false;
    }
}

} // namespace records
