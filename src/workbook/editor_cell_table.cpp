// A sheet's top-level records read with the strict index of a worksheet's cell table, in one
// pass, and the cells the editor reads through it.

#include "workbook/editor_internal.h"

namespace workbook {

namespace {

// One pass over a worksheet's records that finds its cell table: the row blocks (ROW
// records, cells with the records attached to them, a DBCELL), the rows in use, INDEX,
// DIMENSIONS, the default row height and the column formats. A table out of order, or one
// whose records lie about their lengths or positions, is refused.
class CellTableReader {
public:
    CellTableReader(Substream& s, std::span<const std::uint8_t> stream, std::size_t strings)
        : m_s(s), m_stream(stream), m_strings(strings) {}

    // Record `i` of the sheet, `r`, as the sheet's records are read (its BOF not among them).
    void see(std::size_t i, const Rec& r) {
        const std::uint8_t* data = m_stream.data() + r.pos + 4;
        if (isCellRecord(r.type)) { // most records: first, in as few steps as may be
            if (m_ended)
                refuse(Reason::CellOutsideCellTable);
            m_inTable = true;
            cellRecord(i, r, data);
            return;
        }
        if (r.type == rtRow || r.type == rtDbCell) {
            if (m_ended)
                refuse(Reason::CellOutsideCellTable);
            m_inTable = true;
        } else if (m_inTable && m_attachable && isAttached(r.type)) {
            m_block->recEnd = i + 1;
            return;
        } else {
            m_ended = m_ended || m_inTable;
            m_inTable = false;
            m_attachable = false;
            otherRecord(i, r, data);
            return;
        }
        if (r.type == rtRow)
            rowRecord(i, r, data);
        else
            dbCell(i, r);
    }
    // Once the sheet's last record is seen.
    void finish() const { checkBlocks(); }

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
        if (r.size < cellRecordSize(r.type))
            refuse(Reason::CellRecordShort);
        const int row = le16(data);
        const int first = le16(data + 2);
        int last = first;
        if (r.type == rtMulRk || r.type == rtMulBlank) {
            const std::optional<int> several = lastOfSeveral(Record{r.pos, r.type, r.size, data});
            if (!several)
                refuse(Reason::MultiCellLength);
            last = *several;
        }
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
        // A row inside the block's rows is inside the sheet's too: nothing to widen.
        if (m_block->firstRow < 0 || row < m_block->firstRow || row > m_block->lastRow)
            seeRow(row);
        m_attachable = true;
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

// The sheet's records, and a worksheet's cell table as they are read: both in one pass over
// some 400,000 records.
// Flattened: every step of the loop in line (it runs once for each record of the sheet).
[[gnu::flatten]] Substream Editor::Impl::readSubstream(std::uint32_t position, std::size_t bytes,
                                                       bool worksheet) {
    Substream s;
    s.start = position;
    s.recs.reserve(bytes / 12); // cell records take 10 to 18 bytes
    needRecordAt(position);
    if (position < globalsEnd || position + 8 > stream.size() || typeAt(stream, position) != rtBof)
        refuse(Reason::SheetNoStartRecord);
    std::optional<CellTableReader> table;
    std::uint32_t pos = position;
    int depth = 0;
    for (;;) {
        needRecordAt(pos);
        const Rec r = recordOrRefuse(stream, pos, Reason::SheetUnended);
        pos = r.end();
        if (r.type == rtBof) {
            if (r.size < 4)
                refuse(Reason::StartRecordShort);
            if (++depth == 1) {
                if (le16(&stream[r.pos + 4]) != 0x0600)
                    refuse(Reason::SheetOlderVersion);
                s.bofType = le16(&stream[r.pos + 6]);
                s.recs.push_back(r);
                if (worksheet && s.bofType == 0x0010)
                    table.emplace(s, stream, stringCount);
            }
            if (depth > 8)
                refuse(Reason::TooManyEmbeddedCharts);
            continue;
        }
        if (depth == 1) {
            if (r.type == rtIndex)
                s.index = s.recs.size();
            if (table)
                table->see(s.recs.size(), r);
            s.recs.push_back(r);
        }
        if (r.type == rtEof && --depth == 0)
            break;
    }
    s.end = pos;
    if (table)
        table->finish();
    return s;
}

std::vector<Group> Editor::Impl::groups(const Substream& s, std::size_t from, std::size_t to,
                                        int lastRow) const {
    std::vector<Group> out;
    for (std::size_t i = from; i < to; ++i) {
        const Rec& r = s.recs[i];
        if (!isCellRecord(r.type)) {
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
// A formula's text result ends where its STRING record's CONTINUE records run out.
struct TextCut {};
[[noreturn]] void textCut(bool) {
    throw TextCut{};
}
} // namespace

// The value of a cell group's cell at `column` as the store reads it.
Value Editor::Impl::decode(const Substream& s, const Group& g, int column) const {
    const Rec& rec = s.recs[g.rec];
    const Record r{rec.pos, rec.type, rec.size, &stream[rec.pos + 4]};
    const std::optional<CellContent> c = decodeCell(r, column);
    if (!c)
        return {};
    switch (c->kind) {
    case CellContent::Kind::Number:
        return number(c->number, c->xf);
    case CellContent::Kind::Text:
        return Value::text(c->text);
    case CellContent::Kind::SharedText:
        return Value::text(strings.text(c->index));
    case CellContent::Kind::Boolean:
        return Value::boolean(c->boolean);
    case CellContent::Kind::FormulaText:
        return formulaText(s, g);
    case CellContent::Kind::Empty:
    case CellContent::Kind::Error: // left empty, as the store reads an error value
        break;
    }
    return {};
}

// The text result of a formula: its STRING record and the CONTINUE records after that.
Value Editor::Impl::formulaText(const Substream& s, const Group& g) const {
    std::size_t k = g.rec + 1;
    while (k < g.recEnd && s.recs[k].type != rtString)
        ++k;
    if (k == g.recEnd)
        return {};
    Segments data(textCut);
    for (std::size_t i = k; i < g.recEnd && (i == k || s.recs[i].type == rtContinue); ++i)
        data.add(&stream[s.recs[i].pos + 4], s.recs[i].size);
    try {
        return Value::text(continuedString(data));
    } catch (const TextCut&) {
        return {};
    }
}

Value Editor::Impl::existingCell(const Substream& s, int row, int column) const {
    for (const Block& b : s.blocks) {
        if (b.firstRow < 0 || row < b.firstRow || row > b.lastRow)
            continue;
        // Cells come in row order: stop at the first one past the row.
        for (std::size_t i = b.rowRecEnd; i < b.recEnd; ++i) {
            const Rec& r = s.recs[i];
            if (!isCellRecord(r.type))
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

} // namespace workbook
