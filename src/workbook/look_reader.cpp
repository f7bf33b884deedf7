// Reads how a workbook looks (look.h) from its BIFF8 Workbook stream: the fonts, number
// formats, cell formats and palette of the globals, and for each worksheet the cell formats
// of its cells, column and row records, merged ranges, window and pane, and comments (NOTE
// with the text of its TXO). A record that is short, or runs past the stream, ends the part it
// belongs to; what was read until then is kept.

#include "workbook/biff_reader.h"
#include "workbook/biff_segments.h"
#include "workbook/look.h"
#include "workbook/record_cursor.h"

#include <QtEndian>

#include <algorithm>
#include <unordered_map>

namespace workbook::biff {

namespace {

// A text that runs past its records ends the reading of that text only.
struct TextCut {};
[[noreturn]] void textCut(bool) {
    throw TextCut{};
}

void readFont(BookLook& look, const Record& r) {
    if (r.size < 14)
        return;
    FontLook f;
    f.heightTwips = r.u16(0);
    const std::uint16_t flags = r.u16(2);
    f.italic = (flags & 0x02) != 0;
    f.strikeOut = (flags & 0x08) != 0;
    f.colour = r.u16(4);
    f.bold = r.u16(6) >= 700;
    f.underline = r.data[10] != 0;
    f.name = shortStringAt(r.data, r.size, 14).value_or(QString());
    look.fonts.push_back(std::move(f));
}

void readCellFormat(BookLook& look, const Record& r) {
    CellLook c;
    if (r.size >= 4) {
        c.font = r.u16(0);
        c.numberFormat = r.u16(2);
    }
    if (r.size >= 20) {
        const std::uint8_t alignment = r.data[6];
        c.horizontal = static_cast<HorizontalAlignment>(std::min(alignment & 0x07, 7));
        c.wrap = (alignment & 0x08) != 0;
        c.vertical = static_cast<VerticalAlignment>(std::min((alignment >> 4) & 0x07, 4));
        c.fillPattern = static_cast<std::uint8_t>(r.u32(14) >> 26);
        const std::uint16_t colours = r.u16(18);
        c.fillForeground = colours & 0x7F;
        c.fillBackground = (colours >> 7) & 0x7F;
    }
    look.formats.push_back(c);
}

void readGlobals(BookLook& look, RecordCursor& records, std::vector<std::uint32_t>& sheets) {
    Record r;
    while (records.next(r) == RecordProblem::None && r.type != rtEof) {
        switch (r.type) {
        case rtFont:
            readFont(look, r);
            break;
        case rtFormat:
            if (r.size >= 2)
                if (const auto code = stringAt(r.data, r.size, 2))
                    look.numberFormats[r.u16(0)] = *code;
            break;
        case rtXf:
            readCellFormat(look, r);
            break;
        case rtPalette:
            if (r.size >= 2)
                for (std::size_t i = 0; i < r.u16(0) && i < 56 && 2 + 4 * i + 3 <= r.size; ++i) {
                    const std::uint8_t* c = r.data + 2 + 4 * i;
                    look.palette[i] =
                        (std::uint32_t(c[0]) << 16) | (std::uint32_t(c[1]) << 8) | c[2];
                }
            break;
        case rtDate1904:
            look.date1904 = r.size >= 2 && r.u16(0) != 0;
            break;
        case rtBoundSheet:
            if (r.size >= 8 && r.data[5] == 0) // worksheets only, as the cell reader
                sheets.push_back(r.u32(0));
            break;
        default:
            break;
        }
    }
}

// The cell formats of the cells a record holds.
void readCellRecord(SheetLook& sheet, const Record& r) {
    if (r.type == rtMulRk || r.type == rtMulBlank) {
        const std::size_t each = r.type == rtMulRk ? 6 : 2;
        if (r.size < 6)
            return;
        const int row = r.u16(0), first = r.u16(2);
        for (std::size_t i = 0; 4 + each * (i + 1) + 2 <= r.size; ++i)
            sheet.cells.set(row, first + static_cast<int>(i), r.u16(4 + each * i));
        return;
    }
    if (r.size >= 6)
        sheet.cells.set(r.u16(0), r.u16(2), r.u16(4));
}

struct CommentTexts {
    int pendingObject = -1; // the note object whose text box comes next
    std::unordered_map<int, QString> byObject;
};

// OBJ of a note ([MS-XLS] 2.5.143 FtCmo, object type 0x19): its id, for the TXO after it.
void readObject(CommentTexts& texts, const Record& r) {
    texts.pendingObject = -1;
    if (r.size >= 8 && r.u16(0) == 0x15 && r.u16(4) == 0x19)
        texts.pendingObject = r.u16(6);
}

// TXO: the text is in the CONTINUE records after it, each starting with a flags byte.
void readTextBox(CommentTexts& texts, const Record& r, RecordCursor& records) {
    const int object = texts.pendingObject;
    texts.pendingObject = -1;
    Segments data(textCut);
    Record part;
    bool continued = false;
    while (records.peekType() == rtContinue && records.next(part) == RecordProblem::None) {
        data.add(part.data, part.size);
        continued = true;
    }
    if (object < 0 || r.size < 12 || (!continued && r.u16(10) > 0))
        return;
    const std::uint16_t count = r.u16(10);
    try {
        QString text;
        if (count > 0) {
            const std::uint8_t flags = data.u8();
            text = data.chars(count, (flags & 1) != 0);
        }
        texts.byObject[object] = text;
    } catch (const TextCut&) {
    }
}

void readNote(SheetLook& sheet, const CommentTexts& texts, const Record& r) {
    if (r.size < 8)
        return;
    CommentLook c;
    c.row = r.u16(0);
    c.column = r.u16(2);
    c.author = stringAt(r.data, r.size, 8).value_or(QString());
    if (const auto it = texts.byObject.find(r.u16(6)); it != texts.byObject.end())
        c.text = it->second;
    sheet.comments.push_back(std::move(c));
}

void readRow(SheetLook& sheet, const Record& r) {
    if (r.size < 16)
        return;
    RowLook row;
    row.heightTwips = r.u16(6) & 0x7FFF;
    const std::uint16_t flags = r.u16(12);
    row.hidden = (flags & 0x20) != 0;
    row.customHeight = (flags & 0x40) != 0;
    if ((flags & 0x80) != 0)
        row.format = r.u16(14) & 0x0FFF;
    sheet.rows[r.u16(0)] = row;
}

void readColumns(SheetLook& sheet, const Record& r) {
    if (r.size < 10)
        return;
    ColumnLook c;
    c.first = r.u16(0);
    c.last = std::min<int>(r.u16(2), 255);
    c.width = r.u16(4);
    c.format = r.u16(6);
    c.hidden = (r.u16(8) & 0x01) != 0;
    if (c.first <= c.last)
        sheet.columns.push_back(c);
}

void readMerges(SheetLook& sheet, const Record& r) {
    if (r.size < 2)
        return;
    for (std::size_t i = 0; i < r.u16(0) && 2 + 8 * (i + 1) <= r.size; ++i) {
        const std::size_t at = 2 + 8 * i;
        MergedRange m{r.u16(at), r.u16(at + 2), r.u16(at + 4), r.u16(at + 6)};
        if (m.firstRow <= m.lastRow && m.firstColumn <= m.lastColumn && m.lastColumn < 256)
            sheet.merges.push_back(m);
    }
}

// What one record of a sheet says of its look.
struct SheetReading {
    SheetLook& sheet;
    RecordCursor& records;
    CommentTexts texts;
    bool frozen = false; // WINDOW2 says the panes are frozen

