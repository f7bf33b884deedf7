// A new workbook: the globals a reader needs (code page, window, the fonts, cell formats and
// style every file of ours has, the sheets, an empty shared-string table) and an empty
// substream per sheet with its column widths, opened by the record-level editor, which sets
// every cell as it does in a later store; so a day's first store and every later one write
// their cells the same way.

#include "workbook/biff_records.h"
#include "workbook/biff_writer.h"
#include "workbook/editor.h"
#include "workbook/editor_internal.h"
#include "workbook/reasons.h"

#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

namespace workbook::biff {

namespace {

static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN, "sheet names are copied as UTF-16LE as they are");

constexpr std::uint16_t CellXf = 15; // the default cell format, after the 15 style formats

class Bytes {
public:
    explicit Bytes(std::size_t reserve) { m_data.reserve(reserve); }

    std::size_t size() const { return m_data.size(); }
    std::uint8_t* grow(std::size_t n) {
        const std::size_t at = m_data.size();
        m_data.resize(at + n);
        return m_data.data() + at;
    }
    void u8(std::uint8_t v) { m_data.push_back(v); }
    void u16(std::uint16_t v) { qToLittleEndian(v, grow(2)); }
    void u32(std::uint32_t v) { qToLittleEndian(v, grow(4)); }
    void f64(double v) {
        std::uint64_t bits;
        std::memcpy(&bits, &v, 8);
        qToLittleEndian(bits, grow(8));
    }
    void raw(const void* p, std::size_t n) { std::memcpy(grow(n), p, n); }
    void patch16(std::size_t at, std::uint16_t v) { qToLittleEndian(v, m_data.data() + at); }
    void patch32(std::size_t at, std::uint32_t v) { qToLittleEndian(v, m_data.data() + at); }

    // A record whose length is filled in by end().
    std::size_t begin(std::uint16_t type) {
        u16(type);
        u16(0);
        return size();
    }
    void end(std::size_t dataStart) {
        const std::size_t length = size() - dataStart;
        Q_ASSERT(length <= MaxRecordData);
        patch16(dataStart - 2, static_cast<std::uint16_t>(length));
    }
    void record16(std::uint16_t type, std::uint16_t value) {
        u16(type);
        u16(2);
        u16(value);
    }
    void emptyRecord(std::uint16_t type) {
        u16(type);
        u16(0);
    }

