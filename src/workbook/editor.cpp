#include "workbook/editor.h"
#include "workbook/biff_reader.h"
#include "workbook/biff_records.h"
#include "workbook/biff_writer.h"
#include "workbook/big_memory.h"
#include "workbook/compound_file.h"
#include "workbook/readers.h"
#include "workbook/reasons.h"
#include "workbook/shared_strings.h"

#include <QFileInfo>
#include <QHash>
#include <QtEndian>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <map>
#include <optional>
#include <span>

namespace workbook {

namespace {

using namespace biff;

constexpr std::uint16_t rtDbCell = 0x00D7;
constexpr std::uint16_t rtIndex = 0x020B;
constexpr std::uint16_t rtRow = 0x0208;
constexpr std::size_t RowsPerBlock = 32;

// The editor cannot keep the file whole: the reason from the table, with its particulars.
[[noreturn]] void refuse(Reason reason) {
    throw Error(Error::Kind::Unkeepable, {}, reasonText(reason));
}
[[noreturn]] void refuse(Reason reason, const QString& particular) {
    throw Error(Error::Kind::Unkeepable, {}, reasonText(reason).arg(particular));
}

// Bytes the edited stream gains: new rows, strings, records rewritten.
using Bytes = std::vector<std::uint8_t, detail::BigAllocator<std::uint8_t>>;

std::uint16_t le16(const std::uint8_t* p) {
    return qFromLittleEndian<std::uint16_t>(p);
}
std::uint32_t le32(const std::uint8_t* p) {
    return qFromLittleEndian<std::uint32_t>(p);
}
void put16(Bytes& out, std::uint16_t v) {
    const std::size_t at = out.size();
    out.resize(at + 2);
    qToLittleEndian(v, out.data() + at);
}
void put32(Bytes& out, std::uint32_t v) {
    const std::size_t at = out.size();
    out.resize(at + 4);
    qToLittleEndian(v, out.data() + at);
}
void set16(std::uint8_t* p, std::uint16_t v) {
    qToLittleEndian(v, p);
}
void set32(std::uint8_t* p, std::uint32_t v) {
    qToLittleEndian(v, p);
}
void putHeader(Bytes& out, std::uint16_t type, std::size_t size) {
    put16(out, type);
    put16(out, static_cast<std::uint16_t>(size));
}

bool isCell(std::uint16_t type) {
    switch (type) {
    case rtBlank:
    case rtMulBlank:
    case rtNumber:
    case rtRk:
    case rtMulRk:
    case rtLabelSst:
    case rtLabel:
    case rtRString:
    case rtBoolErr:
    case rtFormula:
        return true;
    default:
        return false;
    }
}
// Records that belong to the cell before them: a formula's text result, shared formula,
// array or table, and the CONTINUE of any record.
bool isAttached(std::uint16_t type) {
    return type == rtString || type == rtSharedFormula || type == rtArray || type == rtTable ||
           type == rtContinue;
}
std::size_t minimumCellSize(std::uint16_t type) {
    switch (type) {
    case rtMulBlank:
    case rtMulRk:
        return 6;
    case rtNumber:
        return 14;
    case rtRk:
    case rtLabelSst:
        return 10;
    case rtLabel:
    case rtRString:
        return 9;
    case rtBoolErr:
        return 8;
    case rtFormula:
        return 20;
    default:
        return 6;
    }
}

struct Rec {
    std::uint32_t pos; // of the record's header
    std::uint16_t type;
    std::uint16_t size;
    std::uint32_t end() const { return pos + 4 + size; }
};

// One cell record with the records attached to it.
struct Group {
    int row;
    int first; // columns, 0-based
    int last;
    std::size_t rec; // index of the cell record
    std::size_t recEnd;
};

// A row block: ROW records, then cells, and a DBCELL when the writer made one.
struct Block {
    std::size_t recFirst = 0;
    std::size_t recEnd = 0;    // one past the last record, DBCELL included
    std::size_t rowRecEnd = 0; // one past the ROW records at its start
    bool dbcell = false;
    int firstRow = -1;
    int lastRow = -1;
};

struct Substream {
    std::uint32_t start = 0;
    std::uint32_t end = 0;
    // Top-level records; records of embedded charts left out.
    std::vector<Rec, detail::BigAllocator<Rec>> recs;
    std::uint16_t bofType = 0;
    // Worksheets only:
    std::optional<std::size_t> index;      // INDEX
    std::optional<std::size_t> dimensions; // DIMENSIONS
    std::uint16_t defaultRowHeight = 0x00FF;
    struct ColInfo {
        int first, last;
        std::uint16_t xf;
    };
    std::vector<ColInfo> columns;
    std::vector<Block> blocks;
    bool blocked = false; // row blocks end in DBCELL records
    bool rowRecords = false;
    int lastRow = -1; // 0-based
    int firstRow = -1;
};

struct SheetEntry {
    Editor::SheetInfo info;
    std::size_t boundSheet = 0; // index in the globals' records; SIZE_MAX for a new sheet
    std::uint32_t position = 0; // the BOF's stream position, as BOUNDSHEET gives it
    int substream = -1;         // index into substreams, -1 for none (a module) or new
};

// A text or a number to write, as setCell() stores it; nothing for an empty cell.
struct CellValue {
    bool number = false;
    double value = 0;
    QString text;
    bool boolean = false; // with number: a boolean, value 1 or 0
};

struct CellEdit {
    int row; // 0-based
    int column;
    std::optional<CellValue> value;
};
using CellEdits = std::vector<CellEdit, detail::BigAllocator<CellEdit>>;

struct Edit {
    std::uint32_t from;
    std::uint32_t to;
    Bytes bytes;
};

struct Layout {
    std::vector<Edit> edits;
    std::vector<std::size_t> order; // of the edits, in stream order
    std::size_t size = 0;           // of the edited stream
};

// Where a DBCELL of the edited stream lies: at the new place of an old one, or inside an edit.
struct DbCellRef {
    std::uint32_t oldPos = 0;
    int edit = -1;
    std::size_t offset = 0;
};

bool fitsLatin1(QStringView s) {
    return std::all_of(s.begin(), s.end(), [](QChar c) { return c.unicode() < 0x100; });
}

} // namespace

struct Editor::Impl {
    QString path;
    // The file as read (none for an editor of a stream alone) and the workbook stream: a
    // view into the image's buffer of it, or into `ownStream`.
    std::optional<detail::CompoundImage> image;
    std::vector<std::uint8_t> ownStream;
    std::span<const std::uint8_t> stream;

    // Globals.
    std::vector<Rec> globals;
    std::uint32_t globalsEnd = 0;
    std::optional<std::size_t> tabId;
    std::size_t lastBoundSheet = 0;
    std::size_t xfCount = 0;
    // Shared strings.
    std::optional<std::size_t> sst;    // index in globals
    std::size_t sstRecEnd = 0;         // one past its last CONTINUE
    std::optional<std::size_t> extSst; // index in globals
    std::uint32_t sstTotal = 0;
    SharedStrings strings;

    std::vector<Substream> substreams;
    std::vector<SheetEntry> sheets;

    // Edits.
    // By sheet, in the order they were made; put in order (once) by sortedEdits().
    mutable std::map<int, CellEdits> cellEdits;
    // A sheet's edits in row and column order, the last of a cell's edits only.
    const CellEdits& sortedEdits(int sheet) const;
    std::vector<QString> newSheets; // names; their indices follow the file's sheets

    void read();
    void parse();
    void readGlobals();
    void globalRecord(std::size_t index, const Rec& r);
    void boundSheet(std::size_t index, const Rec& r);
    std::uint32_t readSstRecords(std::size_t index, std::uint32_t pos);
    void readSst(std::size_t first);
    // The records of the sheet at `position`; `bytes` is how far it may reach at most.
    Substream readSubstream(std::uint32_t position, std::size_t bytes);
    void readCellTable(Substream& s);
    // The cell groups of records [from, to), up to the last one of row `lastRow`.
    std::vector<Group> groups(const Substream& s, std::size_t from, std::size_t to,
                              int lastRow = MaxRows) const;
    Value decode(const Substream& s, const Group& g, int column) const;
    Value formulaValue(const Substream& s, const Group& g, const std::uint8_t* data) const;
    mutable std::optional<biff::NumberFormats> numberFormats; // read when a cell is asked for
    Value number(double value, std::uint16_t xf) const;
    Value existingCell(const Substream& s, int row, int column) const;

