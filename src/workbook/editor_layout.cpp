// The layout of the edited stream.

#include "workbook/editor_records.h"

#include <array>
#include <cstring>

namespace workbook {

// The edited stream's layout: the edits of every sheet, the new sheets and the shared
// strings, put in stream order; then the stream positions that the edits moved (BOUNDSHEET,
// INDEX, EXTSST) are filled in.
class Editor::Impl::LayoutPass {
public:
    explicit LayoutPass(const Impl& impl)
        : d(impl), m_defaultXf(impl.xfCount > 15 ? 15 : 0), m_plans(impl.substreams.size()) {}

    Layout run(const Ahead& ahead) {
        for (std::size_t si = 0; si < d.sheets.size(); ++si)
            planSheet(si);
        addNewSheets();
        appendStrings();
        sizeIndexes();
        reserveBoundSheetPositions();
        if (ahead)
            tellSettledRun(ahead);
        layNewRows();
        Layout layout = order();
        fillPositions();
        layout.edits = std::move(m_edits);
        return layout;
    }

private:
    // Cells
    std::uint32_t stringFor(std::uint32_t text);
    // A cell's record; `string` is the shared string of a text.
    void cellRecord(Bytes& out, int row, int column, std::uint16_t xf, const CellValue& v,
                    std::uint32_t string);
    std::uint16_t newCellXf(const Substream& s, const Bytes& rowRecord, int column) const;
    std::array<std::uint16_t, MaxColumns> columnFormats(const Substream* s) const;
    Bytes recordBytes(const Substream& s, std::size_t from, std::size_t to) const;
    // Rows
    void emitRows(Bytes& out, std::vector<RowOut>& rows, bool rowRecords, bool dbcell,
                  std::vector<std::size_t>* dbcellOffsets);
    RowSpans newRowSpans(const CellEdits& flat, std::size_t from);
    void emitNewRows(Bytes& out, const CellEdits& flat, const RowSpans& rows, const Substream* s,
                     bool rowRecords, bool dbcell, std::vector<std::size_t>* dbcellOffsets);
    void editRow(const Substream& s, RowOut& row, const std::vector<Group>& old,
                 const RowChanges& changes);
    void keepOrSplit(const Substream& s, const Group& g, const RowChanges& changes,
                     std::vector<std::pair<int, Bytes>>& cells);
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
    void layNewRows();
    void tellSettledRun(const Ahead& ahead);
    // New worksheets and the globals
    void addNewSheets();
    void extendTabIds();
    void appendStrings();
    void addExtSst(std::uint32_t at, std::size_t uniqueCount);
    void sizeIndexes();
    void reserveBoundSheetPositions();
    // Positions
    std::vector<EditId> inStreamOrder() const;
    Layout order();
    std::uint32_t mapOld(std::uint32_t p) const;
    // Where an edit's bytes start in the edited stream.
    std::uint32_t outAt(EditId edit) const { return static_cast<std::uint32_t>(m_editOut[+edit]); }
    void fillPositions();
    void fillIndex(std::size_t k, std::uint8_t* p);
    void fillExtSst();

    EditId pushEdit(Edit edit) {
        m_edits.push_back(std::move(edit));
        return EditId(static_cast<std::uint32_t>(m_edits.size() - 1));
    }
    Edit& edit(EditId id) { return m_edits[+id]; }