    std::vector<std::uint8_t> take() { return std::move(m_data); }

private:
    std::vector<std::uint8_t> m_data;
};

// The characters of a string, one byte each when every one fits, else UTF-16LE.
void writeChars(Bytes& out, QStringView s, bool wide) {
    if (wide) {
        out.raw(s.utf16(), static_cast<std::size_t>(s.size()) * 2);
    } else {
        std::uint8_t* p = out.grow(static_cast<std::size_t>(s.size()));
        for (const QChar c : s)
            *p++ = static_cast<std::uint8_t>(c.unicode());
    }
}

// A ShortXLUnicodeString: 8-bit length, flags, characters.
void writeShortString(Bytes& out, QStringView s) {
    const bool wide = !fitsLatin1(s);
    out.u8(static_cast<std::uint8_t>(s.size()));
    out.u8(wide ? 1 : 0);
    writeChars(out, s, wide);
}

void writeBof(Bytes& out, std::uint16_t substream) {
    const std::size_t at = out.begin(rtBof);
    out.u16(0x0600);     // BIFF8
    out.u16(substream);  // 0x0005 globals, 0x0010 worksheet
    out.u16(0x0DBB);     // build
    out.u16(0x07CC);     // year 1996
    out.u32(0x00000000); // file history
    out.u32(0x00000006); // lowest version that may read it
    out.end(at);
}

void writeFont(Bytes& out) {
    const std::size_t at = out.begin(rtFont);
    out.u16(200);    // 10 points, in twentieths
    out.u16(0);      // no italic, strike-out ...
    out.u16(0x7FFF); // automatic colour
    out.u16(400);    // normal weight
    out.u16(0);      // no super- or subscript
    out.u8(0);       // not underlined
    out.u8(0);       // family
    out.u8(0);       // character set
    out.u8(0);
    writeShortString(out, u"Arial");
    out.end(at);
}

// An XF record ([MS-XLS] 2.4.353): style formats have every attribute flagged as their own,
// the cell format takes all of them from style format 0.
void writeXf(Bytes& out, bool style) {
    const std::size_t at = out.begin(rtXf);
    out.u16(0);                       // font
    out.u16(0);                       // number format: General
    out.u16(style ? 0xFFF5 : 0x0001); // locked; style with no parent, or parent 0
    out.u8(0x20);                     // bottom aligned
    out.u8(0);                        // no rotation
    out.u8(0);                        // no indent
    out.u8(style ? 0xF4 : 0x00);      // which attribute groups differ from the parent
    out.u32(0);                       // no borders
    out.u32(0);
    out.u16(0x20C0); // pattern colours: automatic
    out.end(at);
}

// Column widths in 1/256 of a character: wide enough for the longest text in the column
// (dates, times, vehicle numbers) and for an ordinary number.
std::vector<int> columnWidths(const Sheet& sheet) {
    std::vector<int> stringWidth(sheet.strings().size());
    for (std::size_t i = 0; i < stringWidth.size(); ++i)
        stringWidth[i] = displayWidth(sheet.strings()[i]);
    std::vector<int> widest(static_cast<std::size_t>(sheet.columnCount()), 0);
    for (const detail::Row& row : sheet.rows())
        for (std::size_t c = 0; c < row.size(); ++c) {
            const detail::Cell& cell = row[c];
            int w = 0;
            if (cell.kind == Value::Kind::Text)
                w = stringWidth[cell.text];
            else if (cell.kind != Value::Kind::Empty)
                w = 10;
            widest[c] = std::max(widest[c], w);
        }
    for (int& w : widest)
        w = std::clamp(w + 2, 8, 60) * 256;
    return widest;
}

// The settings a worksheet starts with: calculation, printing, outline, default row height
// and column width.
void writeSheetSettings(Bytes& out) {
    writeBof(out, 0x0010);
    out.record16(rtCalcMode, 1);
    out.record16(rtCalcCount, 100);
    out.record16(rtCalcRefMode, 1);
    out.record16(rtCalcIter, 0);
    {
        const std::size_t at = out.begin(rtCalcDelta);
        out.f64(0.001);
        out.end(at);
    }
    out.record16(rtCalcSaveRecalc, 1);
    out.record16(rtPrintRowCol, 0);
    out.record16(rtPrintGrid, 0);
    out.record16(rtGridSet, 1);
    {
        const std::size_t at = out.begin(rtGuts);
        for (int i = 0; i < 4; ++i)
            out.u16(0);
        out.end(at);
    }
    {
        const std::size_t at = out.begin(rtDefaultRowHeight);
        out.u16(0);
        out.u16(0x00FF);
        out.end(at);
    }
    out.record16(rtWsBool, 0x04C1);
    out.record16(rtDefColWidth, 8);
}

void writeColumnWidths(Bytes& out, const Sheet& sheet) {
    const std::vector<int> widths = columnWidths(sheet);
    for (std::size_t c = 0; c < widths.size(); ++c) {
        const std::size_t at = out.begin(rtColInfo);
        out.u16(static_cast<std::uint16_t>(c));
        out.u16(static_cast<std::uint16_t>(c));
        out.u16(static_cast<std::uint16_t>(widths[c]));
        out.u16(CellXf);
        out.u16(0);
        out.u16(0);
        out.end(at);
    }
}

// DIMENSIONS of an empty sheet: no rows, no columns ([MS-XLS] 2.4.90); the editor sets them
// as cells come.
void writeDimensions(Bytes& out) {
    const std::size_t at = out.begin(rtDimensions);
    out.u32(0);
    out.u32(0);
    out.u16(0);
    out.u16(0);
    out.u16(0);
    out.end(at);
}

void writeWindow2(Bytes& out, bool active) {
    const std::size_t at = out.begin(rtWindow2);
    // Gridlines, headers, zeros, default header colour, outline symbols; the active sheet
    // is also the selected and shown one.
    out.u16(active ? 0x06B6 : 0x00B6);
    out.u16(0);    // top row
    out.u16(0);    // left column
    out.u16(0x40); // header colour: automatic
    out.u16(0);
    out.u16(0); // page-break preview zoom: default
    out.u16(0); // normal zoom: default
    out.u32(0);
    out.end(at);
}

// A sheet's substream without its cells: the settings, the column widths its cells will
// want, an empty DIMENSIONS, the window.
void writeEmptySheet(Bytes& out, const Sheet& sheet, bool active) {
    writeSheetSettings(out);
    writeColumnWidths(out, sheet);
    writeDimensions(out);
    writeWindow2(out, active);
    out.emptyRecord(rtEof);
}

void checkBook(const Book& book) {
    if (book.sheetCount() == 0)
        throw Error(Error::Kind::InvalidUse, {}, reasonText(Reason::NeedsSheet));
    if (book.sheetCount() > MaxSheets)
        throw Error(Error::Kind::FormatLimit, {},
                    reasonText(Reason::TooManySheets).arg(book.sheetCount()).arg(MaxSheets));
    for (int i = 0; i < book.sheetCount(); ++i) {
        const Sheet& sheet = book.sheet(i);
        const QString problem = sheetNameProblem(sheet.name());
        if (!problem.isEmpty())
            throw Error(Error::Kind::InvalidUse, {}, problem);
        for (int j = 0; j < i; ++j)
            if (book.sheet(j).name().compare(sheet.name(), Qt::CaseInsensitive) == 0)
                throw Error(Error::Kind::InvalidUse, {},
                            reasonText(Reason::TwoSheetsSameName).arg(sheet.name()));
        // A Sheet enforces these as cells are set; checked again so that no file is ever
        // written that the format cannot hold.
        if (sheet.rowCount() > MaxRows || sheet.columnCount() > MaxColumns)
            throw Error(Error::Kind::FormatLimit, {},
                        reasonText(Reason::SheetTooLarge).arg(sheet.name()));
        for (const QString& s : sheet.strings())
            if (s.size() > MaxTextLength)
                throw Error(Error::Kind::FormatLimit, {},
                            reasonText(Reason::SheetTextTooLong).arg(sheet.name()));
    }
}

// The globals up to the window: the writer, the code page, the sheets' tab ids, no
// protection.
void writeGlobalsHead(Bytes& out, const Book& book) {
    writeBof(out, 0x0005);
    out.record16(rtInterfaceHdr, 1200);
    out.record16(rtMms, 0);
    out.emptyRecord(rtInterfaceEnd);
    {
        const std::size_t at = out.begin(rtWriteAccess);
        const QStringView user = u"weighbridge";
        out.u16(static_cast<std::uint16_t>(user.size()));
        out.u8(0);
        writeChars(out, user, false);
        while (out.size() - at < 112)
            out.u8(' ');
        out.end(at);
    }
    out.record16(rtCodePage, 1200); // texts are UTF-16
    out.record16(rtDsf, 0);
    {
        const std::size_t at = out.begin(rtTabId);
        for (int i = 0; i < book.sheetCount(); ++i)
            out.u16(static_cast<std::uint16_t>(i + 1));
        out.end(at);
    }
    out.record16(rtFnGroupCount, 14);
    out.record16(rtWinProtect, 0);
    out.record16(rtProtect, 0);
    out.record16(rtPassword, 0);
    out.record16(rtProt4Rev, 0);
    out.record16(rtProt4RevPass, 0);
    out.record16(rtBackup, 0);
    out.record16(rtHideObj, 0);
}

void writeWindow1(Bytes& out, int active) {
    const std::size_t at = out.begin(rtWindow1);
    out.u16(0x0168); // position and size in twips
    out.u16(0x001E);
    out.u16(0x4000);
    out.u16(0x2000);
    out.u16(0x0038);                             // scroll bars and sheet tabs shown
    out.u16(static_cast<std::uint16_t>(active)); // active sheet
    out.u16(0);                                  // first tab shown
    out.u16(1);                                  // one sheet selected
    out.u16(600);                                // tab bar width, in thousandths
    out.end(at);
}

// Dates from 1900, full precision, the fonts, the cell formats and the one style.
void writeFormats(Bytes& out) {
    out.record16(rtDate1904, 0);
    out.record16(rtCalcPrecision, 1);
    out.record16(rtRefreshAll, 0);
    out.record16(rtBookBool, 0);
    // Readers skip font index 4, so five FONT records give indices 0 to 3 and 5.
    for (int i = 0; i < 5; ++i)
        writeFont(out);
    for (int i = 0; i < 15; ++i)
        writeXf(out, true);
    writeXf(out, false);
    {
        const std::size_t at = out.begin(rtStyle);
        out.u16(0x8000); // built-in style, format 0
        out.u8(0);       // "Normal"
        out.u8(0xFF);
        out.end(at);
    }
    out.record16(rtUsesElfs, 0);
}

// A BOUNDSHEET for each sheet; returns where each sheet's stream position goes.
std::vector<std::size_t> writeBoundSheets(Bytes& out, const Book& book) {
    std::vector<std::size_t> sheetOffsetAt;
    for (const Sheet& sheet : book.sheets()) {
        const std::size_t at = out.begin(rtBoundSheet);
        sheetOffsetAt.push_back(out.size());
        out.u32(0); // stream position of the sheet's BOF, filled in below
        out.u8(0);  // visible
        out.u8(0);  // worksheet
        writeShortString(out, sheet.name());
        out.end(at);
    }
    return sheetOffsetAt;
}

} // namespace

