#pragma once
// The records the editor makes: new cells and rows, their row blocks' DBCELL records, the
// records of a new worksheet and its BOUNDSHEET, DIMENSIONS, and new strings appended to the
// shared-string table.

#include "workbook/editor_internal.h"

#include <map>
#include <span>

namespace workbook::editing {

// One row as it is emitted: its ROW record (old bytes or made) and its cells in column order.
struct RowOut {
    int row = 0;
    Bytes rowRecord;                          // 20 bytes with header, or empty
    std::vector<std::pair<int, Bytes>> cells; // first column, record bytes
};

// The edits of one row: a run of the sheet's sorted edits, in column order, one per cell.
using RowChanges = std::span<const CellEdit>;
// The changed rows of a block, in row order.
struct RowOfEdits {
    int row;
    RowChanges edits;
};
using BlockChanges = std::vector<RowOfEdits>;

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
void setColumnSpan(RowOut& row);

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
               std::vector<std::size_t>* dbcellOffsets);

// A ROW record for a row that has none: default height, no format.
Bytes newRowRecord(const Substream& s, int row);

// Rows of edits, each as the range of its edits in a sheet's sorted edits.
using RowSpans = std::vector<std::pair<std::size_t, std::size_t>,
                             detail::BigAllocator<std::pair<std::size_t, std::size_t>>>;

// The ROW record of a new row made of edits [first, end) of `flat`.
void putNewRowRecord(Bytes& out, const CellEdits& flat, std::pair<std::size_t, std::size_t> edits,
                     std::uint16_t height);

// DIMENSIONS of a new sheet from its edits: the first row and column in use, one past the
// last; all zero for an empty sheet.
void putNewDimensions(Bytes& out, const CellEdits& flat);

// DIMENSIONS widened by the edits that give a cell a value; `data` is the old record's.
void widenDimensions(std::uint8_t* data, const CellEdits& flat);

// The records of a new, empty worksheet up to its cells, and after them.
void putNewSheetStart(Bytes& out);

void putNewSheetEnd(Bytes& out);

// A BOUNDSHEET of a new visible worksheet, its stream position still zero; returns where
// that position lies in `out`.
std::size_t putNewBoundSheet(Bytes& out, const QString& name);

// New strings at the end of the shared-string table: in its last record while that has
// room, then in new CONTINUE records. A string's header stays in one record, a character is
// never split, and characters that go on in a CONTINUE follow a fresh flags byte there.
class StringAppender {
public:
    // `used`: the data bytes of the record being filled; `header`: where that record's
    // header lies in `out`, none when it is the table's old last record.
    StringAppender(Bytes& out, std::optional<std::size_t> header, std::size_t used)
        : m_out(out), m_header(header), m_used(used) {}

    // Appends `text`; returns where it starts in `out` and in its record. Its header and the
    // characters that fit go into the record being filled, the rest into CONTINUE records,
    // each beginning with the flags byte again.
    std::pair<std::uint32_t, std::uint16_t> put(const QString& text) {
        const bool wide = !fitsLatin1(text);
        const std::size_t charSize = wide ? 2 : 1;
        if (MaxRecordData - m_used < 3 + charSize)
            newContinue();
        const std::pair<std::uint32_t, std::uint16_t> at{static_cast<std::uint32_t>(m_out.size()),
                                                         static_cast<std::uint16_t>(4 + m_used)};
        const auto count = static_cast<std::size_t>(text.size());
        std::size_t done = 0;
        for (std::size_t head = 3; head == 3 || done < count; head = 1) {
            if (head == 1)
                newContinue();
            const std::size_t n =
                std::min(count - done, (MaxRecordData - m_used - head) / charSize);
            const std::size_t filled = m_out.size();
            m_out.resize(filled + head + n * charSize);
            std::uint8_t* p = m_out.data() + filled;
            if (head == 3) {
                set16(p, static_cast<std::uint16_t>(count));
                p += 2;
            }
            *p++ = wide ? 1 : 0;
            const QChar* chars = text.constData() + done;
            for (std::size_t k = 0; k < n; ++k) {
                const char16_t c = chars[k].unicode();
                if (wide) {
                    set16(p, c);
                    p += 2;
                } else {
                    *p++ = static_cast<std::uint8_t>(c);
                }
            }
            m_used += head + n * charSize;
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

} // namespace workbook::editing
