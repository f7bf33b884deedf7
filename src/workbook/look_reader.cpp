// Reads how a workbook looks (look.h) from its BIFF8 Workbook stream: the fonts, number
// formats, cell formats and palette of the globals, and for each worksheet the cell formats
// of its cells, column and row records, merged ranges, window and pane, and comments (NOTE
// with the text of its TXO). A record that is short, or runs past the stream, ends the part it
// belongs to; what was read until then is kept.

#include "workbook/biff_reader.h"
#include "workbook/biff_segments.h"
#include "workbook/look.h"

#include <QtEndian>

#include <algorithm>
#include <unordered_map>

namespace workbook::biff {

namespace {

constexpr std::uint16_t rtLookBof = 0x0809, rtLookEof = 0x000A, rtLookContinue = 0x003C;
constexpr std::uint16_t rtLookFont = 0x0031, rtLookFormat = 0x041E, rtLookXf = 0x00E0,
                        rtLookPalette = 0x0092, rtLookDate1904 = 0x0022, rtLookBoundSheet = 0x0085;
constexpr std::uint16_t rtLookDefColWidth = 0x0055, rtLookColInfo = 0x007D,
                        rtLookDefaultRowHeight = 0x0225, rtLookRow = 0x0208,
                        rtLookMergedCells = 0x00E5, rtLookWindow2 = 0x023E, rtLookPane = 0x0041,
                        rtLookObj = 0x005D, rtLookTxo = 0x01B6, rtLookNote = 0x001C;
constexpr std::uint16_t rtLookMulRk = 0x00BD, rtLookMulBlank = 0x00BE;
// The records of one cell, with its row, column and format in their first six bytes.
constexpr std::uint16_t kCellRecords[] = {0x0204, 0x00FD, 0x00D6, 0x0203,
                                          0x027E, 0x0205, 0x0006, 0x0201};

struct LookRecord {
    std::uint16_t type = 0;
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;