    // The edited stream as the old one with edits in place; its pieces in stream order.
    class LayoutPass;
    Layout build() const;
    std::vector<std::span<const std::uint8_t>> pieces(const Layout& layout) const;
};

// ---------------------------------------------------------------------------------------
// Reading

void Editor::Impl::read() {
    image.emplace(detail::CompoundImage::read(path));
    detail::throwUnlessWorkbook(image->state(), path);
    if (image->state() == detail::CompoundFile::State::OldWorkbook)
        refuse(Reason::OlderVersion);
    stream = image->workbook();
    parse();
}

void Editor::Impl::parse() {
    if (stream.size() >= 0xFFFFFFF0u)
        refuse(Reason::StreamTooLarge);

    readGlobals();
    std::vector<std::pair<std::uint32_t, std::uint32_t>> spans{{0, globalsEnd}};
    for (SheetEntry& sheet : sheets) {
        const Rec& b = globals[sheet.boundSheet];
        const std::uint8_t type = stream[b.pos + 4 + 5];
        if (type == 6) { // a Visual Basic module: its code lives in another stream
            sheet.info.kind = SheetKind::Module;
            continue;
        }
        std::size_t until = stream.size();
        for (const SheetEntry& other : sheets)
            if (other.position > sheet.position && other.position < until)
                until = other.position;
        Substream s =
            readSubstream(sheet.position, until - std::min<std::size_t>(until, sheet.position));
        switch (s.bofType) {
        case 0x0010:
            sheet.info.kind = type == 0 ? SheetKind::Worksheet : SheetKind::Other;
            break;
        case 0x0020:
            sheet.info.kind = SheetKind::Chart;
            break;
        case 0x0040:
            sheet.info.kind = SheetKind::MacroSheet;
            break;
        default:
            sheet.info.kind = SheetKind::Other;
            break;
        }
        if (sheet.info.kind == SheetKind::Worksheet)
            readCellTable(s);
        spans.emplace_back(s.start, s.end);
        sheet.substream = static_cast<int>(substreams.size());
        substreams.push_back(std::move(s));
    }
    std::sort(spans.begin(), spans.end());
    for (std::size_t i = 1; i < spans.size(); ++i)
        if (spans[i].first < spans[i - 1].second)
            refuse(Reason::SheetsOverlap);
}

namespace {

// The record at `pos`; refused with `missing` when the stream ends before its header, and
// when it reaches past the stream.
Rec recordAt(std::span<const std::uint8_t> stream, std::uint32_t pos, Reason missing) {
    if (pos + 4 > stream.size())
        refuse(missing);
    const Rec r{pos, le16(&stream[pos]), le16(&stream[pos + 2])};
    if (r.size > MaxRecordData || r.end() > stream.size())
        refuse(Reason::RecordPastEnd);
    return r;
}

// The BOF the stream starts with: BIFF8 globals.
void checkGlobalsBof(const Rec& r, const std::uint8_t* data) {
    if (r.type != rtBof || r.size < 4)
        refuse(Reason::NoStartRecord);
    if (le16(data) != 0x0600)
        refuse(Reason::OlderVersion);
    if (le16(data + 2) != 0x0005)
        refuse(Reason::NoGlobals);
}

} // namespace

void Editor::Impl::readGlobals() {
    std::uint32_t pos = 0;
    for (;;) {
        const Rec r = recordAt(stream, pos, Reason::GlobalsUnended);
        if (globals.empty())
            checkGlobalsBof(r, &stream[pos + 4]);
        const std::size_t index = globals.size();
        globals.push_back(r);
        pos = r.end();
        if (r.type == rtEof) {
            globalsEnd = pos;
            if (sheets.empty())
                refuse(Reason::NoSheetListed);
            return;
        }
        globalRecord(index, r);
        if (r.type == rtSst)
            pos = readSstRecords(index, pos);
    }
}

// What the editor keeps of a record of the globals.
void Editor::Impl::globalRecord(std::size_t index, const Rec& r) {
    switch (r.type) {
    case rtFilePass:
        throw Error(Error::Kind::Encrypted, path, reasonText(Reason::PasswordProtected));
    case rtBof:
        if (index != 0)
            refuse(Reason::GlobalsUnended);
        break;
    case rtXf:
        ++xfCount;
        break;
    case rtTabId:
        tabId = index;
        break;
    case rtBoundSheet:
        boundSheet(index, r);
        break;
    case rtSst:
        if (sst)
            refuse(Reason::TwoSharedStringTables);
        sst = index;
        break;
    case rtExtSst:
        extSst = index;
        break;
    default:
        break;
    }
}

void Editor::Impl::boundSheet(std::size_t index, const Rec& r) {
    const std::uint8_t* data = &stream[r.pos + 4];
    if (r.size < 8)
        refuse(Reason::SheetEntryShort);
    std::optional<QString> name = shortStringAt(data, r.size, 6);
    if (!name)
        refuse(Reason::SheetNamePastRecord);
    SheetEntry entry;
    entry.info = {std::move(*name), SheetKind::Other, (data[4] & 3) != 0};
    entry.boundSheet = index;
    entry.position = le32(data);
    sheets.push_back(entry);
    lastBoundSheet = index;
    if (sheets.size() > static_cast<std::size_t>(MaxSheets))
        refuse(Reason::TooManySheetsListed);
}

// The CONTINUE records of the SST at `index` (they follow from `pos`), read as part of the
// table; returns the position after them.
std::uint32_t Editor::Impl::readSstRecords(std::size_t index, std::uint32_t pos) {
    while (pos + 4 <= stream.size() && le16(&stream[pos]) == rtContinue) {
        const Rec c{pos, rtContinue, le16(&stream[pos + 2])};
        if (c.size > MaxRecordData || c.end() > stream.size())
            refuse(Reason::RecordPastEnd);
        globals.push_back(c);
        pos = c.end();
    }
    sstRecEnd = globals.size();
    readSst(index);
    return pos;
}

// The shared strings ([MS-XLS] 2.4.265): where each string starts, read from the SST record
// and its CONTINUE records. A table whose count does not match its strings is refused.
void Editor::Impl::readSst(std::size_t first) {
    std::vector<SharedStrings::Part> parts;
    for (std::size_t k = first; k < sstRecEnd; ++k)
        parts.push_back({globals[k].pos, globals[k].size});
    switch (strings.read(stream, std::move(parts))) {
    case SharedStrings::Problem::None:
        break;
    case SharedStrings::Problem::CountMismatch:
        refuse(Reason::SharedStringCountWrong);
    case SharedStrings::Problem::CharacterSplit:
        refuse(Reason::CharacterSplit);
    }
    sstTotal = strings.references();
}

Substream Editor::Impl::readSubstream(std::uint32_t position, std::size_t bytes) {
    Substream s;
    s.start = position;
    s.recs.reserve(bytes / 12); // cell records take 10 to 18 bytes
    if (position < globalsEnd || position + 8 > stream.size() || le16(&stream[position]) != rtBof)
        refuse(Reason::SheetNoStartRecord);
    std::uint32_t pos = position;
    int depth = 0;
    for (;;) {
        if (pos + 4 > stream.size())
            refuse(Reason::SheetUnended);
        const Rec r{pos, le16(&stream[pos]), le16(&stream[pos + 2])};
        if (r.size > MaxRecordData || r.end() > stream.size())
            refuse(Reason::RecordPastEnd);
        pos = r.end();
        if (r.type == rtBof) {
            if (r.size < 4)
                refuse(Reason::StartRecordShort);
            if (++depth == 1) {
                if (le16(&stream[r.pos + 4]) != 0x0600)
                    refuse(Reason::SheetOlderVersion);
                s.bofType = le16(&stream[r.pos + 6]);
                s.recs.push_back(r);
            }
            if (depth > 8)
                refuse(Reason::TooManyEmbeddedCharts);
            continue;
        }
        if (depth == 1) {
            if (r.type == rtIndex)
                s.index = s.recs.size();
            s.recs.push_back(r);
        }
        if (r.type == rtEof && --depth == 0)
            break;
    }
    s.end = pos;
    return s;
}

namespace {

// One pass over a worksheet's records that finds its cell table: the row blocks (ROW
// records, cells with the records attached to them, a DBCELL), the rows in use, INDEX,
// DIMENSIONS, the default row height and the column formats. A table out of order, or one
// whose records lie about their lengths or positions, is refused.
class CellTableReader {
public:
    CellTableReader(Substream& s, std::span<const std::uint8_t> stream, std::size_t strings)
        : m_s(s), m_stream(stream), m_strings(strings) {}

    void read() {
        for (std::size_t i = 1; i < m_s.recs.size(); ++i) {
            const Rec& r = m_s.recs[i];
            const std::uint8_t* data = &m_stream[r.pos + 4];
            if (isCell(r.type) || r.type == rtRow || r.type == rtDbCell) {
                if (m_ended)
                    refuse(Reason::CellOutsideCellTable);
                m_inTable = true;
            } else if (m_inTable && m_attachable && isAttached(r.type)) {
                m_block->recEnd = i + 1;
                continue;
            } else {
                m_ended = m_ended || m_inTable;
                m_inTable = false;
                m_attachable = false;
                otherRecord(i, r, data);
                continue;
            }
            if (r.type == rtRow)
                rowRecord(i, r, data);
            else if (r.type == rtDbCell)
                dbCell(i, r);
            else
                cellRecord(i, r, data);
        }
        checkBlocks();
    }

private:
    // A record outside the cell table.
    void otherRecord(std::size_t i, const Rec& r, const std::uint8_t* data) {
        switch (r.type) {
        case rtIndex:
            m_s.index = i;
            break;
        case rtDimensions:
            if (r.size < 14)
                refuse(Reason::DimensionsShort);
            m_s.dimensions = i;
            break;
        case rtDefaultRowHeight:
            if (r.size >= 4)
                m_s.defaultRowHeight = le16(data + 2);
            break;
        case rtColInfo:
            if (r.size >= 10)
                m_s.columns.push_back({le16(data), le16(data + 2), le16(data + 6)});
            break;
        default:
            break;
        }
    }
    void rowRecord(std::size_t i, const Rec& r, const std::uint8_t* data) {
        if (r.size < 16)
            refuse(Reason::RowRecordShort);
        const int row = le16(data);
        if (row <= m_lastRowRecord)
            refuse(Reason::RowsOutOfOrder);
        m_lastRowRecord = row;
        if (m_block == nullptr || m_blockInCells)
            startBlock(i);
        m_block->rowRecEnd = i + 1;
        m_block->recEnd = i + 1;
        m_s.rowRecords = true;
        seeRow(row);
        m_attachable = false;
    }
    void dbCell(std::size_t i, const Rec& r) {
        if (m_block == nullptr)
            startBlock(i);
        m_block->dbcell = true;
        m_block->recEnd = i + 1;
        m_s.blocked = true;
        m_dbcells.push_back(r.pos);
        m_block = nullptr;
        m_attachable = false;
    }
    void cellRecord(std::size_t i, const Rec& r, const std::uint8_t* data) {
        if (r.size < minimumCellSize(r.type))
            refuse(Reason::CellRecordShort);
        const int row = le16(data);
        const int first = le16(data + 2);
        const int last = lastColumn(r, data, first);
        if (last >= MaxColumns)
            refuse(Reason::CellBeyondLastColumn);
        if (r.type == rtLabelSst && le32(data + 6) >= m_strings)
            refuse(Reason::SharedTextMissing);
        if (row < m_lastCellRow || (row == m_lastCellRow && first <= m_lastCellColumn))
            refuse(Reason::CellsOutOfOrder);
        m_lastCellRow = row;
        m_lastCellColumn = last;
        if (m_block == nullptr)
            startBlock(i);
        m_blockInCells = true;
        m_block->recEnd = i + 1;
        seeRow(row);
        m_attachable = true;
    }
    // The last column of a cell record: its first, or the last of a MULRK or MULBLANK.
    static int lastColumn(const Rec& r, const std::uint8_t* data, int first) {
        if (r.type != rtMulRk && r.type != rtMulBlank)
            return first;
        const std::size_t each = r.type == rtMulRk ? 6 : 2;
        if ((r.size - 6) % each != 0 || r.size < 6 + each)
            refuse(Reason::MultiCellLength);
        const int last = le16(data + r.size - 2);
        if (last != first + static_cast<int>((r.size - 6) / each) - 1)
            refuse(Reason::MultiCellLength);
        return last;
    }
    void startBlock(std::size_t i) {
        m_s.blocks.push_back(Block{});
        m_block = &m_s.blocks.back();
        m_block->recFirst = i;
        m_block->rowRecEnd = i;
        m_blockInCells = false;
    }
    void seeRow(int row) {
        if (m_block->firstRow < 0 || row < m_block->firstRow)
            m_block->firstRow = row;
        m_block->lastRow = std::max(m_block->lastRow, row);
        if (m_s.firstRow < 0 || row < m_s.firstRow)
            m_s.firstRow = row;
        m_s.lastRow = std::max(m_s.lastRow, row);
    }
    // Blocks follow each other in row order, INDEX points at every DBCELL, and all blocks
    // end in DBCELL or none does.
    void checkBlocks() const {
        for (std::size_t i = 1; i < m_s.blocks.size(); ++i)
            if (m_s.blocks[i].firstRow >= 0 && m_s.blocks[i - 1].lastRow >= m_s.blocks[i].firstRow)
                refuse(Reason::RowBlocksOutOfOrder);
        // DBCELL without INDEX: the blocks are rewritten as found, an INDEX is not added.
        if (m_s.index)
            checkIndex(m_s.recs[*m_s.index]);
        for (const Block& b : m_s.blocks)
            if (m_s.blocked && !b.dbcell)
                refuse(Reason::RowBlockUnended);
    }
    void checkIndex(const Rec& r) const {
        if (r.size < 16 || (r.size - 16) % 4 != 0)
            refuse(Reason::IndexLength);
        const std::size_t count = (r.size - 16) / 4;
        if (count != m_dbcells.size())
            refuse(Reason::IndexPointsAstray);
        for (std::size_t k = 0; k < count; ++k)
            if (le32(&m_stream[r.pos + 4 + 16 + 4 * k]) != m_dbcells[k])
                refuse(Reason::IndexPointsAstray);
    }