    const Impl& d;
    const std::uint16_t m_defaultXf;
    std::vector<Edit> m_edits;
    std::vector<SheetPlan> m_plans; // by substream
    // Strings that are not yet in the shared-string table, by the editor's text numbers.
    std::vector<std::uint32_t> m_added;
    // The string of each of the editor's texts, old or new; NoString before it is sought.
    static constexpr std::uint32_t NoString = 0xFFFFFFFF;
    std::vector<std::uint32_t> m_stringOf;
    std::uint32_t m_newLabels = 0;
    std::vector<StringAt> m_addedAt;
    std::optional<EditId> m_appendEdit;
    // New rows after a sheet's last block, laid out once the edits before them are.
    struct NewRows {
        const Substream* s;
        const CellEdits* flat;
        std::size_t substream;
        RowSpans rows;
        EditId edit;
        std::size_t firstDbCell; // in the sheet's plan
    };
    std::vector<NewRows> m_newRows;
    std::optional<EditId> m_extSstEdit;
    std::size_t m_uniqueCount = 0;
    // New sheets.
    std::vector<EditId> m_newSheetEdits;
    std::vector<std::size_t> m_newBoundSheetAt; // where lbPlyPos lies in the BOUNDSHEET edit
    std::optional<EditId> m_boundSheetEdit;
    // Edits whose positions are filled in once the layout is known.
    std::vector<std::pair<std::size_t, EditId>> m_indexEdits; // substream, edit
    std::vector<EditId> m_boundSheetEdits;
    // The layout: where each edit lands (by EditId), and the shift of old positions.
    std::vector<std::size_t> m_editOut;
    std::vector<std::uint32_t> m_sortedTo;
    std::vector<std::int64_t> m_deltaAfter; // shift of positions at or after `to`
};

Layout Editor::Impl::build(const Ahead& ahead) const {
    return LayoutPass(*this).run(ahead);
}

// A text's shared string: one of the table's, or a new one at its end. A store writes one
// date and a few times over and over: each text is sought in the table once, and a new
// workbook's empty table not at all.
std::uint32_t Editor::Impl::LayoutPass::stringFor(std::uint32_t text) {
    ++m_newLabels;
    if (m_stringOf.empty())
        m_stringOf.assign(d.texts.size(), NoString);
    std::uint32_t& index = m_stringOf[text];
    if (index != NoString)
        return index;
    const std::optional<std::uint32_t> found =
        d.strings.size() > 0 ? d.strings.find(d.texts[text]) : std::nullopt;
    if (found) {
        index = *found;
    } else {
        index = static_cast<std::uint32_t>(d.strings.size() + m_added.size());
        m_added.push_back(text);
    }
    return index;
}

void Editor::Impl::LayoutPass::cellRecord(Bytes& out, int row, int column, std::uint16_t xf,
                                          const CellValue& v, std::uint32_t string) {
    if (d.xfCount == 0)
        refuse(Reason::NoCellFormats);
    // Made whole here and appended in one piece: most of a new file's bytes come through here.
    std::array<std::uint8_t, 18> r{};
    std::size_t size = 14;
    std::uint32_t rk = 0;
    if (!v.number) {
        set16(&r[0], rtLabelSst);
        set32(&r[10], string);
    } else if (v.boolean) {
        size = 12;
        set16(&r[0], rtBoolErr);
        r[10] = v.value != 0 ? 1 : 0; // a boolean, not an error code: r[11] stays 0
    } else if (rkNumber(v.value, rk)) {
        set16(&r[0], rtRk);
        set32(&r[10], rk);
    } else {
        size = 18;
        set16(&r[0], rtNumber);
        std::uint64_t bits;
        std::memcpy(&bits, &v.value, 8);
        qToLittleEndian(bits, &r[10]);
    }
    set16(&r[2], static_cast<std::uint16_t>(size - 4));
    set16(&r[4], static_cast<std::uint16_t>(row));
    set16(&r[6], static_cast<std::uint16_t>(column));
    set16(&r[8], xf);
    out.insert(out.end(), r.begin(), r.begin() + static_cast<std::ptrdiff_t>(size));
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

// The rows of edits [from, end) of `flat` (in row order) that give a cell a value; the
// shared strings of their texts are sought on the way, in the order their cells come.
RowSpans Editor::Impl::LayoutPass::newRowSpans(const CellEdits& flat, std::size_t from) {
    for (std::size_t i = from; i < flat.size(); ++i)
        if (flat[i].isText())
            stringFor(flat[i].textNumber());
    RowSpans rows;
    if (from < flat.size()) // edits in row order: at most one row for each row number
        rows.reserve(static_cast<std::size_t>(flat.back().row - flat[from].row) + 1);
    for (std::size_t k = from; k < flat.size();) {
        std::size_t e = k;
        bool any = false;
        while (e < flat.size() && flat[e].row == flat[k].row)
            any = flat[e++].hasValue() || any;
        if (any)
            rows.emplace_back(k, e);
        k = e;
    }
    return rows;
}

// New rows `rows` of `flat`, their strings sought (newRowSpans), written straight into `out`
// as emitRows() lays them out; a new cell takes its column's format. `s` is null for a new
// sheet.
void Editor::Impl::LayoutPass::emitNewRows(Bytes& out, const CellEdits& flat, const RowSpans& rows,
                                           const Substream* s, bool rowRecords, bool dbcell,
                                           std::vector<std::size_t>* dbcellOffsets) {
    const std::array<std::uint16_t, MaxColumns> columnXf = columnFormats(s);
    const std::uint16_t height =
        s ? static_cast<std::uint16_t>(s->defaultRowHeight & 0x7FFF) : std::uint16_t(0x00FF);
    if (!rows.empty())
        out.reserve(out.size() + (rows.back().second - rows.front().first) * 15 + rows.size() * 22);
    for (std::size_t b = 0; b < rows.size(); b += RowsPerBlock) {
        const std::size_t e = std::min(rows.size(), b + RowsPerBlock);
        const std::size_t blockStart = out.size();
        if (rowRecords)
            for (std::size_t k = b; k < e; ++k)
                putNewRowRecord(out, flat, rows[k], height);
        const std::vector<std::uint16_t> offsets =
            putRowCells(out, out.size() - blockStart, b, e, [&](std::size_t k) {
                const auto [first, end] = rows[k];
                for (std::size_t i = first; i < end; ++i)
                    if (const std::optional<CellValue> v = flat[i].value())
                        cellRecord(out, flat[i].row, flat[i].column, columnXf[flat[i].column], *v,
                                   v->number ? 0 : m_stringOf[v->text]);
            });
        if (dbcell)
            putDbCell(out, blockStart, offsets, dbcellOffsets);
    }
}

// An old row's cells with the edits applied; MULRK and MULBLANK records that an edit falls
// into are split into single cells. The old cells and the edits, both in column order, are
// merged: an edit takes the place (and the format) of an old cell of its column.
void Editor::Impl::LayoutPass::editRow(const Substream& s, RowOut& row,
                                       const std::vector<Group>& old, const RowChanges& changes) {
    std::vector<std::pair<int, Bytes>> cells;
    for (const Group& g : old)
        keepOrSplit(s, g, changes, cells);
    row.cells.reserve(row.cells.size() + cells.size() + changes.size());
    auto kept = cells.begin();
    for (const CellEdit& change : changes) {
        const int column = change.column;
        while (kept != cells.end() && kept->first < column)
            row.cells.push_back(std::move(*kept++));
        std::uint16_t xf = 0;
        if (kept != cells.end() && kept->first == column)
            xf = le16(&(kept++)->second[8]);
        else
            xf = newCellXf(s, row.rowRecord, column);
        if (const std::optional<CellValue> value = change.value()) {
            Bytes bytes;
            cellRecord(bytes, row.row, column, xf, *value,
                       value->number ? 0 : stringFor(value->text));
            row.cells.emplace_back(column, std::move(bytes));
        }
    }
    std::move(kept, cells.end(), std::back_inserter(row.cells));
}

// An old cell group as it was, or split into single cells when an edit falls into it.
void Editor::Impl::LayoutPass::keepOrSplit(const Substream& s, const Group& g,
                                           const RowChanges& changes,
                                           std::vector<std::pair<int, Bytes>>& cells) {
    bool touched = false;
    for (const CellEdit& change : changes)
        touched = touched || (change.column >= g.first && change.column <= g.last);
    const Rec& r = s.recs[g.rec];
    if (!touched || (r.type != rtMulRk && r.type != rtMulBlank)) {
        if (touched)
            for (std::size_t k = g.rec + 1; k < g.recEnd; ++k)
                if (s.recs[k].type != rtString && s.recs[k].type != rtContinue)
                    refuse(Reason::CellAnchorsSharedFormula);
        cells.emplace_back(g.first, recordBytes(s, g.rec, g.recEnd));
        return;
    }
    const std::uint8_t* data = &d.stream[r.pos + 4];
    const std::size_t each = r.type == rtMulRk ? 6 : 2;
    for (int c = g.first; c <= g.last; ++c) {
        const std::uint8_t* p = data + 4 + each * static_cast<std::size_t>(c - g.first);
        std::array<std::uint8_t, 14> single{};
        set16(&single[0], r.type == rtMulRk ? rtRk : rtBlank);
        set16(&single[2], r.type == rtMulRk ? 10 : 6);
        set16(&single[4], static_cast<std::uint16_t>(g.row));
        set16(&single[6], static_cast<std::uint16_t>(c));
        set16(&single[8], le16(p));
        if (r.type == rtMulRk)
            set32(&single[10], le32(p + 2));
        cells.emplace_back(c,
                           Bytes(single.begin(), single.begin() + (r.type == rtMulRk ? 14 : 10)));
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
                plan.dbcells.push_back({s.recs[block.recEnd - 1].pos, std::nullopt, 0});
        } else if (block.dbcell) {
            rewriteBlock(s, block, changed->second, plan);
        } else {
            // A block without DBCELL (possibly the whole sheet): only the changed rows'
            // records are rewritten.
            const std::vector<Group> old =
                d.groups(s, block.rowRecEnd, block.recEnd, changed->second.back().row);
            for (const RowOfEdits& changes : changed->second)
                rewriteRow(s, block, old, changes.row, changes.edits);
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
    // A row falls into the last block (in stream order) that starts at or above it, block 0
    // when none does: the blocks by their first row, each with the last such block so far, so
    // that each edit finds its block in a binary search and not by a walk over every block.
    std::vector<std::pair<int, std::size_t>> starts; // first row, last block starting by then
    for (std::size_t b = 0; b < s.blocks.size(); ++b)
        if (s.blocks[b].firstRow >= 0)
            starts.emplace_back(s.blocks[b].firstRow, b);
    std::sort(starts.begin(), starts.end());
    for (std::size_t i = 1; i < starts.size(); ++i)
        starts[i].second = std::max(starts[i].second, starts[i - 1].second);
    std::map<std::size_t, BlockChanges> byBlock;
    for (std::size_t k = 0; k < flat.size();) {
        const int row = flat[k].row;
        if (row > s.lastRow) {
            firstNew = k;
            break;
        }
        std::size_t end = k + 1;
        while (end < flat.size() && flat[end].row == row)
            ++end;
        const auto after = std::upper_bound(
            starts.begin(), starts.end(), row,
            [](int r, const std::pair<int, std::size_t>& start) { return r < start.first; });
        const std::size_t target = after == starts.begin() ? 0 : std::prev(after)->second;
        byBlock[target].push_back({row, RowChanges(flat.data() + k, end - k)});
        k = end;
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
    for (const RowOfEdits& changed : changes)
        (void)oldByRow[changed.row];
    for (const auto& [row, rowGroups] : oldByRow) {
        RowOut& out = rows[row];
        out.row = row;
        if (out.rowRecord.empty())
            out.rowRecord = newRowRecord(s, row);
        const auto c =
            std::lower_bound(changes.begin(), changes.end(), row,
                             [](const RowOfEdits& changed, int r) { return changed.row < r; });
        if (c == changes.end() || c->row != row) {
            for (const Group& g : rowGroups)
                out.cells.emplace_back(g.first, recordBytes(s, g.rec, g.recEnd));
        } else {
            editRow(s, out, rowGroups, c->edits);
        }
    }
    std::vector<RowOut> ordered;
    for (auto& [row, out] : rows)
        ordered.push_back(std::move(out));
    Edit edit{s.recs[block.recFirst].pos, s.recs[block.recEnd - 1].end(), {}};
    std::vector<std::size_t> offsets;
    emitRows(edit.bytes, ordered, true, true, &offsets);
    const EditId id = pushEdit(std::move(edit));
    for (const std::size_t o : offsets)
        plan.dbcells.push_back({0, id, o});
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
        throw Error(Error::Kind::Unkeepable, {},
                    aboutSheet(Reason::NoDimensions, Reason::NoDimensionsNumbered, sheet.info.name,
                               static_cast<std::size_t>(&sheet - d.sheets.data())));
    // The rows themselves are laid out last (layNewRows), so that the long run of kept rows
    // above them can be written meanwhile. What comes before them in the stream is known
    // now: the new strings, sought here in the order their cells come; the number of their
    // blocks, which INDEX lists.
    const EditId id = pushEdit({at, at, {}});
    NewRows rows{&s,
                 &flat,
                 static_cast<std::size_t>(&s - d.substreams.data()),
                 newRowSpans(flat, firstNew),
                 id,
                 plan.dbcells.size()};
    if (s.blocked)
        plan.dbcells.resize(
            plan.dbcells.size() + (rows.rows.size() + RowsPerBlock - 1) / RowsPerBlock, {0, id, 0});
    plan.lastRow = std::max(plan.lastRow, flat.back().row);
    m_newRows.push_back(std::move(rows));
}

void Editor::Impl::LayoutPass::layNewRows() {
    for (NewRows& n : m_newRows) {
        std::vector<std::size_t> offsets;
        emitNewRows(edit(n.edit).bytes, *n.flat, n.rows, n.s, n.s->rowRecords || n.s->blocked,
                    n.s->blocked, &offsets);
        std::vector<DbCellRef>& dbcells = m_plans[n.substream].dbcells;
        Q_ASSERT(n.firstDbCell + offsets.size() <= dbcells.size());
        for (std::size_t k = 0; k < offsets.size(); ++k)
            dbcells[n.firstDbCell + k].offset = offsets[k];
    }
}

// The longest run of old bytes whose place in the edited stream is known before the new rows
// are laid out: one between two edits that come before the first new rows.
void Editor::Impl::LayoutPass::tellSettledRun(const Ahead& ahead) {
    std::uint32_t copied = 0, bestFrom = 0, bestTo = 0;
    std::size_t out = 0, bestAt = 0;
    for (const EditId k : inStreamOrder()) {
        const Edit& e = edit(k);
        if (e.from > copied) {
            if (e.from - copied > bestTo - bestFrom) {
                bestFrom = copied;
                bestTo = e.from;
                bestAt = out;
            }
            out += e.from - copied;
        }
        if (std::any_of(m_newRows.begin(), m_newRows.end(),
                        [k](const NewRows& n) { return n.edit == k; }))
            break;
        out += e.bytes.size();
        copied = std::max(copied, e.to);
    }
    if (bestTo > bestFrom)
        ahead(d.stream.subspan(bestFrom, bestTo - bestFrom), bestAt);
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
        emitNewRows(sheet.bytes, flat, newRowSpans(flat, 0), nullptr, false, false, nullptr);
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
    for (const std::uint32_t text : m_added) {
        const auto [pos, offset] = appender.put(d.texts[text]);
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
        m_boundSheetEdits.push_back(pushEdit({at, at + 4, Bytes(4)}));
    }
}

// The layout: the old stream with the edits in place, in stream order.
std::vector<EditId> Editor::Impl::LayoutPass::inStreamOrder() const {
    std::vector<EditId> order(m_edits.size());
    for (std::size_t k = 0; k < order.size(); ++k)
        order[k] = EditId(static_cast<std::uint32_t>(k));
    std::stable_sort(order.begin(), order.end(), [&](EditId a, EditId b) {
        const Edit& x = m_edits[+a];
        const Edit& y = m_edits[+b];
        if (x.from != y.from)
            return x.from < y.from;
        return x.to == x.from && y.to != y.from; // an insertion before a replacement there
    });
    return order;
}

Layout Editor::Impl::LayoutPass::order() {
    Layout layout;
    layout.order = inStreamOrder();
    const std::vector<EditId>& order = layout.order;
    m_editOut.resize(m_edits.size());
    m_sortedTo.resize(order.size());
    m_deltaAfter.resize(order.size());
    std::int64_t delta = 0;
    for (std::size_t k = 0; k < order.size(); ++k) {
        const Edit& e = edit(order[k]);
        if (k > 0 && e.from < edit(order[k - 1]).to)
            refuse(Reason::EditsOverlap);
        m_editOut[+order[k]] = static_cast<std::size_t>(e.from + delta);
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
        set32(edit(m_boundSheetEdits[i]).bytes.data(), mapOld(d.sheets[i].position));
    for (std::size_t k = 0; k < m_newSheetEdits.size(); ++k)
        set32(&edit(*m_boundSheetEdit).bytes[m_newBoundSheetAt[k]], outAt(m_newSheetEdits[k]));
    for (const auto& [k, id] : m_indexEdits)
        fillIndex(k, &edit(id).bytes[4]);
    if (m_extSstEdit)
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
        set32(p + 16 + 4 * e, ref.edit ? static_cast<std::uint32_t>(outAt(*ref.edit) + ref.offset)
                                       : mapOld(ref.oldPos));
    }
}

// EXTSST: for the first string of each bucket, its stream position and its offset in its
// record.
void Editor::Impl::LayoutPass::fillExtSst() {
    const auto bucket = static_cast<std::size_t>(extSstBucketSize(m_uniqueCount));
    std::uint8_t* p = &edit(*m_extSstEdit).bytes[6];
    for (std::size_t i = 0; i < m_uniqueCount; i += bucket, p += 8) {
        std::uint32_t pos = 0;
        std::uint16_t offset = 0;
        if (i < d.strings.size()) {
            pos = mapOld(d.strings.position(static_cast<std::uint32_t>(i)));
            offset = d.strings.offsetInRecord(static_cast<std::uint32_t>(i));
        } else {
            const StringAt& at = m_addedAt[i - d.strings.size()];
            pos = outAt(*m_appendEdit) + at.pos;
            offset = at.offsetInRecord;
        }
        set32(p, pos);
        set16(p + 4, offset);
        set16(p + 6, 0);
    }
}

} // namespace workbook
