#pragma once
// How a workbook looks in a spreadsheet application, as far as the viewer draws it: the cell
// formats (number format, font, fill, horizontal alignment) with the workbook's fonts and
// palette, and for each worksheet its column widths, row heights, hidden rows and columns,
// merged ranges, frozen panes and comments. It is read from the Workbook stream beside the
// cell values (readLook in biff_reader.h) and is never a reason to refuse a file: what cannot
// be read is left out, and the sheet then shows plain.
//
// Rows and columns here are numbered from 0, as the file numbers them.

#include <QString>

#include <cstdint>
#include <map>
#include <vector>

namespace workbook {

// The palette index of a colour: 0 to 7 the fixed colours, 8 to 63 the workbook's palette;
// 64 and above the system's (window text, window background), 0x7FFF automatic.
using ColourIndex = std::uint16_t;
inline constexpr ColourIndex kAutomaticColour = 0x7FFF;

struct FontLook {
    QString name;
    int heightTwips = 200; // 1/20 of a point
    bool bold = false;
    bool italic = false;
    bool underline = false;
    bool strikeOut = false;
    ColourIndex colour = kAutomaticColour;
};

enum class HorizontalAlignment : std::uint8_t {
    General, // by the value: texts left, numbers right, truth values centred
    Left,
    Centre,
    Right,
    Fill,
    Justify,
    CentreAcross,
    Distributed,
};
enum class VerticalAlignment : std::uint8_t { Top, Centre, Bottom, Justify, Distributed };

// One cell format (XF): the font (an index into BookLook::fonts), the number format, the
// alignment and the fill.
struct CellLook {
    std::uint16_t font = 0;
    std::uint16_t numberFormat = 0;
    HorizontalAlignment horizontal = HorizontalAlignment::General;
    VerticalAlignment vertical = VerticalAlignment::Bottom;
    bool wrap = false;
    std::uint8_t fillPattern = 0; // 0 none, 1 solid, 2 to 18 the patterns of dots and lines
    ColourIndex fillForeground = 64;
    ColourIndex fillBackground = 65;
};

// The cell format of each cell that has a record (a value or a formatted blank), kept as
// runs of rows with the same format down each column: a day's sheet of 65,536 rows formatted
// alike down its columns holds a few runs.
class CellFormats {
public:
    static constexpr std::uint16_t kNone = 0xFFFF;

    void set(int row, int column, std::uint16_t format);
    // The format of the cell, kNone where no record names one.
    std::uint16_t at(int row, int column) const;
    // How many runs are held in all (for the tests of their size).
    std::size_t runCount() const;

private:
    struct Run {
        std::uint32_t firstRow;
        std::uint16_t format;
    };
    // By column; each column's runs are in row order and end with a kNone run.
    std::vector<std::vector<Run>> m_columns;
};

struct ColumnLook {
    int first = 0;
    int last = 0;
    int width = 0; // in 1/256 of the width of the digit 0 of the workbook's first font
    std::uint16_t format = 15;
    bool hidden = false;
};

struct RowLook {
    int heightTwips = 255;
    bool hidden = false;
    bool customHeight = false;
    std::uint16_t format = CellFormats::kNone; // the row's own format, for its empty cells
};

struct MergedRange {
    int firstRow = 0;
    int lastRow = 0;
    int firstColumn = 0;
    int lastColumn = 0;
};

struct CommentLook {
    int row = 0;
    int column = 0;
    QString author;
    QString text;
};

struct SheetLook {
    CellFormats cells;
    std::vector<ColumnLook> columns; // in the file's order
    int defaultColumnWidth = 8;      // in characters (DEFCOLWIDTH)
    int defaultRowHeightTwips = 255;
    std::map<int, RowLook> rows; // rows with a record of their own
    std::vector<MergedRange> merges;
    // Frozen panes: the rows above and the columns left of the split stay in place; the
    // scrolled part starts at topRow and leftColumn.
    int frozenRows = 0;
    int frozenColumns = 0;
    int topRow = 0;
    int leftColumn = 0;
    bool gridlines = true;
    std::vector<CommentLook> comments;

    // The column record that covers `column`, or null.
    const ColumnLook* column(int column) const;
    // The format a cell is drawn with: its own, else its row's, else its column's, else the
    // default cell format 15.
    std::uint16_t formatAt(int row, int column) const;
};

struct BookLook {
    std::vector<FontLook> fonts;
    std::vector<CellLook> formats;                  // by XF index
    std::map<std::uint16_t, QString> numberFormats; // the file's own codes, by id
    std::vector<std::uint32_t> palette;             // 0xRRGGBB of indices 8 to 63
    bool date1904 = false;
    std::vector<SheetLook> sheets; // one per worksheet, as Book::sheets()

    BookLook();
    // The code of number format `id`: the file's own, else the built-in one, else "General".
    QString numberFormatCode(std::uint16_t id) const;
    // The font of a format's font index (index 4 is skipped by the file's numbering); the
    // first font for one the file does not have.
    const FontLook& font(std::uint16_t index) const;
    // 0xRRGGBB of a palette index; `fallback` for the system's and automatic colours.
    std::uint32_t colour(ColourIndex index, std::uint32_t fallback) const;
};

} // namespace workbook