    Substream& m_s;
    std::span<const std::uint8_t> m_stream;
    const std::size_t m_strings; // how many shared strings there are
    bool m_inTable = false;
    bool m_ended = false;
    bool m_attachable = false; // a STRING, CONTINUE ... may follow and belong to the cell
    Block* m_block = nullptr;
    bool m_blockInCells = false;
    int m_lastRowRecord = -1;
    int m_lastCellRow = -1;
    int m_lastCellColumn = -1;
    std::vector<std::uint32_t> m_dbcells;
};

} // namespace

void Editor::Impl::readCellTable(Substream& s) {
    CellTableReader(s, stream, strings.size()).read();
}

std::vector<Group> Editor::Impl::groups(const Substream& s, std::size_t from, std::size_t to,
                                        int lastRow) const {
    std::vector<Group> out;
    for (std::size_t i = from; i < to; ++i) {
        const Rec& r = s.recs[i];
        if (!isCell(r.type)) {
            if (isAttached(r.type) && !out.empty() && out.back().recEnd == i)
                out.back().recEnd = i + 1;
            continue;
        }
        const std::uint8_t* data = &stream[r.pos + 4];
        const int first = le16(data + 2);
        const int last =
            (r.type == rtMulRk || r.type == rtMulBlank) ? le16(data + r.size - 2) : first;
        const int row = le16(data);
        out.push_back({row, first, last, i, i + 1});
        if (row > lastRow) // the first group past the row ends the list
            break;
    }
    return out;
}

// A number of a cell of format `xf` as the reader gives it: a date-formatted one as its date.
Value Editor::Impl::number(double value, std::uint16_t xf) const {
    if (!numberFormats)
        numberFormats = biff::numberFormats(stream.first(globalsEnd));
    return numberFormats->value(value, xf);
}

namespace {
Value textValue(std::optional<QString> text) {
    return text ? Value::text(std::move(*text)) : Value();
}
} // namespace

Value Editor::Impl::decode(const Substream& s, const Group& g, int column) const {
    const Rec& r = s.recs[g.rec];
    const std::uint8_t* data = &stream[r.pos + 4];
    switch (r.type) {
    case rtLabelSst:
        return Value::text(strings.text(le32(data + 6)));
    case rtLabel:
    case rtRString:
        return textValue(stringAt(data, r.size, 6));
    case rtNumber:
        return number(f64(data + 6), le16(data + 4));
    case rtRk:
        return number(rkValue(le32(data + 6)), le16(data + 4));
    case rtMulRk: // each cell's format, then its value
        data += 4 + 6 * static_cast<std::size_t>(column - g.first);
        return number(rkValue(le32(data + 2)), le16(data));
    case rtBoolErr:
        return data[7] == 0 ? Value::boolean(data[6] != 0) : Value();
    case rtFormula:
        return formulaValue(s, g, data);
    default:
        return {};
    }
}

// A formula's cached result: a number, a boolean, an empty text, or the text of the STRING
// record that follows it (when that fits in one record).
Value Editor::Impl::formulaValue(const Substream& s, const Group& g,
                                 const std::uint8_t* data) const {
    if (le16(data + 12) != 0xFFFF)
        return number(f64(data + 6), le16(data + 4));
    if (data[6] == 1)
        return Value::boolean(data[8] != 0);
    if (data[6] == 3)
        return Value::text(QString());
    if (data[6] == 0)
        for (std::size_t k = g.rec + 1; k < g.recEnd; ++k)
            if (s.recs[k].type == rtString)
                return textValue(stringAt(&stream[s.recs[k].pos + 4], s.recs[k].size, 0));
    return {};
}

Value Editor::Impl::existingCell(const Substream& s, int row, int column) const {
    for (const Block& b : s.blocks) {
        if (b.firstRow < 0 || row < b.firstRow || row > b.lastRow)
            continue;
        // Cells come in row order: stop at the first one past the row.
        for (std::size_t i = b.rowRecEnd; i < b.recEnd; ++i) {
            const Rec& r = s.recs[i];
            if (!isCell(r.type))
                continue;
            const int cellRow = le16(&stream[r.pos + 4]);
            if (cellRow > row)
                break;
            if (cellRow < row)
                continue;
            const std::vector<Group> found = groups(s, i, b.recEnd, row);
            for (const Group& g : found) {
                if (g.row != row)
                    break;
                if (column >= g.first && column <= g.last)
                    return decode(s, g, column);
            }
            break;
        }
    }
    return {};
}

// ---------------------------------------------------------------------------------------
// Writing

namespace {

// One row as it is emitted: its ROW record (old bytes or made) and its cells in column order.
struct RowOut {
    int row = 0;
    Bytes rowRecord;                          // 20 bytes with header, or empty
    std::vector<std::pair<int, Bytes>> cells; // first column, record bytes
};

// The edits of one row by column (nothing: the cell emptied), and of a block's rows by row.
using RowChanges = std::map<int, std::optional<CellValue>>;
using BlockChanges = std::map<int, RowChanges>;

// What the layout needs of an old worksheet once its edits are made: where its DBCELLs lie
// and the rows in use.
struct SheetPlan {
    std::vector<DbCellRef> dbcells;
    int firstRow = -1;
    int lastRow = -1;
    bool edited = false;
};

// Where a new shared string starts: at `pos` in the edit that appends the strings,
// `offsetInRecord` bytes into its record (header included).
struct StringAt {
    std::uint32_t pos;
    std::uint16_t offsetInRecord;
};

// colMic and colMac of a row record: the first column of its cells and one past the last.
void setColumnSpan(RowOut& row) {
    if (row.cells.empty())
        return;
    int first = MaxColumns;
    int last = 0;
    for (const auto& [column, bytes] : row.cells) {
        const std::uint16_t type = le16(bytes.data());
        int end = column;
        if (type == rtMulRk || type == rtMulBlank)
            end = le16(&bytes[4 + le16(&bytes[2]) - 2]);
        first = std::min(first, column);
        last = std::max(last, end + 1);
    }
    set16(&row.rowRecord[6], static_cast<std::uint16_t>(first));
    set16(&row.rowRecord[8], static_cast<std::uint16_t>(last));
}

// Writes the cells of rows [first, end) of a block with `writeRow(k)` and returns what the
// block's DBCELL gives for each row: how far its first cell lies from the first cell of the
// row before (for the first row, from the second ROW record of the block).
template <typename WriteRow>
std::vector<std::uint16_t> putRowCells(Bytes& out, std::size_t rowBytes, std::size_t first,
                                       std::size_t end, WriteRow writeRow) {
    std::vector<std::uint16_t> offsets;
    std::size_t previous = rowBytes >= 20 ? rowBytes - 20 : 0;
    for (std::size_t k = first; k < end; ++k) {
        const std::size_t rowStart = out.size();
        writeRow(k);
        offsets.push_back(static_cast<std::uint16_t>(std::min<std::size_t>(previous, 0xFFFF)));
        previous = out.size() - rowStart;
    }
    return offsets;
}

// The DBCELL that ends a block begun at `blockStart` in `out`; its place noted in
// `dbcellOffsets` when given.
void putDbCell(Bytes& out, std::size_t blockStart, const std::vector<std::uint16_t>& offsets,
               std::vector<std::size_t>* dbcellOffsets) {
    if (dbcellOffsets)
        dbcellOffsets->push_back(out.size());
    const std::size_t back = out.size() - blockStart;
    putHeader(out, rtDbCell, 4 + 2 * offsets.size());
    put32(out, static_cast<std::uint32_t>(back));
    for (const std::uint16_t o : offsets)
        put16(out, o);
}

// A ROW record for a row that has none: default height, no format.
Bytes newRowRecord(const Substream& s, int row) {
    Bytes r;
    putHeader(r, rtRow, 16);
    put16(r, static_cast<std::uint16_t>(row));
    put16(r, 0);
    put16(r, 0);
    put16(r, static_cast<std::uint16_t>(s.defaultRowHeight & 0x7FFF));
    put16(r, 0);
    put16(r, 0);
    put16(r, 0x0100);
    put16(r, 0x000F);
    return r;
}

// The rows of edits [from, end) of `flat` (in row order) that give a cell a value, each as
// the range of its edits.
std::vector<std::pair<std::size_t, std::size_t>> rowsWithValues(const CellEdits& flat,
                                                                std::size_t from) {
    std::vector<std::pair<std::size_t, std::size_t>> rows;
    for (std::size_t k = from; k < flat.size();) {
        std::size_t e = k;
        bool any = false;
        while (e < flat.size() && flat[e].row == flat[k].row)
            any = flat[e++].value.has_value() || any;
        if (any)
            rows.emplace_back(k, e);
        k = e;
    }
    return rows;
}

// The ROW record of a new row made of edits [first, end) of `flat`.
void putNewRowRecord(Bytes& out, const CellEdits& flat, std::pair<std::size_t, std::size_t> edits,
                     std::uint16_t height) {
    int first = MaxColumns;
    int last = 0;
    for (std::size_t i = edits.first; i < edits.second; ++i)
        if (flat[i].value) {
            first = std::min(first, flat[i].column);
            last = std::max(last, flat[i].column + 1);
        }
    putHeader(out, rtRow, 16);
    put16(out, static_cast<std::uint16_t>(flat[edits.first].row));
    put16(out, static_cast<std::uint16_t>(first));
    put16(out, static_cast<std::uint16_t>(last));
    put16(out, height);
    put32(out, 0);
    put16(out, 0x0100);
    put16(out, 0x000F);
}

// DIMENSIONS of a new sheet from its edits: the first row and column in use, one past the
// last; all zero for an empty sheet.
void putNewDimensions(Bytes& out, const CellEdits& flat) {
    int firstRow = -1;
    int lastRow = -1;
    int firstColumn = MaxColumns;
    int lastColumn = -1;
    for (const CellEdit& e : flat)
        if (e.value) {
            if (firstRow < 0)
                firstRow = e.row;
            lastRow = e.row;
            firstColumn = std::min(firstColumn, e.column);
            lastColumn = std::max(lastColumn, e.column);
        }
    const bool empty = firstRow < 0;
    putHeader(out, rtDimensions, 14);
    put32(out, empty ? 0 : static_cast<std::uint32_t>(firstRow));
    put32(out, empty ? 0 : static_cast<std::uint32_t>(lastRow + 1));
    put16(out, empty ? 0 : static_cast<std::uint16_t>(firstColumn));
    put16(out, empty ? 0 : static_cast<std::uint16_t>(lastColumn + 1));
    put16(out, 0);
}

// DIMENSIONS widened by the edits that give a cell a value; `data` is the old record's.
void widenDimensions(std::uint8_t* data, const CellEdits& flat) {
    std::uint32_t rwMic = le32(data);
    std::uint32_t rwMac = le32(data + 4);
    std::uint16_t colMic = le16(data + 8);
    std::uint16_t colMac = le16(data + 10);
    const bool empty = rwMac <= rwMic || colMac <= colMic;
    for (const CellEdit& e : flat) {
        if (!e.value)
            continue;
        const auto row = static_cast<std::uint32_t>(e.row);
        const auto column = static_cast<std::uint16_t>(e.column);
        if (empty && rwMac <= rwMic) {
            rwMic = row;
            rwMac = rwMic + 1;
            colMic = column;
            colMac = static_cast<std::uint16_t>(column + 1);
            continue;
        }
        rwMic = std::min(rwMic, row);
        rwMac = std::max(rwMac, row + 1);
        colMic = std::min(colMic, column);
        colMac = std::max(colMac, static_cast<std::uint16_t>(column + 1));
    }
    set32(data, rwMic);
    set32(data + 4, rwMac);
    set16(data + 8, colMic);
    set16(data + 10, colMac);
}

// The records of a new, empty worksheet up to its cells, and after them.
void putNewSheetStart(Bytes& out) {
    putHeader(out, rtBof, 16);
    put16(out, 0x0600);
    put16(out, 0x0010); // a worksheet
    put16(out, 0x0DBB);
    put16(out, 0x07CC);
    put32(out, 0);
    put32(out, 6);
    putHeader(out, rtDefColWidth, 2);
    put16(out, 8);
}
void putNewSheetEnd(Bytes& out) {
    putHeader(out, rtWindow2, 18);
    put16(out, 0x00B6); // gridlines, headers, zeros, outline symbols; not selected
    put16(out, 0);
    put16(out, 0);
    put16(out, 0x40);
    put16(out, 0);
    put16(out, 0);
    put16(out, 0);
    put32(out, 0);
    putHeader(out, rtEof, 0);
}

// A BOUNDSHEET of a new visible worksheet, its stream position still zero; returns where
// that position lies in `out`.
std::size_t putNewBoundSheet(Bytes& out, const QString& name) {
    const bool wide = !fitsLatin1(name);
    putHeader(out, rtBoundSheet, 8 + static_cast<std::size_t>(name.size()) * (wide ? 2 : 1));
    const std::size_t at = out.size();
    put32(out, 0);
    out.push_back(0); // visible
    out.push_back(0); // worksheet
    out.push_back(static_cast<std::uint8_t>(name.size()));
    out.push_back(wide ? 1 : 0);
    for (const QChar c : name) {
        if (wide)
            put16(out, c.unicode());
        else
            out.push_back(static_cast<std::uint8_t>(c.unicode()));
    }
    return at;
}

// New strings at the end of the shared-string table: in its last record while that has
// room, then in new CONTINUE records. A string's header stays in one record, a character is
// never split, and characters that go on in a CONTINUE follow a fresh flags byte there.
class StringAppender {
public:
    // `used`: the data bytes of the record being filled; `header`: where that record's
    // header lies in `out`, none when it is the table's old last record.
    StringAppender(Bytes& out, std::optional<std::size_t> header, std::size_t used)
        : m_out(out), m_header(header), m_used(used) {}

