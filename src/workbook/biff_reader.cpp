#include "workbook/biff_reader.h"
#include "workbook/reasons.h"
#include "workbook/shared_strings.h"

#include <algorithm>
#include <vector>

namespace workbook::biff {

namespace {

// The reader stops at the first damage it finds; readStream() turns the error into its
// verdict.
[[noreturn]] void damaged(Reason reason) {
    throw Error(Error::Kind::Damaged, {}, reasonText(reason));
}

// The records of the stream, a record that runs past it or an end before EOF damage.
class RecordReader {
public:
    explicit RecordReader(std::span<const std::uint8_t> stream) : m_cursor(stream) {}

    void seek(std::size_t position) {
        if (position >= m_cursor.stream().size())
            damaged(Reason::SheetOutsideStream);
        m_cursor.seek(position);
    }
    Record next() {
        Record r;
        switch (m_cursor.next(r)) {
        case RecordProblem::None:
            return r;
        case RecordProblem::NoHeader:
            damaged(Reason::StreamEndsEarly);
        case RecordProblem::PastEnd:
            break;
        }
        damaged(Reason::RecordPastEnd);
    }
    std::span<const std::uint8_t> stream() const { return m_cursor.stream(); }
    // The CONTINUE records that follow.
    std::vector<Record> continues() {
        std::vector<Record> out;
        while (m_cursor.peekType() == rtContinue)
            out.push_back(next());
        return out;
    }
    // The data of `first` and of the CONTINUE records after it.
    Segments withContinues(const Record& first) {
        Segments data = m_cursor.continued(first, segmentsFail);
        if (m_cursor.peekType() == rtContinue) // one that runs past the stream
            damaged(Reason::RecordPastEnd);
        return data;
    }

private:
    [[noreturn]] static void segmentsFail(bool characterSplit) {
        damaged(characterSplit ? Reason::CharacterSplit : Reason::TextPastRecords);
    }
    RecordCursor m_cursor;
};

// The shared strings ([MS-XLS] 2.4.265 SST): the SST record and its CONTINUE records.
void readSst(SharedStrings& strings, const Record& sst, RecordReader& records) {
    std::vector<SharedStrings::Part> parts{{sst.pos, sst.size}};
    for (const Record& r : records.continues())
        parts.push_back({r.pos, r.size});
    switch (strings.read(records.stream(), std::move(parts), SharedStrings::Count::AtLeast)) {
    case SharedStrings::Problem::None:
        return;
    case SharedStrings::Problem::CountMismatch:
        damaged(Reason::TextPastRecords);
    case SharedStrings::Problem::CharacterSplit:
        damaged(Reason::CharacterSplit);
    }
}

struct Globals {
    NumberFormats formats;
    std::vector<std::pair<std::uint32_t, QString>> sheets; // stream position, name
    SharedStrings sst;
    CellReading reading = CellReading::Store;
};

// How the globals' date system, number formats and cell formats show numbers.
void noteFormat(Globals& g, const Record& r) {
    if (g.formats.note(r))
        return;
    if (r.type == rtXf)
        damaged(Reason::CellFormatShort);
    damaged(r.size < 2 ? Reason::NumberFormatShort : Reason::TextPastRecord);
}

Globals readGlobals(RecordReader& records) {
    Record bof = records.next();
    if (bof.type != rtBof || bof.size < 4)
        damaged(Reason::NoStartRecord);
    if (bof.u16(0) != 0x0600) // left to FreeXL; readStream() looks before
        damaged(Reason::OlderVersion);
    if (bof.u16(2) != 5)
        damaged(Reason::NoGlobals);
    Globals g;
    for (;;) {
        const Record r = records.next();
        switch (r.type) {
        case rtEof:
            return g;
        case rtFilePass:
            throw Error(Error::Kind::Encrypted, {}, reasonText(Reason::PasswordProtected));
        case rtBof:
            damaged(Reason::GlobalsUnended);
        case rtDate1904:
        case rtFormat:
        case rtXf:
            noteFormat(g, r);
            break;
        case rtBoundSheet: {
            if (r.size < 8)
                damaged(Reason::SheetEntryShort);
            if (r.data[5] != 0) // a chart, macro or dialog sheet: no cells to read
                break;
            std::optional<QString> name = shortStringAt(r.data, r.size, 6);
            if (!name)
                damaged(Reason::SheetNamePastRecord);
            g.sheets.emplace_back(r.u32(0), std::move(*name));
            break;
        }
        case rtSst:
            g.sst = SharedStrings(); // of two tables, the last counts
            readSst(g.sst, r, records);
            break;
        default:
            break;
        }
    }
}

class SheetReader {
public:
    SheetReader(const Globals& g, Sheet& sheet, std::vector<std::uint32_t>& pooled)
        : m_g(g), m_sheet(sheet), m_pooled(pooled) {}
    ~SheetReader() {
        for (const std::uint32_t i : m_touched)
            m_pooled[i] = UINT32_MAX;
    }
    SheetReader(const SheetReader&) = delete;
    SheetReader& operator=(const SheetReader&) = delete;

