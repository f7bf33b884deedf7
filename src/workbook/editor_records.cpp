#include "workbook/editor_records.h"

#include <array>

namespace workbook::editing {

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

void putNewRowRecord(Bytes& out, const CellEdits& flat, std::pair<std::size_t, std::size_t> edits,
                     std::uint16_t height) {
    int first = MaxColumns;
    int last = 0;
    for (std::size_t i = edits.first; i < edits.second; ++i)
        if (flat[i].hasValue()) {
            first = std::min<int>(first, flat[i].column);
            last = std::max(last, flat[i].column + 1);
        }
    // Made whole, then appended in one piece: a store makes one for every new row.
    std::array<std::uint8_t, 20> r{};
    set16(&r[0], rtRow);
    set16(&r[2], 16);
    set16(&r[4], static_cast<std::uint16_t>(flat[edits.first].row));
    set16(&r[6], static_cast<std::uint16_t>(first));
    set16(&r[8], static_cast<std::uint16_t>(last));
    set16(&r[10], height);
    set16(&r[16], 0x0100);
    set16(&r[18], 0x000F);
    out.insert(out.end(), r.begin(), r.end());
}

namespace {
// The rows and columns that the edits giving a cell a value take, the first and one past the
// last; none when no edit gives one. The edits are in row order.
struct Bounds {
    std::uint32_t firstRow, endRow;
    std::uint16_t firstColumn, endColumn;
};
std::optional<Bounds> valueBounds(const CellEdits& flat) {
    const auto first =
        std::find_if(flat.begin(), flat.end(), [](const CellEdit& e) { return e.hasValue(); });
    if (first == flat.end())
        return std::nullopt;
    const auto last =
        std::find_if(flat.rbegin(), flat.rend(), [](const CellEdit& e) { return e.hasValue(); });
    std::uint16_t firstColumn = first->column;
    std::uint16_t lastColumn = first->column;
    for (auto e = first; e != last.base(); ++e)
        if (e->hasValue()) {
            firstColumn = std::min(firstColumn, e->column);
            lastColumn = std::max(lastColumn, e->column);
        }
    return Bounds{static_cast<std::uint32_t>(first->row), static_cast<std::uint32_t>(last->row) + 1,
                  firstColumn, static_cast<std::uint16_t>(lastColumn + 1)};
}
} // namespace

void putNewDimensions(Bytes& out, const CellEdits& flat) {
    const Bounds b = valueBounds(flat).value_or(Bounds{0, 0, 0, 0});
    putHeader(out, rtDimensions, 14);
    put32(out, b.firstRow);
    put32(out, b.endRow);
    put16(out, b.firstColumn);
    put16(out, b.endColumn);
    put16(out, 0);
}

void widenDimensions(std::uint8_t* data, const CellEdits& flat) {
    const std::optional<Bounds> edits = valueBounds(flat);
    if (!edits)
        return;
    Bounds b = *edits;
    // An empty sheet's DIMENSIONS give no bounds to widen.
    if (le32(data) < le32(data + 4) && le16(data + 8) < le16(data + 10)) {
        b.firstRow = std::min(b.firstRow, le32(data));
        b.endRow = std::max(b.endRow, le32(data + 4));
        b.firstColumn = std::min(b.firstColumn, le16(data + 8));
        b.endColumn = std::max(b.endColumn, le16(data + 10));
    }
    set32(data, b.firstRow);
    set32(data + 4, b.endRow);
    set16(data + 8, b.firstColumn);
    set16(data + 10, b.endColumn);
}

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

} // namespace workbook::editing