    // Appends `text`; returns where it starts in `out` and in its record.
    std::pair<std::uint32_t, std::uint16_t> put(const QString& text) {
        const bool wide = !fitsLatin1(text);
        const std::size_t charSize = wide ? 2 : 1;
        if (MaxRecordData - m_used < 3 + charSize)
            newContinue();
        const std::pair<std::uint32_t, std::uint16_t> at{static_cast<std::uint32_t>(m_out.size()),
                                                         static_cast<std::uint16_t>(4 + m_used)};
        put16(m_out, static_cast<std::uint16_t>(text.size()));
        m_out.push_back(wide ? 1 : 0);
        m_used += 3;
        for (qsizetype done = 0; done < text.size();) {
            const std::size_t fit = (MaxRecordData - m_used) / charSize;
            if (fit == 0) {
                newContinue();
                m_out.push_back(wide ? 1 : 0);
                m_used += 1;
                continue;
            }
            const qsizetype n =
                std::min<qsizetype>(static_cast<qsizetype>(fit), text.size() - done);
            for (qsizetype k = 0; k < n; ++k) {
                const char16_t c = text[done + k].unicode();
                if (wide)
                    put16(m_out, c);
                else
                    m_out.push_back(static_cast<std::uint8_t>(c));
            }
            m_used += static_cast<std::size_t>(n) * charSize;
            done += n;
        }
        return at;
    }
    // Ends the record being filled. Returns the bytes added to the old last record.
    std::size_t close() {
        if (m_header)
            set16(&m_out[*m_header + 2], static_cast<std::uint16_t>(m_used));
        else
            m_extension = m_out.size();
        return m_extension;
    }

private:
    void newContinue() {
        close();
        m_header = m_out.size();
        putHeader(m_out, rtContinue, 0);
        m_used = 0;
    }

    Bytes& m_out;
    std::optional<std::size_t> m_header;
    std::size_t m_used;
    std::size_t m_extension = 0;
};

} // namespace

// The edited stream's layout: the edits of every sheet, the new sheets and the shared
// strings, put in stream order; then the stream positions that the edits moved (BOUNDSHEET,
// INDEX, EXTSST) are filled in.
class Editor::Impl::LayoutPass {
public:
    explicit LayoutPass(const Impl& impl)
        : d(impl), m_defaultXf(impl.xfCount > 15 ? 15 : 0), m_plans(impl.substreams.size()) {}

    Layout run() {
        for (std::size_t si = 0; si < d.sheets.size(); ++si)
            planSheet(si);
        addNewSheets();
        appendStrings();
        sizeIndexes();
        reserveBoundSheetPositions();
        Layout layout = order();
        fillPositions();
        layout.edits = std::move(m_edits);
        return layout;
    }

private:
    // Cells
    std::uint32_t stringFor(const QString& text);
    void cellRecord(Bytes& out, int row, int column, std::uint16_t xf, const CellValue& v);
    std::uint16_t newCellXf(const Substream& s, const Bytes& rowRecord, int column) const;
    std::array<std::uint16_t, MaxColumns> columnFormats(const Substream* s) const;
    Bytes recordBytes(const Substream& s, std::size_t from, std::size_t to) const;
    // Rows
    void emitRows(Bytes& out, std::vector<RowOut>& rows, bool rowRecords, bool dbcell,
                  std::vector<std::size_t>* dbcellOffsets);
    void emitNewRows(Bytes& out, const CellEdits& flat, std::size_t from, const Substream* s,
                     bool rowRecords, bool dbcell, std::vector<std::size_t>* dbcellOffsets);
    void editRow(const Substream& s, RowOut& row, const std::vector<Group>& old,
                 const RowChanges& changes);
    void keepOrSplit(const Substream& s, const Group& g, const RowChanges& changes,
                     std::map<int, Bytes>& cells);
    // Old worksheets
    void planSheet(std::size_t sheet);
    std::map<std::size_t, BlockChanges> editsByBlock(const Substream& s, const CellEdits& flat,
                                                     std::size_t& firstNew) const;
    void rewriteBlock(const Substream& s, const Block& block, const BlockChanges& changes,
                      SheetPlan& plan);
    void rewriteRow(const Substream& s, const Block& block, const std::vector<Group>& old, int row,
                    const RowChanges& changes);
    void appendRows(const SheetEntry& sheet, const Substream& s, const CellEdits& flat,
                    std::size_t firstNew, SheetPlan& plan);
    // New worksheets and the globals
    void addNewSheets();
    void extendTabIds();
    void appendStrings();
    void addExtSst(std::uint32_t at, std::size_t uniqueCount);
    void sizeIndexes();
    void reserveBoundSheetPositions();
    // Positions
    Layout order();
    std::uint32_t mapOld(std::uint32_t p) const;
    std::uint32_t outAt(std::size_t edit) const {
        return static_cast<std::uint32_t>(m_editOut[edit]);
    }
    void fillPositions();
    void fillIndex(std::size_t k, std::uint8_t* p);
    void fillExtSst();

