#pragma once
// A record-level editor of an existing .xls workbook: it sets cells and adds worksheets and
// keeps everything else of the file as it was. Every record of the workbook stream that an
// edit does not concern is written back as it came (formulas, formats, widths, merged cells,
// comments, drawings, names, other sheets ...), and every other stream and storage of the
// compound file byte for byte. What the edits change: the cell records of the rows they
// touch (new rows go in new row blocks after the last one, so the rows above are never
// decoded), the shared-string table (new strings appended, its CONTINUE and EXTSST records
// redone), DIMENSIONS, INDEX and DBCELL, and the stream positions in BOUNDSHEET.
//
// A workbook it cannot keep whole (an older BIFF version, records that lie about their
// lengths, positions or counts, a cell table it does not understand) it refuses with a
// reason, before anything is written.

#include "workbook/book.h"

#include <QString>
#include <QStringView>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <vector>

namespace workbook {

class Editor {
public:
    // A workbook the editor cannot edit without losing something is refused with an Error
    // of kind Unkeepable, whose reason says why: thrown by the constructors, setCell(),
    // editedStream() and save(); open() and trySave() return the reason instead, as the
    // expected outcome it is for the store (which then stores by value).

    enum class SheetKind { Worksheet, Chart, MacroSheet, Module, Other };
    struct SheetInfo {
        QString name;
        SheetKind kind;
        bool hidden;
    };

    // An editor of a workbook, or why there is none although the workbook is readable: the
    // editor cannot keep it whole (an expected outcome: the caller stores by value instead).
    struct Opening {
        std::unique_ptr<Editor> editor; // null when refused
        QString refusal;
    };
    // Opens the workbook at `path`. Throws Error (Missing, NotWorkbook, Damaged, Encrypted,
    // Io) when it is no readable .xls workbook.
    static Opening open(const QString& path);
    // The same for a workbook stream alone, with no file to save to.
    static Opening open(const QString& name, std::vector<std::uint8_t> workbookStream);

    // An editor of a new workbook holding the cells of `book`, named `name` in errors: a
    // minimal workbook of our records whose cells the editor sets (how every new file is
    // made: writeBook() saves such an editor with saveStreamAs()). Throws Error (FormatLimit,
    // InvalidUse) for a book no .xls can hold.
    static std::unique_ptr<Editor> newWorkbook(const Book& book, const QString& name = {});

    // As open(), but throws Error (Unkeepable) when the workbook cannot be kept whole.
    explicit Editor(const QString& path);
    // An editor of a workbook stream alone, with no file to save to (for tests and fuzzing).
    Editor(const QString& name, std::vector<std::uint8_t> workbookStream);
    ~Editor();
    Editor(const Editor&) = delete;
    Editor& operator=(const Editor&) = delete;

    const QString& path() const;
    // Sheets in the order of their tabs, 0-based.
    int sheetCount() const;
    const SheetInfo& sheetInfo(int sheet) const;
    // The sheet named `name`, ignoring case; -1 when there is none.
    int indexOf(QStringView name) const;

    // The value of a worksheet's cell (1-based), edits included: a text, a number, a
    // boolean, a formula's cached result; empty when there is none.
    Value cell(int sheet, int row, int column) const;
    // The last row (1-based) of a worksheet that has a row record or a cell, edits included;
    // 0 for an empty sheet.
    int lastRow(int sheet) const;

    // Writes a text into a worksheet's cell as a store makes it (storedValue): a number text is
    // stored as that number, an empty text leaves the cell empty. A new cell takes the format
    // of its row or column where one is set, a replaced cell keeps its own. Throws Error
    // (InvalidUse) for a cell outside the sheet or a sheet that is no worksheet, Unkeepable
    // for a cell the edit cannot replace without losing something (the anchor of a shared
    // formula or an array).
    void setCell(int sheet, int row, int column, const QString& text);
    // As setCell(), for a value as it is: a text stays a text even when it reads as a
    // number or is empty, a boolean is stored as one; an empty value leaves the cell empty.
    void setValue(int sheet, int row, int column, const Value& value);
    // The number that stands for `text` in setText(): one number for one text, which the
    // editor then holds once however many cells take it. Throws Error (FormatLimit) for a
    // text longer than a cell holds.
    std::uint32_t textNumber(const QString& text);
    // A cell of setRow(): left empty, a number, or a text given by its textNumber().
    struct RowCell {
        enum class Kind : std::uint8_t { Empty, Number, Text };
        Kind kind = Kind::Empty;
        std::uint32_t text = 0;
        double number = 0;
    };
    // Sets `cells` into a worksheet's row from `column` rightwards (1-based), as setValue()
    // would set them one by one, but checked once for the whole row: a row with a cell outside
    // the sheet, or a text that no textNumber() gave, is refused (InvalidUse) and none of its
    // cells set.
    void setRow(int sheet, int row, int column, std::span<const RowCell> cells);
    // textNumber() of each of `distinct`, texts that differ from each other (a sheet's
    // strings, a store's texts): into an editor that holds no text yet, or a few, they are
    // taken as they are, none hashed.
    std::vector<std::uint32_t> textNumbers(const std::vector<QString>& distinct);
    // The same, the texts moved in: none of them copied (a copy of a text made on another
    // thread waits for that thread's core to give it up).
    std::vector<std::uint32_t> textNumbers(std::vector<QString>&& distinct);
    // Room for `cells` more setCell() calls on a sheet, taken at once.
    void reserveCells(int sheet, std::size_t cells);
    // Appends an empty worksheet; returns its index. Throws Error (InvalidUse) for a name
    // that cannot name a sheet or that another sheet has.
    int addWorksheet(const QString& name);

    // The edited workbook stream. Throws Error (Unkeepable) when the edits cannot be laid out.
    std::vector<std::uint8_t> editedStream() const;
    // Writes the edited workbook stream, alone in a new compound file, to `path` atomically
    // (file_io.h, writeBook), piece by piece as save() does. Throws Error (Unkeepable, naming
    // no file, or Io); the file is untouched then.
    void saveStreamAs(const QString& path) const;
    // Writes the edited workbook over its file, atomically, every other stream and storage
    // as it was. Throws Error (Io or Unkeepable); the file is untouched then.
    void save();
    // As save(), but returns why when the edits cannot be laid out without losing something
    // (the file untouched); nothing when saved. Throws Error (Io).
    [[nodiscard]] std::optional<QString> trySave();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace workbook
