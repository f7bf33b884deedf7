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

RowSpans rowsWithValues(const CellEdits& flat, std::size_t from) {
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

void putNewDimensions(Bytes& out, const CellEdits& flat) {
    int firstRow = -1;
    int lastRow = -1;
    int firstColumn = MaxColumns;
    int lastColumn = -1;
    for (const CellEdit& e : flat)
        if (e.hasValue()) {
            if (firstRow < 0)
                firstRow = e.row;
            lastRow = e.row;
            firstColumn = std::min<int>(firstColumn, e.column);
            lastColumn = std::max<int>(lastColumn, e.column);
        }
    const bool empty = firstRow < 0;
    putHeader(out, rtDimensions, 14);
    put32(out, empty ? 0 : static_cast<std::uint32_t>(firstRow));
    put32(out, empty ? 0 : static_cast<std::uint32_t>(lastRow + 1));
    put16(out, empty ? 0 : static_cast<std::uint16_t>(firstColumn));
    put16(out, empty ? 0 : static_cast<std::uint16_t>(lastColumn + 1));
    put16(out, 0);
}

void widenDimensions(std::uint8_t* data, const CellEdits& flat) {
    std::uint32_t rwMic = le32(data);
    std::uint32_t rwMac = le32(data + 4);
    std::uint16_t colMic = le16(data + 8);
    std::uint16_t colMac = le16(data + 10);
    const bool empty = rwMac <= rwMic || colMac <= colMic;
    for (const CellEdit& e : flat) {
        if (!e.hasValue())
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