    int pushEdit(Edit edit) {
        m_edits.push_back(std::move(edit));
        return static_cast<int>(m_edits.size() - 1);
    }

    const Impl& d;
    const std::uint16_t m_defaultXf;
    std::vector<Edit> m_edits;
    std::vector<SheetPlan> m_plans; // by substream
    // Strings that are not yet in the shared-string table.
    std::vector<QString> m_added;
    QHash<QString, std::uint32_t> m_addedIndex;
    std::uint32_t m_newLabels = 0;
    std::vector<StringAt> m_addedAt;
    int m_appendEdit = -1;
    int m_extSstEdit = -1;
    std::size_t m_uniqueCount = 0;
    // New sheets.
    std::vector<int> m_newSheetEdits;
    std::vector<std::size_t> m_newBoundSheetAt; // where lbPlyPos lies in the BOUNDSHEET edit
    int m_boundSheetEdit = -1;
    // Edits whose positions are filled in once the layout is known.
    std::vector<std::pair<std::size_t, int>> m_indexEdits; // substream, edit
    std::vector<std::size_t> m_boundSheetEdits;
    // The layout: where each edit lands, and the shift of old positions.
    std::vector<std::size_t> m_editOut;
    std::vector<std::uint32_t> m_sortedTo;
    std::vector<std::int64_t> m_deltaAfter; // shift of positions at or after `to`
};

Layout Editor::Impl::build() const {
    return LayoutPass(*this).run();
}

// New strings go to the end of the shared-string table.
std::uint32_t Editor::Impl::LayoutPass::stringFor(const QString& text) {
    ++m_newLabels;
    if (const auto found = d.strings.find(text))
        return *found;
    if (const auto it = m_addedIndex.constFind(text); it != m_addedIndex.constEnd())
        return *it;
    const auto index = static_cast<std::uint32_t>(d.strings.size() + m_added.size());
    m_added.push_back(text);
    m_addedIndex.insert(text, index);
    return index;
}

void Editor::Impl::LayoutPass::cellRecord(Bytes& out, int row, int column, std::uint16_t xf,
                                          const CellValue& v) {
    if (d.xfCount == 0)
        refuse(Reason::NoCellFormats);
    std::uint32_t rk = 0;
    const std::size_t at = out.size();
    if (!v.number) {
        out.resize(at + 14);
        set16(&out[at], rtLabelSst);
        set16(&out[at + 2], 10);
        set32(&out[at + 10], stringFor(v.text));
    } else if (v.boolean) {
        out.resize(at + 12);
        set16(&out[at], rtBoolErr);
        set16(&out[at + 2], 8);
        out[at + 10] = v.value != 0 ? 1 : 0;
        out[at + 11] = 0; // a boolean, not an error code
    } else if (rkNumber(v.value, rk)) {
        out.resize(at + 14);
        set16(&out[at], rtRk);
        set16(&out[at + 2], 10);
        set32(&out[at + 10], rk);
    } else {
        out.resize(at + 18);
        set16(&out[at], rtNumber);
        set16(&out[at + 2], 14);
        std::uint64_t bits;
        std::memcpy(&bits, &v.value, 8);
        qToLittleEndian(bits, &out[at + 10]);
    }
    set16(&out[at + 4], static_cast<std::uint16_t>(row));
    set16(&out[at + 6], static_cast<std::uint16_t>(column));
    set16(&out[at + 8], xf);
}

// The format a new cell takes: its row's where the row has one, else its column's.
std::uint16_t Editor::Impl::LayoutPass::newCellXf(const Substream& s, const Bytes& rowRecord,
                                                  int column) const {
    std::uint16_t xf = m_defaultXf;
    if (rowRecord.size() == 20 && (rowRecord[4 + 12] & 0x80) != 0) {
        xf = le16(&rowRecord[4 + 14]) & 0x0FFF;
    } else {
        for (const Substream::ColInfo& c : s.columns)
            if (column >= c.first && column <= c.last) {
                xf = c.xf;
                break;
            }
    }
    return xf < d.xfCount ? xf : m_defaultXf;
}

// The format of a new cell in each column: its column's, the default without one (and in
// a new sheet, `s` null).
std::array<std::uint16_t, MaxColumns>
Editor::Impl::LayoutPass::columnFormats(const Substream* s) const {
    std::array<std::uint16_t, MaxColumns> columnXf;
    columnXf.fill(m_defaultXf);
    if (s)
        for (const Substream::ColInfo& c : s->columns)
            for (int k = std::max(c.first, 0); k <= std::min(c.last, MaxColumns - 1); ++k)
                if (columnXf[static_cast<std::size_t>(k)] == m_defaultXf)
                    columnXf[static_cast<std::size_t>(k)] = c.xf < d.xfCount ? c.xf : m_defaultXf;
    return columnXf;
}

Bytes Editor::Impl::LayoutPass::recordBytes(const Substream& s, std::size_t from,
                                            std::size_t to) const {
    if (from >= to)
        return {};
    return Bytes(d.stream.begin() + s.recs[from].pos, d.stream.begin() + s.recs[to - 1].end());
}

// Emits rows as blocks of at most 32 rows: ROW records, cells, and a DBCELL when `dbcell`;
// without `rowRecords` only the cells.
void Editor::Impl::LayoutPass::emitRows(Bytes& out, std::vector<RowOut>& rows, bool rowRecords,
                                        bool dbcell, std::vector<std::size_t>* dbcellOffsets) {
    for (std::size_t b = 0; b < rows.size(); b += RowsPerBlock) {
        const std::size_t e = std::min(rows.size(), b + RowsPerBlock);
        const std::size_t blockStart = out.size();
        std::size_t rowBytes = 0;
        if (rowRecords)
            for (std::size_t k = b; k < e; ++k) {
                setColumnSpan(rows[k]);
                out.insert(out.end(), rows[k].rowRecord.begin(), rows[k].rowRecord.end());
                rowBytes += rows[k].rowRecord.size();
            }
        const std::vector<std::uint16_t> offsets =
            putRowCells(out, rowBytes, b, e, [&](std::size_t k) {
                for (const auto& cell : rows[k].cells)
                    out.insert(out.end(), cell.second.begin(), cell.second.end());
            });
        if (dbcell)
            putDbCell(out, blockStart, offsets, dbcellOffsets);
    }
}

// New rows from edits [from, end) of `flat` (in row order), written straight into `out` as
// emitRows() lays them out; a new cell takes its column's format. `s` is null for a new
// sheet.
void Editor::Impl::LayoutPass::emitNewRows(Bytes& out, const CellEdits& flat, std::size_t from,
                                           const Substream* s, bool rowRecords, bool dbcell,
                                           std::vector<std::size_t>* dbcellOffsets) {
    const std::array<std::uint16_t, MaxColumns> columnXf = columnFormats(s);
    const std::uint16_t height =
        s ? static_cast<std::uint16_t>(s->defaultRowHeight & 0x7FFF) : std::uint16_t(0x00FF);
    const std::vector<std::pair<std::size_t, std::size_t>> rows = rowsWithValues(flat, from);
    out.reserve(out.size() + (flat.size() - from) * 15 + rows.size() * 22);
    for (std::size_t b = 0; b < rows.size(); b += RowsPerBlock) {
        const std::size_t e = std::min(rows.size(), b + RowsPerBlock);
        const std::size_t blockStart = out.size();
        if (rowRecords)
            for (std::size_t k = b; k < e; ++k)
                putNewRowRecord(out, flat, rows[k], height);
        const std::vector<std::uint16_t> offsets =
            putRowCells(out, out.size() - blockStart, b, e, [&](std::size_t k) {
                for (std::size_t i = rows[k].first; i < rows[k].second; ++i)
                    if (flat[i].value)
                        cellRecord(out, flat[i].row, flat[i].column,
                                   columnXf[static_cast<std::size_t>(flat[i].column)],
                                   *flat[i].value);
            });
        if (dbcell)
            putDbCell(out, blockStart, offsets, dbcellOffsets);
    }
}

// An old row's cells with the edits applied; MULRK and MULBLANK records that an edit falls
// into are split into single cells.
void Editor::Impl::LayoutPass::editRow(const Substream& s, RowOut& row,
                                       const std::vector<Group>& old, const RowChanges& changes) {
    std::map<int, Bytes> cells;
    for (const Group& g : old)
        keepOrSplit(s, g, changes, cells);
    for (const auto& [column, value] : changes) {
        std::uint16_t xf = 0;
        const auto it = cells.find(column);
        if (it != cells.end()) {
            xf = le16(&it->second[8]);
            cells.erase(it);
        } else {
            xf = newCellXf(s, row.rowRecord, column);
        }
        if (value) {
            Bytes bytes;
            cellRecord(bytes, row.row, column, xf, *value);
            cells.emplace(column, std::move(bytes));
        }
    }
    for (auto& [column, bytes] : cells)
        row.cells.emplace_back(column, std::move(bytes));
}

// An old cell group as it was, or split into single cells when an edit falls into it.
void Editor::Impl::LayoutPass::keepOrSplit(const Substream& s, const Group& g,
                                           const RowChanges& changes, std::map<int, Bytes>& cells) {
    bool touched = false;
    for (const auto& [column, value] : changes)
        touched = touched || (column >= g.first && column <= g.last);
    const Rec& r = s.recs[g.rec];
    if (!touched || (r.type != rtMulRk && r.type != rtMulBlank)) {
        if (touched)
            for (std::size_t k = g.rec + 1; k < g.recEnd; ++k)
                if (s.recs[k].type != rtString && s.recs[k].type != rtContinue)
                    refuse(Reason::CellAnchorsSharedFormula);
        cells.emplace(g.first, recordBytes(s, g.rec, g.recEnd));
        return;
    }
    const std::uint8_t* data = &d.stream[r.pos + 4];
    const std::size_t each = r.type == rtMulRk ? 6 : 2;
    for (int c = g.first; c <= g.last; ++c) {
        const std::uint8_t* p = data + 4 + each * static_cast<std::size_t>(c - g.first);
        Bytes single;
        putHeader(single, r.type == rtMulRk ? rtRk : rtBlank, r.type == rtMulRk ? 10 : 6);
        put16(single, static_cast<std::uint16_t>(g.row));
        put16(single, static_cast<std::uint16_t>(c));
        put16(single, le16(p));
        if (r.type == rtMulRk)
            put32(single, le32(p + 2));
        cells.emplace(c, std::move(single));
    }
}

// An old worksheet's edits: blocks whose rows change rewritten, new rows after the last
// block, DIMENSIONS widened.
void Editor::Impl::LayoutPass::planSheet(std::size_t si) {
    const SheetEntry& sheet = d.sheets[si];
    if (sheet.substream < 0)
        return;
    const Substream& s = d.substreams[static_cast<std::size_t>(sheet.substream)];
    SheetPlan& plan = m_plans[static_cast<std::size_t>(sheet.substream)];
    plan.firstRow = s.firstRow;
    plan.lastRow = s.lastRow;
    const CellEdits& flat = d.sortedEdits(static_cast<int>(si));
    plan.edited = !flat.empty();
    std::size_t firstNew = flat.size();
    const std::map<std::size_t, BlockChanges> byBlock = editsByBlock(s, flat, firstNew);
    // Old blocks: kept, or rewritten where rows of theirs change.
    for (std::size_t b = 0; b < s.blocks.size(); ++b) {
        const Block& block = s.blocks[b];
        const auto changed = byBlock.find(b);
        if (changed == byBlock.end()) {
            if (block.dbcell)
                plan.dbcells.push_back({s.recs[block.recEnd - 1].pos, -1, 0});
        } else if (block.dbcell) {
            rewriteBlock(s, block, changed->second, plan);
        } else {
            // A block without DBCELL (possibly the whole sheet): only the changed rows'
            // records are rewritten.
            const std::vector<Group> old =
                d.groups(s, block.rowRecEnd, block.recEnd, changed->second.rbegin()->first);
            for (const auto& [row, changes] : changed->second)
                rewriteRow(s, block, old, row, changes);
        }
    }
    if (firstNew < flat.size())
        appendRows(sheet, s, flat, firstNew, plan);
    if (!flat.empty() && (plan.firstRow < 0 || flat.front().row < plan.firstRow))
        plan.firstRow = flat.front().row;
    if (!flat.empty() && s.dimensions) {
        const Rec& r = s.recs[*s.dimensions];
        Bytes bytes(d.stream.begin() + r.pos, d.stream.begin() + r.end());
        widenDimensions(&bytes[4], flat);
        m_edits.push_back({r.pos, r.end(), std::move(bytes)});
    }
}

// The edits of rows that exist, by the block they fall into; `firstNew` is set to the first
// edit past the sheet's last row.
std::map<std::size_t, BlockChanges>
Editor::Impl::LayoutPass::editsByBlock(const Substream& s, const CellEdits& flat,
                                       std::size_t& firstNew) const {
    std::map<std::size_t, BlockChanges> byBlock;
    for (std::size_t k = 0; k < flat.size(); ++k) {
        const int row = flat[k].row;
        if (row > s.lastRow) {
            firstNew = k;
            break;
        }
        std::size_t target = 0;
        for (std::size_t b = 0; b < s.blocks.size(); ++b)
            if (s.blocks[b].firstRow >= 0 && s.blocks[b].firstRow <= row)
                target = b;
        byBlock[target][row][flat[k].column] = flat[k].value;
    }
    return byBlock;
}

// A block that ends in DBCELL, rewritten whole (at most 32 rows) with its changes.
void Editor::Impl::LayoutPass::rewriteBlock(const Substream& s, const Block& block,
                                            const BlockChanges& changes, SheetPlan& plan) {
    const std::vector<Group> old = d.groups(s, block.rowRecEnd, block.recEnd);
    std::map<int, RowOut> rows;
    for (std::size_t i = block.recFirst; i < block.rowRecEnd; ++i) {
        RowOut& row = rows[le16(&d.stream[s.recs[i].pos + 4])];
        row.row = le16(&d.stream[s.recs[i].pos + 4]);
        row.rowRecord = recordBytes(s, i, i + 1);
    }
    std::map<int, std::vector<Group>> oldByRow;
    for (const Group& g : old)
        oldByRow[g.row].push_back(g);
    for (const auto& [row, rowChanges] : changes)
        (void)oldByRow[row];
    for (const auto& [row, rowGroups] : oldByRow) {
        RowOut& out = rows[row];
        out.row = row;
        if (out.rowRecord.empty())
            out.rowRecord = newRowRecord(s, row);
        const auto c = changes.find(row);
        if (c == changes.end()) {
            for (const Group& g : rowGroups)
                out.cells.emplace_back(g.first, recordBytes(s, g.rec, g.recEnd));
        } else {
            editRow(s, out, rowGroups, c->second);
        }
    }
    std::vector<RowOut> ordered;
    for (auto& [row, out] : rows)
        ordered.push_back(std::move(out));
    Edit edit{s.recs[block.recFirst].pos, s.recs[block.recEnd - 1].end(), {}};
    std::vector<std::size_t> offsets;
    emitRows(edit.bytes, ordered, true, true, &offsets);
    for (const std::size_t o : offsets)
        plan.dbcells.push_back({0, static_cast<int>(m_edits.size()), o});
    m_edits.push_back(std::move(edit));
}

// One changed row of a block without DBCELL: its ROW record (when the block has them) and
// its cell records replaced, or put in where the row has none.
void Editor::Impl::LayoutPass::rewriteRow(const Substream& s, const Block& block,
                                          const std::vector<Group>& old, int row,
                                          const RowChanges& changes) {
    RowOut out;
    out.row = row;
    std::optional<std::size_t> rowRec;
    std::size_t rowInsert = block.rowRecEnd;
    for (std::size_t i = block.recFirst; i < block.rowRecEnd; ++i) {
        const int r = le16(&d.stream[s.recs[i].pos + 4]);
        if (r == row)
            rowRec = i;
        if (r > row) {
            rowInsert = i;
            break;
        }
    }
    if (rowRec)
        out.rowRecord = recordBytes(s, *rowRec, *rowRec + 1);
    else if (block.rowRecEnd > block.recFirst)
        out.rowRecord = newRowRecord(s, row);
    // The row's cell groups and the records [from, to) they take.
    std::vector<Group> mine;
    std::size_t from = block.recEnd;
    std::size_t to = block.recEnd;
    for (const Group& g : old) {
        if (g.row < row)
            continue;
        if (g.row > row) {
            if (mine.empty())
                from = to = g.rec;
            break;
        }
        if (mine.empty())
            from = g.rec;
        mine.push_back(g);
        to = g.recEnd;
    }
    editRow(s, out, mine, changes);
    if (!out.rowRecord.empty()) {
        setColumnSpan(out);
        const std::uint32_t at = rowRec ? s.recs[*rowRec].pos : s.recs[rowInsert - 1].end();
        const std::uint32_t end = rowRec ? s.recs[*rowRec].end() : at;
        m_edits.push_back({at, end, out.rowRecord});
    }
    Bytes cellBytes;
    for (const auto& cell : out.cells)
        cellBytes.insert(cellBytes.end(), cell.second.begin(), cell.second.end());
    const std::uint32_t a = from < block.recEnd ? s.recs[from].pos : s.recs[block.recEnd - 1].end();
    const std::uint32_t z = to > from && to <= block.recEnd ? s.recs[to - 1].end() : a;
    m_edits.push_back({a, z, std::move(cellBytes)});
}

// New rows after the last block, or after DIMENSIONS in a sheet without cells.
void Editor::Impl::LayoutPass::appendRows(const SheetEntry& sheet, const Substream& s,
                                          const CellEdits& flat, std::size_t firstNew,
                                          SheetPlan& plan) {
    std::uint32_t at = 0;
    if (!s.blocks.empty())
        at = s.recs[s.blocks.back().recEnd - 1].end();
    else if (s.dimensions)
        at = s.recs[*s.dimensions].end();
    else
        refuse(Reason::NoDimensions, sheet.info.name);
    Edit edit{at, at, {}};
    std::vector<std::size_t> offsets;
    emitNewRows(edit.bytes, flat, firstNew, &s, s.rowRecords || s.blocked, s.blocked, &offsets);
    for (const std::size_t o : offsets)
        plan.dbcells.push_back({0, static_cast<int>(m_edits.size()), o});
    m_edits.push_back(std::move(edit));
    plan.lastRow = std::max(plan.lastRow, flat.back().row);
}

// New worksheets: a BOUNDSHEET after the last one, their records after the last sheet.
void Editor::Impl::LayoutPass::addNewSheets() {
    if (d.newSheets.empty())
        return;
    const std::uint32_t boundsAt = d.globals[d.lastBoundSheet].end();
    Edit bounds{boundsAt, boundsAt, {}};
    for (const QString& name : d.newSheets)
        m_newBoundSheetAt.push_back(putNewBoundSheet(bounds.bytes, name));
    m_boundSheetEdit = pushEdit(std::move(bounds));
    extendTabIds();
    std::uint32_t end = d.globalsEnd;
    for (const Substream& s : d.substreams)
        end = std::max(end, s.end);
    for (std::size_t k = 0; k < d.newSheets.size(); ++k) {
        Edit sheet{end, end, {}};
        putNewSheetStart(sheet.bytes);
        const CellEdits& flat = d.sortedEdits(static_cast<int>(d.sheets.size() + k));
        putNewDimensions(sheet.bytes, flat);
        emitNewRows(sheet.bytes, flat, 0, nullptr, false, false, nullptr);
        putNewSheetEnd(sheet.bytes);
        m_newSheetEdits.push_back(pushEdit(std::move(sheet)));
    }
}

// TABID: an id for each new sheet, after the highest one there.
void Editor::Impl::LayoutPass::extendTabIds() {
    if (!d.tabId)
        return;
    const Rec& r = d.globals[*d.tabId];
    Bytes bytes(d.stream.begin() + r.pos, d.stream.begin() + r.end());
    std::uint16_t next = 0;
    for (std::size_t k = 0; k + 1 < r.size; k += 2)
        next = std::max(next, le16(&d.stream[r.pos + 4 + k]));
    for (std::size_t k = 0; k < d.newSheets.size(); ++k)
        put16(bytes, ++next);
    if (bytes.size() - 4 > MaxRecordData)
        refuse(Reason::SheetIdsFull);
    set16(&bytes[2], static_cast<std::uint16_t>(bytes.size() - 4));
    m_edits.push_back({r.pos, r.end(), std::move(bytes)});
}

// The shared strings: the new ones appended, the counts and EXTSST redone.
void Editor::Impl::LayoutPass::appendStrings() {
    m_uniqueCount = d.strings.size();
    if (m_newLabels == 0)
        return;
    m_uniqueCount = d.strings.size() + m_added.size();
    if (m_uniqueCount > 0x7FFFFFFF)
        refuse(Reason::TooManySharedStrings);
    const std::uint32_t total = d.sstTotal + m_newLabels;
    Edit append{0, 0, {}};
    std::optional<std::size_t> header; // of the record being filled, in the edit
    std::size_t used = 0;
    if (d.sst) {
        const Rec& last = d.globals[d.sstRecEnd - 1];
        append.from = append.to = last.end();
        used = last.size;
    } else {
        append.from = append.to = d.globals.back().pos; // before the globals' EOF
        header = 0;
        putHeader(append.bytes, rtSst, 0);
        put32(append.bytes, total);
        put32(append.bytes, static_cast<std::uint32_t>(m_uniqueCount));
        used = 8;
    }
    StringAppender appender(append.bytes, header, used);
    for (const QString& text : m_added) {
        const auto [pos, offset] = appender.put(text);
        m_addedAt.push_back({pos, offset});
    }
    const std::size_t extension = appender.close();
    if (d.sst) {
        const Rec& head = d.globals[*d.sst];
        Bytes counts;
        put32(counts, total);
        put32(counts, static_cast<std::uint32_t>(m_uniqueCount));
        m_edits.push_back({head.pos + 4, head.pos + 12, std::move(counts)});
        if (extension > 0) {
            const Rec& last = d.globals[d.sstRecEnd - 1];
            Bytes length;
            put16(length, static_cast<std::uint16_t>(last.size + extension));
            m_edits.push_back({last.pos + 2, last.pos + 4, std::move(length)});
        }
    }
    const std::uint32_t extAt = append.from;
    m_appendEdit = pushEdit(std::move(append));
    addExtSst(extAt, m_uniqueCount);
}

// EXTSST in place of the old one (or at `at`), sized now and filled in once every position
// is known.
void Editor::Impl::LayoutPass::addExtSst(std::uint32_t at, std::size_t uniqueCount) {
    const auto bucket = static_cast<std::size_t>(extSstBucketSize(uniqueCount));
    const std::size_t buckets = (uniqueCount + bucket - 1) / bucket;
    Edit ext{at, at, {}};
    if (d.extSst) {
        ext.from = d.globals[*d.extSst].pos;
        ext.to = d.globals[*d.extSst].end();
    }
    putHeader(ext.bytes, rtExtSst, 2 + 8 * buckets);
    put16(ext.bytes, static_cast<std::uint16_t>(bucket));
    ext.bytes.resize(ext.bytes.size() + 8 * buckets, 0);
    m_extSstEdit = pushEdit(std::move(ext));
}

// INDEX records: sized now, filled in once every position is known.
void Editor::Impl::LayoutPass::sizeIndexes() {
    for (std::size_t k = 0; k < d.substreams.size(); ++k) {
        const Substream& s = d.substreams[k];
        if (!s.index)
            continue;
        const Rec& r = s.recs[*s.index];
        const std::size_t entries =
            s.bofType == 0x0010 ? m_plans[k].dbcells.size() : (r.size - 16) / 4;
        Bytes bytes(d.stream.begin() + r.pos, d.stream.begin() + r.pos + 20);
        bytes.resize(20 + 4 * entries, 0);
        if (bytes.size() - 4 > MaxRecordData)
            refuse(Reason::IndexFull);
        set16(&bytes[2], static_cast<std::uint16_t>(bytes.size() - 4));
        m_indexEdits.emplace_back(k, pushEdit({r.pos, r.end(), std::move(bytes)}));
    }
}

// Every sheet's position in BOUNDSHEET, filled in once the layout is known.
void Editor::Impl::LayoutPass::reserveBoundSheetPositions() {
    for (const SheetEntry& sheet : d.sheets) {
        const std::uint32_t at = d.globals[sheet.boundSheet].pos + 4;
        m_boundSheetEdits.push_back(m_edits.size());
        m_edits.push_back({at, at + 4, Bytes(4)});
    }
}

// The layout: the old stream with the edits in place, in stream order.
Layout Editor::Impl::LayoutPass::order() {
    Layout layout;
    std::vector<std::size_t>& order = layout.order;
    order.resize(m_edits.size());
    for (std::size_t k = 0; k < order.size(); ++k)
        order[k] = k;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        if (m_edits[a].from != m_edits[b].from)
            return m_edits[a].from < m_edits[b].from;
        return (m_edits[a].to == m_edits[a].from) && (m_edits[b].to != m_edits[b].from);
    });
    m_editOut.resize(m_edits.size());
    m_sortedTo.resize(order.size());
    m_deltaAfter.resize(order.size());
    std::int64_t delta = 0;
    for (std::size_t k = 0; k < order.size(); ++k) {
        const Edit& e = m_edits[order[k]];
        if (k > 0 && e.from < m_edits[order[k - 1]].to)
            refuse(Reason::EditsOverlap);
        m_editOut[order[k]] = static_cast<std::size_t>(e.from + delta);
        delta += static_cast<std::int64_t>(e.bytes.size()) - (e.to - e.from);
        m_sortedTo[k] = e.to;
        m_deltaAfter[k] = delta;
    }
    layout.size = static_cast<std::size_t>(static_cast<std::int64_t>(d.stream.size()) + delta);
    if (layout.size >= 0xFFFFFFF0u)
        refuse(Reason::StreamTooLarge);
    return layout;
}