    std::uint16_t u16(std::size_t at) const { return qFromLittleEndian<std::uint16_t>(data + at); }
    std::uint32_t u32(std::size_t at) const { return qFromLittleEndian<std::uint32_t>(data + at); }
};

// The records of the stream one after another; false at its end or where a record runs past
// it.
class LookRecords {
public:
    explicit LookRecords(std::span<const std::uint8_t> stream) : m_stream(stream) {}
    bool seek(std::size_t position) {
        m_pos = position;
        return position < m_stream.size();
    }
    std::uint16_t peekType() const {
        return m_pos + 4 <= m_stream.size()
                   ? qFromLittleEndian<std::uint16_t>(m_stream.data() + m_pos)
                   : 0;
    }
    bool next(LookRecord& r) {
        if (m_pos + 4 > m_stream.size())
            return false;
        const std::uint8_t* p = m_stream.data() + m_pos;
        const std::size_t size = qFromLittleEndian<std::uint16_t>(p + 2);
        if (m_pos + 4 + size > m_stream.size())
            return false;
        r = {qFromLittleEndian<std::uint16_t>(p), p + 4, size};
        m_pos += 4 + size;
        return true;
    }

private:
    std::span<const std::uint8_t> m_stream;
    std::size_t m_pos = 0;
};

// A text that runs past its records ends the reading of that text only.
struct TextCut {};
[[noreturn]] void textCut(bool) {
    throw TextCut{};
}

void readFont(BookLook& look, const LookRecord& r) {
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

void readCellFormat(BookLook& look, const LookRecord& r) {
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

void readGlobals(BookLook& look, LookRecords& records, std::vector<std::uint32_t>& sheets) {
    LookRecord r;
    while (records.next(r) && r.type != rtLookEof) {
        switch (r.type) {
        case rtLookFont:
            readFont(look, r);
            break;
        case rtLookFormat:
            if (r.size >= 2)
                if (const auto code = stringAt(r.data, r.size, 2))
                    look.numberFormats[r.u16(0)] = *code;
            break;
        case rtLookXf:
            readCellFormat(look, r);
            break;
        case rtLookPalette:
            if (r.size >= 2)
                for (std::size_t i = 0; i < r.u16(0) && i < 56 && 2 + 4 * i + 3 <= r.size; ++i) {
                    const std::uint8_t* c = r.data + 2 + 4 * i;
                    look.palette[i] =
                        (std::uint32_t(c[0]) << 16) | (std::uint32_t(c[1]) << 8) | c[2];
                }
            break;
        case rtLookDate1904:
            look.date1904 = r.size >= 2 && r.u16(0) != 0;
            break;
        case rtLookBoundSheet:
            if (r.size >= 8 && r.data[5] == 0) // worksheets only, as the cell reader
                sheets.push_back(r.u32(0));
            break;
        default:
            break;
        }
    }
}

// The cell formats of the cells a record holds.
void readCellRecord(SheetLook& sheet, const LookRecord& r) {
    if (r.type == rtLookMulRk || r.type == rtLookMulBlank) {
        const std::size_t each = r.type == rtLookMulRk ? 6 : 2;
        if (r.size < 6)
            return;
        const int row = r.u16(0), first = r.u16(2);
        for (std::size_t i = 0; 4 + each * (i + 1) <= r.size - 2; ++i)
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
void readObject(CommentTexts& texts, const LookRecord& r) {
    texts.pendingObject = -1;
    if (r.size >= 8 && r.u16(0) == 0x15 && r.u16(4) == 0x19)
        texts.pendingObject = r.u16(6);
}

// TXO: the text is in the CONTINUE records after it, each starting with a flags byte.
void readTextBox(CommentTexts& texts, const LookRecord& r, LookRecords& records) {
    const int object = texts.pendingObject;
    texts.pendingObject = -1;
    Segments data(textCut);
    LookRecord part;
    bool continued = false;
    while (records.peekType() == rtLookContinue && records.next(part)) {
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

void readNote(SheetLook& sheet, const CommentTexts& texts, const LookRecord& r) {
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

void readRow(SheetLook& sheet, const LookRecord& r) {
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

void readColumns(SheetLook& sheet, const LookRecord& r) {
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

void readMerges(SheetLook& sheet, const LookRecord& r) {
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
    LookRecords& records;
    CommentTexts texts;
    bool frozen = false; // WINDOW2 says the panes are frozen

    void record(LookRecord& r);
};

void SheetReading::record(LookRecord& r) {
    switch (r.type) {
    case rtLookBof: // an embedded chart, to its own end
        for (int depth = 1; depth > 0 && records.next(r);)
            depth += r.type == rtLookBof ? 1 : r.type == rtLookEof ? -1 : 0;
        break;
    case rtLookRow:
        readRow(sheet, r);
        break;
    case rtLookColInfo:
        readColumns(sheet, r);
        break;
    case rtLookDefColWidth:
        if (r.size >= 2)
            sheet.defaultColumnWidth = r.u16(0);
        break;
    case rtLookDefaultRowHeight:
        if (r.size >= 4 && (r.u16(0) & 0x02) == 0) // not the height of hidden rows
            sheet.defaultRowHeightTwips = r.u16(2);
        break;
    case rtLookMergedCells:
        readMerges(sheet, r);
        break;
    case rtLookWindow2:
        if (r.size >= 6) {
            sheet.gridlines = (r.u16(0) & 0x02) != 0;
            frozen = (r.u16(0) & 0x08) != 0;
        }
        break;
    case rtLookPane:
        if (frozen && r.size >= 8) {
            sheet.frozenColumns = r.u16(0);
            sheet.frozenRows = r.u16(2);
            sheet.topRow = r.u16(4);
            sheet.leftColumn = r.u16(6);
        }
        break;
    case rtLookObj:
        readObject(texts, r);
        break;
    case rtLookTxo:
        readTextBox(texts, r, records);
        break;
    case rtLookNote:
        readNote(sheet, texts, r);
        break;
    default:
        break;
    }
}

void readSheet(SheetLook& sheet, LookRecords& records) {
    LookRecord r;
    if (!records.next(r) || r.type != rtLookBof)
        return;
    SheetReading reading{sheet, records, {}};
    while (records.next(r) && r.type != rtLookEof) {
        if (r.type == rtLookMulRk || r.type == rtLookMulBlank ||
            std::find(std::begin(kCellRecords), std::end(kCellRecords), r.type) !=
                std::end(kCellRecords))
            readCellRecord(sheet, r);
        else
            reading.record(r);
    }
}

} // namespace

BookLook readLook(std::span<const std::uint8_t> stream) {
    BookLook look;
    LookRecords records(stream);
    LookRecord bof;
    if (!records.next(bof) || bof.type != rtLookBof)
        return look;
    std::vector<std::uint32_t> sheets;
    readGlobals(look, records, sheets);
    for (const std::uint32_t position : sheets) {
        SheetLook& sheet = look.sheets.emplace_back();
        if (records.seek(position))
            readSheet(sheet, records);
    }
    return look;
}

} // namespace workbook::biff