    void read(RecordReader& records);

private:
    // The cell of record `r` at `column`.
    void cell(const Record& r, int row, int column) {
        if (column >= MaxColumns)
            damaged(Reason::CellBeyondLastColumn);
        std::optional<CellContent> c = decodeCell(r, column);
        if (c ? c->xf >= m_g.formats.shown.size() : r.u16(4) >= m_g.formats.shown.size())
            damaged(Reason::CellFormatMissing);
        if (!c)
            damaged(Reason::TextPastRecord);
        put(row + 1, column + 1, *c);
    }
    void put(int row, int column, CellContent& c);

    const Globals& m_g;
    Sheet& m_sheet;
    std::vector<std::uint32_t>& m_pooled; // shared-string index to the sheet's own string
    std::vector<std::uint32_t> m_touched;
    // A formula whose text result follows in STRING (1-based row and column, 0 for none).
    int m_pendingRow = 0;
    int m_pendingColumn = 0;
};

void SheetReader::read(RecordReader& records) {
    const Record bof = records.next();
    if (bof.type != rtBof || bof.size < 4 || bof.u16(0) != 0x0600)
        damaged(Reason::SheetNoStartRecord);
    if (bof.u16(2) != 0x10)
        damaged(Reason::SheetOfOtherKind);
    for (;;) {
        const Record r = records.next();
        if (r.type == rtString) {
            // The text result of the formula before, over STRING and its CONTINUE records.
            Segments data = records.withContinues(r);
            if (m_pendingRow > 0)
                m_sheet.setText(m_pendingRow, m_pendingColumn, continuedString(data));
            m_pendingRow = 0;
            continue;
        }
        if (r.type != rtSharedFormula && r.type != rtArray && r.type != rtTable)
            m_pendingRow = 0;
        if (r.type == rtEof)
            return;
        if (r.type == rtBof) { // an embedded chart: skipped up to its own EOF
            for (int depth = 1; depth > 0;) {
                const std::uint16_t type = records.next().type;
                depth += type == rtBof ? 1 : type == rtEof ? -1 : 0;
            }
            continue;
        }
        if (!isCellRecord(r.type) || r.type == rtBlank || r.type == rtMulBlank)
            continue;
        if (r.size < cellRecordSize(r.type))
            damaged(Reason::CellRecordShort);
        const std::optional<int> last = lastColumn(r);
        if (!last)
            damaged(Reason::NumberListLength);
        for (int column = r.u16(2); column <= *last; ++column)
            cell(r, r.u16(0), column);
    }
}

void SheetReader::put(int row, int column, CellContent& c) {
    switch (c.kind) {
    case CellContent::Kind::Empty:
        break;
    case CellContent::Kind::Number:
        if (m_g.reading == CellReading::Viewer)
            m_sheet.setNumber(row, column, c.number);
        else
            m_sheet.setValue(row, column, m_g.formats.value(c.number, c.xf));
        break;
    case CellContent::Kind::Text:
        m_sheet.setText(row, column, std::move(c.text));
        break;
    case CellContent::Kind::SharedText:
        if (c.index >= m_g.sst.size())
            damaged(Reason::SharedTextMissing);
        if (m_pooled[c.index] == UINT32_MAX) {
            // A sheet read for viewing is never added to: its texts are not sought.
            m_pooled[c.index] = m_g.reading == CellReading::Viewer
                                    ? m_sheet.appendString(m_g.sst.text(c.index))
                                    : m_sheet.addString(m_g.sst.text(c.index));
            m_touched.push_back(c.index);
        }
        m_sheet.setStringCell(row, column, m_pooled[c.index]);
        break;
    case CellContent::Kind::Boolean:
        m_sheet.setBoolean(row, column, c.boolean);
        break;
    case CellContent::Kind::Error: // left empty for the store, its text for the viewer
        if (m_g.reading == CellReading::Viewer)
            m_sheet.setText(row, column, errorText(c.error));
        break;
    case CellContent::Kind::FormulaText:
        m_pendingRow = row;
        m_pendingColumn = column;
        break;
    }
}

} // namespace

namespace {
// Whether the stream starts with the BOF of an older BIFF version, which FreeXL reads.
bool olderVersion(std::span<const std::uint8_t> stream) {
    Record bof;
    return recordAt(stream, 0, bof) == RecordProblem::None && bof.type == rtBof && bof.size >= 4 &&
           bof.u16(0) != 0x0600;
}
} // namespace

StreamResult readStream(std::span<const std::uint8_t> stream, CellReading reading) {
    if (olderVersion(stream))
        return {StreamResult::Verdict::Unsupported, std::nullopt, reasonText(Reason::OlderVersion)};
    try {
        RecordReader records(stream);
        Globals g = readGlobals(records);
        g.reading = reading;
        if (g.sheets.empty())
            damaged(Reason::NoWorksheet);
        if (g.sheets.size() > MaxSheets)
            damaged(Reason::TooManySheetsListed);
        std::vector<std::uint32_t> pooled(g.sst.size(), UINT32_MAX);
        Book book;
        for (const auto& [position, name] : g.sheets) {
            records.seek(position);
            SheetReader(g, book.appendSheet(name), pooled).read(records);
        }
        return {StreamResult::Verdict::Read, std::move(book), {}};
    } catch (const Error& e) { // damage, a password, a cell beyond what a worksheet holds
        return {e.kind() == Error::Kind::Encrypted ? StreamResult::Verdict::Encrypted
                                                   : StreamResult::Verdict::Damaged,
                std::nullopt, e.reason()};
    }
}

} // namespace workbook::biff
