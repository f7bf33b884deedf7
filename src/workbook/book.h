#pragma once
// A workbook in memory: ordered worksheets whose cells hold a text, a number or a boolean.
// Rows and columns are numbered from 1 as in a spreadsheet. Cells are kept compact (16 bytes,
// texts shared within a sheet), so a full sheet of 65,536 rows by 8 columns takes a few MB.
//
// The .xls limits (65,536 rows, 256 columns, 32,767 characters a cell) are enforced when a
// cell is set, so a book in memory always fits in a file.

#include "workbook/error.h"
#include "workbook/text_pool.h"

#include <QHash>
#include <QString>
#include <QStringView>

#include <cstdint>
#include <optional>
#include <vector>

namespace workbook {

inline constexpr int MaxRows = 65536;
inline constexpr int MaxColumns = 256;
inline constexpr int MaxTextLength = 32767;
inline constexpr int MaxSheetNameLength = 31;

// The program's number text: decimal, "." as separator, no grouping, no exponent, no
// trailing zeros, at most 15 significant digits; a leading space when zero or positive, "-"
// when negative. 0 gives " 0", 15.25 gives " 15.25", -1.5 gives "-1.5".
QString numberText(double value);

// The number whose number text `text` is exactly; nothing for any other text ("00123",
// "123" without its space, " 1.50", "2026/12/7" ...).
std::optional<double> numberFromText(QStringView text);

class Value;
// The value a store makes of a box's text: the number that a number text is exactly (" 15.25"
// is 15.25, so that a spreadsheet can sum it), an empty value for an empty text, and any other
// text ("00123", "2026/12/7", "8:04:07") as it is.
Value storedValue(const QString& text);

// How wide a text is shown, in half-width characters: East Asian characters count two.
// Column widths in written files and in the viewer follow it.
int displayWidth(QStringView text);

class Value {
public:
    enum class Kind : std::uint8_t { Empty, Text, Number, Boolean };

    Value() = default;
    static Value text(QString text);
    static Value number(double value);
    static Value boolean(bool value);

    Kind kind() const { return m_kind; }
    bool isEmpty() const { return m_kind == Kind::Empty; }
    // The text of a text cell; empty for the other kinds.
    const QString& textValue() const { return m_text; }
    // The number of a number cell, 1 or 0 for a boolean, 0 otherwise.
    double numberValue() const { return m_number; }
    bool booleanValue() const { return m_kind == Kind::Boolean && m_number != 0; }
    // The cell as text: a text as it is, a number as its number text, a boolean as "TRUE"
    // or "FALSE", an empty cell as "".
    QString toString() const;

    friend bool operator==(const Value&, const Value&) = default;

private:
    Kind m_kind = Kind::Empty;
    double m_number = 0;
    QString m_text;
};

namespace detail {
// One stored cell: `text` indexes the sheet's strings for a text cell, `number` holds a
// number or 1/0 for a boolean.
struct Cell {
    double number = 0;
    std::uint32_t text = 0;
    Value::Kind kind = Value::Kind::Empty;
};
using Row = std::vector<Cell>;
} // namespace detail

// Why `name` cannot name a worksheet, or an empty text when it can.
QString sheetNameProblem(const QString& name);

class Sheet {
public:
    explicit Sheet(QString name = {});

    const QString& name() const { return m_name; }
    void setName(QString name) { m_name = std::move(name); }

    // The last row holding a value (0 when the sheet is empty) and the last column.
    int rowCount() const { return static_cast<int>(m_rows.size()); }
    int columnCount() const;

    Value cell(int row, int column) const;
    // The setters throw Error (InvalidUse, FormatLimit) for a row or column outside the
    // sheet, a text longer than 32,767 characters or a number that is not finite.
    void setText(int row, int column, const QString& text);
    void setNumber(int row, int column, double value);
    void setBoolean(int row, int column, bool value);
    void setValue(int row, int column, const Value& value);
    void clearCell(int row, int column);

    // For the file codec.
    const std::vector<detail::Row>& rows() const { return m_rows; }
    const std::vector<QString>& strings() const { return m_strings.texts(); }
    void reserveRows(int rows) { m_rows.reserve(static_cast<std::size_t>(rows)); }
    std::uint32_t addString(const QString& text);
    // As addString(), but without seeking `text` among the sheet's texts: for a sheet that is
    // only shown (a text there already gets a second number).
    std::uint32_t appendString(const QString& text) { return m_strings.append(text); }
    // Frees what only adding texts needs (the index that finds a text among the sheet's
    // strings: some MB for a full sheet of different texts); a later addString builds it again.
    void releaseTextIndex();
    // A text cell holding the string addString() returned `index` for.
    void setStringCell(int row, int column, std::uint32_t index);

private:
    detail::Cell& slot(int row, int column);

    QString m_name;
    std::vector<detail::Row> m_rows;
    TextPool<> m_strings;
};

class Book {
public:
    int sheetCount() const { return static_cast<int>(m_sheets.size()); }
    // 0-based; a reference stays valid until the next addSheet.
    Sheet& sheet(int index) { return m_sheets.at(static_cast<std::size_t>(index)); }
    const Sheet& sheet(int index) const { return m_sheets.at(static_cast<std::size_t>(index)); }
    // The index of the sheet named `name`, ignoring case; -1 when there is none.
    int indexOf(QStringView name) const;
    // Appends an empty sheet; throws Error (InvalidUse) for a name that cannot name a sheet
    // or that another sheet has already.
    Sheet& addSheet(const QString& name);

    const std::vector<Sheet>& sheets() const { return m_sheets; }

    // The sheet shown and selected when the file is opened (0-based).
    int activeSheet() const { return m_active; }
    void setActiveSheet(int index) { m_active = index; }
    // For the reader: appends a sheet under the name a file gives it, unchecked. A book with
    // a name that cannot name a sheet is refused when it is written.
    Sheet& appendSheet(const QString& name) { return m_sheets.emplace_back(name); }

private:
    std::vector<Sheet> m_sheets;
    int m_active = 0;
};

} // namespace workbook