bool rkNumber(double value, std::uint32_t& rk) {
    if (value >= -536870912.0 && value <= 536870911.0 && value == std::floor(value)) {
        rk = (static_cast<std::uint32_t>(static_cast<std::int32_t>(value)) << 2) | 2u;
        return true;
    }
    const double hundred = value * 100;
    if (hundred >= -536870912.0 && hundred <= 536870911.0 && hundred == std::floor(hundred)) {
        const auto i = static_cast<std::int32_t>(hundred);
        if (i / 100.0 == value) {
            rk = (static_cast<std::uint32_t>(i) << 2) | 3u;
            return true;
        }
    }
    std::uint64_t bits;
    std::memcpy(&bits, &value, 8);
    if ((bits & 0x3FFFFFFFFull) == 0) {
        rk = static_cast<std::uint32_t>(bits >> 32);
        return true;
    }
    return false;
}

int extSstBucketSize(std::size_t uniqueStrings) {
    return uniqueStrings < 1024 ? 8 : static_cast<int>(1 + uniqueStrings / 128);
}

namespace {

// The globals and an empty substream per sheet: everything but the cells.
std::vector<std::uint8_t> emptyWorkbook(const Book& book) {
    Bytes out(4096 + 512 * static_cast<std::size_t>(book.sheetCount()));
    const int active = std::clamp(book.activeSheet(), 0, book.sheetCount() - 1);

    // Globals, in the order Excel writes them ([MS-XLS] 2.1.7.20.3).
    writeGlobalsHead(out, book);
    writeWindow1(out, active);
    writeFormats(out);
    const std::vector<std::size_t> sheetOffsetAt = writeBoundSheets(out, book);
    {
        const std::size_t at = out.begin(rtCountry);
        out.u16(1);
        out.u16(86);
        out.end(at);
    }
    { // an empty shared-string table and its index, which the editor fills
        const std::size_t at = out.begin(rtSst);
        out.u32(0);
        out.u32(0);
        out.end(at);
        const std::size_t ext = out.begin(rtExtSst);
        out.u16(static_cast<std::uint16_t>(extSstBucketSize(0)));
        out.end(ext);
    }
    out.emptyRecord(rtEof);

    for (int i = 0; i < book.sheetCount(); ++i) {
        out.patch32(sheetOffsetAt[static_cast<std::size_t>(i)],
                    static_cast<std::uint32_t>(out.size()));
        writeEmptySheet(out, book.sheet(i), i == active);
    }
    return out.take();
}

} // namespace