    void record(Record& r);
};

void SheetReading::record(Record& r) {
    switch (r.type) {
    case rtBof: // an embedded chart, to its own end
        for (int depth = 1; depth > 0 && records.next(r) == RecordProblem::None;)
            depth += r.type == rtBof ? 1 : r.type == rtEof ? -1 : 0;
        break;
    case rtRow:
        readRow(sheet, r);
        break;
    case rtColInfo:
        readColumns(sheet, r);
        break;
    case rtDefColWidth:
        if (r.size >= 2)
            sheet.defaultColumnWidth = r.u16(0);
        break;
    case rtDefaultRowHeight:
        if (r.size >= 4 && (r.u16(0) & 0x02) == 0) // not the height of hidden rows
            sheet.defaultRowHeightTwips = r.u16(2);
        break;
    case rtMergedCells:
        readMerges(sheet, r);
        break;
    case rtWindow2:
        if (r.size >= 6) {
            sheet.gridlines = (r.u16(0) & 0x02) != 0;
            frozen = (r.u16(0) & 0x08) != 0;
        }
        break;
    case rtPane:
        if (frozen && r.size >= 8) {
            sheet.frozenColumns = r.u16(0);
            sheet.frozenRows = r.u16(2);
            sheet.topRow = r.u16(4);
            sheet.leftColumn = r.u16(6);
        }
        break;
    case rtObj:
        readObject(texts, r);
        break;
    case rtTxo:
        readTextBox(texts, r, records);
        break;
    case rtNote:
        readNote(sheet, texts, r);
        break;
    default:
        break;
    }
}

void readSheet(SheetLook& sheet, RecordCursor& records) {
    Record r;
    if (records.next(r) != RecordProblem::None || r.type != rtBof)
        return;
    SheetReading reading{sheet, records, {}};
    while (records.next(r) == RecordProblem::None && r.type != rtEof) {
        if (isCellRecord(r.type))
            readCellRecord(sheet, r);
        else
            reading.record(r);
    }
}

} // namespace

BookLook readLook(std::span<const std::uint8_t> stream) {
    BookLook look;
    RecordCursor records(stream);
    Record bof;
    if (records.next(bof) != RecordProblem::None || bof.type != rtBof)
        return look;
    std::vector<std::uint32_t> sheets;
    readGlobals(look, records, sheets);
    for (const std::uint32_t position : sheets) {
        SheetLook& sheet = look.sheets.emplace_back();
        records.seek(position);
        readSheet(sheet, records);
    }
    return look;
}

} // namespace workbook::biff