// Where an old stream position lies in the edited stream: edits that end at or before it
// shift it.
std::uint32_t Editor::Impl::LayoutPass::mapOld(std::uint32_t p) const {
    const auto it = std::upper_bound(m_sortedTo.begin(), m_sortedTo.end(), p);
    if (it == m_sortedTo.begin())
        return p;
    return static_cast<std::uint32_t>(
        p + m_deltaAfter[static_cast<std::size_t>(it - m_sortedTo.begin()) - 1]);
}

void Editor::Impl::LayoutPass::fillPositions() {
    for (std::size_t i = 0; i < d.sheets.size(); ++i)
        set32(m_edits[m_boundSheetEdits[i]].bytes.data(), mapOld(d.sheets[i].position));
    for (std::size_t k = 0; k < m_newSheetEdits.size(); ++k)
        set32(&m_edits[static_cast<std::size_t>(m_boundSheetEdit)].bytes[m_newBoundSheetAt[k]],
              outAt(static_cast<std::size_t>(m_newSheetEdits[k])));
    for (const auto& [k, edit] : m_indexEdits)
        fillIndex(k, &m_edits[static_cast<std::size_t>(edit)].bytes[4]);
    if (m_extSstEdit >= 0)
        fillExtSst();
}

// An INDEX (its data at `p`): the rows in use, the position of the sheet's DEFCOLWIDTH and
// of each DBCELL.
void Editor::Impl::LayoutPass::fillIndex(std::size_t k, std::uint8_t* p) {
    const Substream& s = d.substreams[k];
    const Rec& r = s.recs[*s.index];
    const SheetPlan& plan = m_plans[k];
    const std::uint32_t ibXf = le32(&d.stream[r.pos + 4 + 12]);
    if (ibXf != 0)
        set32(p + 12, mapOld(ibXf));
    const std::size_t entries = (le16(p - 2) - 16) / 4;
    if (s.bofType != 0x0010 || entries != plan.dbcells.size()) {
        for (std::size_t e = 0; e < entries; ++e)
            set32(p + 16 + 4 * e, mapOld(le32(&d.stream[r.pos + 4 + 16 + 4 * e])));
        return;
    }
    if (plan.edited && plan.firstRow >= 0) {
        // The first row in use and one past the last, widened by the edits.
        set32(p + 4, std::min(le32(p + 4), static_cast<std::uint32_t>(plan.firstRow)));
        set32(p + 8, std::max(le32(p + 8), static_cast<std::uint32_t>(plan.lastRow + 1)));
    }
    for (std::size_t e = 0; e < entries; ++e) {
        const DbCellRef& ref = plan.dbcells[e];
        set32(p + 16 + 4 * e, ref.edit >= 0
                                  ? static_cast<std::uint32_t>(
                                        outAt(static_cast<std::size_t>(ref.edit)) + ref.offset)
                                  : mapOld(ref.oldPos));
    }
}