std::vector<std::uint8_t> workbookStream(const Book& book) {
    return Editor::newWorkbook(book)->editedStream();
}

void writeWorkbook(const Book& book, const QString& path) {
    Editor::newWorkbook(book)->saveStreamAs(path);
}

} // namespace workbook::biff

namespace workbook {

// The editor of the book's empty workbook with every cell of the book set, as setValue()
// would set them, but with no cell checked again: the book holds only cells a worksheet can
// hold, and each of its sheets holds each text once, so the texts are handed over once and
// the cells by their numbers, already in row and column order.
std::unique_ptr<Editor> Editor::newWorkbook(const Book& book, const QString& name) {
    biff::checkBook(book);
    auto editor = std::make_unique<Editor>(name, biff::emptyWorkbook(book));
    for (int i = 0; i < book.sheetCount(); ++i) {
        const Sheet& sheet = book.sheet(i);
        const std::vector<std::uint32_t> textNumbers = editor->textNumbers(sheet.strings());
        const auto& rows = sheet.rows();
        std::size_t cells = 0;
        for (const detail::Row& row : rows)
            cells += row.size();
        CellEdits& edits = editor->d->editsOf(i);
        edits.reserve(cells);
        for (std::size_t r = 0; r < rows.size(); ++r)
            for (std::size_t c = 0; c < rows[r].size(); ++c) {
                const detail::Cell& cell = rows[r][c];
                const auto row = static_cast<int>(r);
                const auto column = static_cast<int>(c);
                switch (cell.kind) {
                case Value::Kind::Empty:
                    break;
                case Value::Kind::Text:
                    edits.emplace_back(row, column,
                                       CellValue{0, textNumbers[cell.text], false, false});
                    break;
                case Value::Kind::Number:
                case Value::Kind::Boolean:
                    edits.emplace_back(
                        row, column,
                        CellValue{cell.number, 0, true, cell.kind == Value::Kind::Boolean});
                    break;
                }
            }
    }
    return editor;
}

} // namespace workbook
