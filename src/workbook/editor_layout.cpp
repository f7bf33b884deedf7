// The layout of the edited stream, its first half: the cells, rows and sheets edited, and the
// new rows laid out last (editor_positions.cpp has the rest).

#include "workbook/editor_layout.h"

#include <array>
#include <cstring>

namespace workbook {

Layout Editor::Impl::build(const Ahead& ahead, std::size_t sectorSize) const {
    waitForSeeking();
    return LayoutPass(*this).run(ahead, sectorSize);
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
    if (const std::optional<std::uint32_t> found = d.stringOf(text)) {
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

} // namespace workbook