// EXTSST: for the first string of each bucket, its stream position and its offset in its
// record.
void Editor::Impl::LayoutPass::fillExtSst() {
    const auto bucket = static_cast<std::size_t>(extSstBucketSize(m_uniqueCount));
    std::uint8_t* p = &m_edits[static_cast<std::size_t>(m_extSstEdit)].bytes[6];
    for (std::size_t i = 0; i < m_uniqueCount; i += bucket, p += 8) {
        std::uint32_t pos = 0;
        std::uint16_t offset = 0;
        if (i < d.strings.size()) {
            pos = mapOld(d.strings.position(static_cast<std::uint32_t>(i)));
            offset = d.strings.offsetInRecord(static_cast<std::uint32_t>(i));
        } else {
            const StringAt& at = m_addedAt[i - d.strings.size()];
            pos = outAt(static_cast<std::size_t>(m_appendEdit)) + at.pos;
            offset = at.offsetInRecord;
        }
        set32(p, pos);
        set16(p + 4, offset);
        set16(p + 6, 0);
    }
}

std::vector<std::span<const std::uint8_t>> Editor::Impl::pieces(const Layout& layout) const {
    std::vector<std::span<const std::uint8_t>> out;
    std::uint32_t copied = 0;
    for (const std::size_t k : layout.order) {
        const Edit& e = layout.edits[k];
        if (e.from > copied)
            out.emplace_back(stream.data() + copied, e.from - copied);
        if (!e.bytes.empty())
            out.emplace_back(e.bytes.data(), e.bytes.size());
        copied = std::max(copied, e.to);
    }
    if (copied < stream.size())
        out.emplace_back(stream.data() + copied, stream.size() - copied);
    return out;
}

const CellEdits& Editor::Impl::sortedEdits(int sheet) const {
    static const CellEdits none;
    const auto found = cellEdits.find(sheet);
    if (found == cellEdits.end())
        return none;
    CellEdits& edits = found->second;
    const auto before = [](const CellEdit& a, const CellEdit& b) {
        return a.row != b.row ? a.row < b.row : a.column < b.column;
    };
    if (std::is_sorted(edits.begin(), edits.end(), before) &&
        std::adjacent_find(edits.begin(), edits.end(), [](const CellEdit& a, const CellEdit& b) {
            return a.row == b.row && a.column == b.column;
        }) == edits.end())
        return edits;
    // A store's edits come in order but for a few (H1 last): those are sorted apart and
    // merged in, with no copy of the whole list.
    const auto unsorted = std::is_sorted_until(edits.begin(), edits.end(), before);
    std::stable_sort(unsorted, edits.end(), before);
    std::inplace_merge(edits.begin(), unsorted, edits.end(), before);
    // Of several edits of one cell the last counts.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < edits.size(); ++i) {
        if (kept > 0 && edits[kept - 1].row == edits[i].row &&
            edits[kept - 1].column == edits[i].column)
            edits[kept - 1] = std::move(edits[i]);
        else if (kept != i)
            edits[kept++] = std::move(edits[i]);
        else
            ++kept;
    }
    edits.resize(kept);
    return edits;
}

// ---------------------------------------------------------------------------------------
// The editor

Editor::Editor(const QString& path) : d(std::make_unique<Impl>()) {
    d->path = path;
    const QFileInfo info(path);
    if (!info.exists())
        throw Error(Error::Kind::Missing, path, reasonText(Reason::NoSuchFile));
    if (info.isDir())
        throw Error(Error::Kind::NotWorkbook, path, reasonText(Reason::IsFolder));
    d->read();
}

Editor::Editor(const QString& name, std::vector<std::uint8_t> workbookStream)
    : d(std::make_unique<Impl>()) {
    d->path = name;
    d->ownStream = std::move(workbookStream);
    d->stream = d->ownStream;
    d->parse();
}

Editor::~Editor() = default;

const QString& Editor::path() const {
    return d->path;
}

int Editor::sheetCount() const {
    return static_cast<int>(d->sheets.size() + d->newSheets.size());
}

const Editor::SheetInfo& Editor::sheetInfo(int sheet) const {
    static thread_local SheetInfo added;
    if (sheet < 0 || sheet >= sheetCount())
        throw Error(Error::Kind::NoSuchSheet, d->path,
                    reasonText(Reason::NoSheetNumber).arg(sheet + 1));
    const auto index = static_cast<std::size_t>(sheet);
    if (index < d->sheets.size())
        return d->sheets[index].info;
    added = {d->newSheets[index - d->sheets.size()], SheetKind::Worksheet, false};
    return added;
}

int Editor::indexOf(QStringView name) const {
    for (int i = 0; i < sheetCount(); ++i)
        if (sheetInfo(i).name.compare(name, Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

Value Editor::cell(int sheet, int row, int column) const {
    if (sheetInfo(sheet).kind != SheetKind::Worksheet || row < 1 || row > MaxRows || column < 1 ||
        column > MaxColumns)
        return {};
    if (const auto s = d->cellEdits.find(sheet); s != d->cellEdits.end())
        for (auto e = s->second.rbegin(); e != s->second.rend(); ++e)
            if (e->row == row - 1 && e->column == column - 1) {
                if (!e->value)
                    return {};
                if (e->value->boolean)
                    return Value::boolean(e->value->value != 0);
                return e->value->number ? Value::number(e->value->value)
                                        : Value::text(e->value->text);
            }
    const auto index = static_cast<std::size_t>(sheet);
    if (index >= d->sheets.size())
        return {};
    return d->existingCell(d->substreams[static_cast<std::size_t>(d->sheets[index].substream)],
                           row - 1, column - 1);
}

int Editor::lastRow(int sheet) const {
    if (sheetInfo(sheet).kind != SheetKind::Worksheet)
        return 0;
    int last = -1;
    const auto index = static_cast<std::size_t>(sheet);
    if (index < d->sheets.size())
        last = d->substreams[static_cast<std::size_t>(d->sheets[index].substream)].lastRow;
    for (const CellEdit& e : d->sortedEdits(sheet))
        if (e.value)
            last = std::max(last, e.row);
    return last + 1;
}

void Editor::setCell(int sheet, int row, int column, const QString& text) {
    if (sheetInfo(sheet).kind != SheetKind::Worksheet)
        throw Error(Error::Kind::InvalidUse, d->path,
                    reasonText(Reason::NotPlainWorksheet).arg(sheetInfo(sheet).name));
    if (row < 1 || row > MaxRows || column < 1 || column > MaxColumns)
        throw Error(Error::Kind::InvalidUse, d->path,
                    reasonText(Reason::NoSuchCell).arg(row).arg(column));
    if (text.size() > MaxTextLength)
        throw Error(Error::Kind::FormatLimit, d->path, reasonText(Reason::TextTooLong));
    std::optional<CellValue> value;
    if (const auto number = numberFromText(text))
        value = CellValue{true, *number, {}};
    else if (!text.isEmpty())
        value = CellValue{false, 0, text};
    d->cellEdits[sheet].push_back({row - 1, column - 1, std::move(value)});
}

void Editor::reserveCells(int sheet, std::size_t cells) {
    CellEdits& edits = d->cellEdits[sheet];
    edits.reserve(edits.size() + cells);
}

int Editor::addWorksheet(const QString& name) {
    const QString problem = sheetNameProblem(name);
    if (!problem.isEmpty())
        throw Error(Error::Kind::InvalidUse, d->path, problem);
    if (indexOf(name) >= 0)
        throw Error(Error::Kind::InvalidUse, d->path, reasonText(Reason::SheetNameTaken).arg(name));
    if (sheetCount() >= MaxSheets)
        throw Error(Error::Kind::FormatLimit, d->path, reasonText(Reason::SheetLimitReached));
    d->newSheets.push_back(name);
    return sheetCount() - 1;
}

std::vector<std::uint8_t> Editor::editedStream() const {
    const Layout layout = d->build();
    std::vector<std::uint8_t> out;
    out.reserve(layout.size);
    for (const std::span<const std::uint8_t> piece : d->pieces(layout))
        out.insert(out.end(), piece.begin(), piece.end());
    return out;
}

void Editor::save() {
    if (!d->image)
        throw Error(Error::Kind::InvalidUse, d->path, reasonText(Reason::NeverSaved));
    // The edited stream goes to the file piece by piece, never whole in memory.
    const Layout layout = d->build();
    d->image->save(d->path, d->pieces(layout));
}

Editor::Opening Editor::open(const QString& path) {
    try {
        return {std::make_unique<Editor>(path), {}};
    } catch (const Error& e) {
        if (e.kind() != Error::Kind::Unkeepable)
            throw;
        return {nullptr, e.reason()};
    }
}

Editor::Opening Editor::open(const QString& name, std::vector<std::uint8_t> workbookStream) {
    try {
        return {std::make_unique<Editor>(name, std::move(workbookStream)), {}};
    } catch (const Error& e) {
        if (e.kind() != Error::Kind::Unkeepable)
            throw;
        return {nullptr, e.reason()};
    }
}

void Editor::setValue(int sheet, int row, int column, const Value& value) {
    if (sheetInfo(sheet).kind != SheetKind::Worksheet)
        throw Error(Error::Kind::InvalidUse, d->path,
                    reasonText(Reason::NotPlainWorksheet).arg(sheetInfo(sheet).name));
    if (row < 1 || row > MaxRows || column < 1 || column > MaxColumns)
        throw Error(Error::Kind::InvalidUse, d->path,
                    reasonText(Reason::NoSuchCell).arg(row).arg(column));
    std::optional<CellValue> v;
    if (value.kind() == Value::Kind::Number || value.kind() == Value::Kind::Boolean) {
        v = CellValue{true, value.numberValue(), {}, value.kind() == Value::Kind::Boolean};
    } else if (value.kind() == Value::Kind::Text) {
        if (value.textValue().size() > MaxTextLength)
            throw Error(Error::Kind::FormatLimit, d->path, reasonText(Reason::TextTooLong));
        v = CellValue{false, 0, value.textValue()};
    }
    d->cellEdits[sheet].push_back({row - 1, column - 1, std::move(v)});
}

std::optional<QString> Editor::trySave() {
    try {
        save();
    } catch (const Error& e) {
        if (e.kind() != Error::Kind::Unkeepable)
            throw;
        return e.reason();
    }
    return std::nullopt;
}

} // namespace workbook
