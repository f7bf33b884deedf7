#pragma once
// What the record-level editor (editor.h) knows of a workbook stream, shared by its parts:
// reading the globals and the sheets' records (editor_read.cpp), the strict index of a
// worksheet's cell table and the cells read through it (editor_cell_table.cpp), the records it
// makes (editor_records.cpp), the layout of the edited stream (editor_layout.cpp) and the
// editor's own functions (editor.cpp).

#include "workbook/big_memory.h"
#include "workbook/cell_decoder.h"
#include "workbook/compound_file.h"
#include "workbook/editor.h"
#include "workbook/reasons.h"
#include "workbook/record_cursor.h"
#include "workbook/shared_strings.h"
#include "workbook/text_pool.h"

#include <QHash>
#include <QtEndian>

#include <algorithm>
#include <functional>
#include <future>
#include <map>
#include <optional>
#include <span>
#include <vector>

namespace workbook {

namespace editing {

using namespace biff;

constexpr std::size_t RowsPerBlock = 32;

// The editor cannot keep the file whole: the reason from the table, with its particulars.
[[noreturn]] inline void refuse(Reason reason) {
    throw Error(Error::Kind::Unkeepable, {}, reasonText(reason));
}
[[noreturn]] inline void refuse(Reason reason, const QString& particular) {
    throw Error(Error::Kind::Unkeepable, {}, reasonText(reason).arg(particular));
}

// The text of a reason about sheet `index` (0-based): `named` with its name, or `numbered`
// with its number when it has no name to show.
inline QString aboutSheet(Reason named, Reason numbered, const QString& name, std::size_t index) {
    return name.isEmpty() ? reasonText(numbered).arg(index + 1) : reasonText(named).arg(name);
}

// Bytes the edited stream gains: new rows, strings, records rewritten.
using Bytes = std::vector<std::uint8_t, detail::BigAllocator<std::uint8_t>>;

inline void put16(Bytes& out, std::uint16_t v) {
    const std::size_t at = out.size();
    out.resize(at + 2);
    qToLittleEndian(v, out.data() + at);
}
inline void put32(Bytes& out, std::uint32_t v) {
    const std::size_t at = out.size();
    out.resize(at + 4);
    qToLittleEndian(v, out.data() + at);
}
inline void set16(std::uint8_t* p, std::uint16_t v) {
    qToLittleEndian(v, p);
}
inline void set32(std::uint8_t* p, std::uint32_t v) {
    qToLittleEndian(v, p);
}
inline void putHeader(Bytes& out, std::uint16_t type, std::size_t size) {
    put16(out, type);
    put16(out, static_cast<std::uint16_t>(size));
}

// Records that belong to the cell before them: a formula's text result, shared formula,
// array or table, and the CONTINUE of any record.
inline bool isAttached(std::uint16_t type) {
    return type == rtString || type == rtSharedFormula || type == rtArray || type == rtTable ||
           type == rtContinue;
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

// A text or a number to write, as setCell() stores it; nothing for an empty cell. A text is
// the number of its string among the editor's texts, each of which it holds once.
struct CellValue {
    double value = 0;
    std::uint32_t text = 0;
    bool number = false;
    bool boolean = false; // with number: a boolean, value 1 or 0
};

// An edit as the editor keeps it until the layout, in 16 bytes: the editor of a new workbook
// holds one for every cell of the book.
class CellEdit {
public:
    CellEdit() : CellEdit(0, 0, std::nullopt) {}
    CellEdit(int atRow, int atColumn, const std::optional<CellValue>& value)
        : row(atRow), column(static_cast<std::uint16_t>(atColumn)) {
        if (!value) {
            m_kind = Kind::Cleared;
        } else if (!value->number) {
            m_kind = Kind::Text;
            m_text = value->text;
        } else {
            m_kind = value->boolean ? Kind::Boolean : Kind::Number;
            m_number = value->value;
        }
    }

    std::int32_t row; // 0-based
    std::uint16_t column;

    // Whether the edit leaves a value (not an emptied cell).
    bool hasValue() const { return m_kind != Kind::Cleared; }
    // Whether the edit leaves a text, and which (by the editor's number for it).
    bool isText() const { return m_kind == Kind::Text; }
    std::uint32_t textNumber() const { return m_text; }
    std::optional<CellValue> value() const {
        switch (m_kind) {
        case Kind::Cleared:
            return std::nullopt;
        case Kind::Text:
            return CellValue{0, m_text, false, false};
        case Kind::Number:
            return CellValue{m_number, 0, true, false};
        case Kind::Boolean:
            return CellValue{m_number, 0, true, true};
        }
        return std::nullopt;
    }

private:
    enum class Kind : std::uint8_t { Cleared, Text, Number, Boolean };
    Kind m_kind;
    union {
        double m_number;
        std::uint32_t m_text;
    };
};
static_assert(sizeof(CellEdit) == 16);
using CellEdits = std::vector<CellEdit, detail::BigAllocator<CellEdit>>;

struct Edit {
    std::uint32_t from;
    std::uint32_t to;
    Bytes bytes;
};

// An edit of the layout by the order it was made in, which is not the stream order its bytes
// land in once the edits are sorted.
enum class EditId : std::uint32_t {};
inline std::size_t operator+(EditId id) {
    return static_cast<std::size_t>(id);
}

struct Layout {
    std::vector<Edit> edits;   // by EditId
    std::vector<EditId> order; // the edits in stream order
    std::size_t size = 0;      // of the edited stream
};

// Where a DBCELL of the edited stream lies: at the new place of an old one, or inside an edit.
struct DbCellRef {
    std::uint32_t oldPos = 0;
    std::optional<EditId> edit; // none: an old DBCELL, moved
    std::size_t offset = 0;
};

inline bool fitsLatin1(QStringView s) {
    return std::all_of(s.begin(), s.end(), [](QChar c) { return c.unicode() < 0x100; });
}

// Why the record at a position cannot be read: `missing` when the stream ends before its
// header, a record past the stream's end otherwise.
[[noreturn]] [[gnu::cold]] inline void refuseRecord(RecordProblem problem, Reason missing) {
    refuse(problem == RecordProblem::NoHeader ? missing : Reason::RecordPastEnd);
}

// The record at `pos`, or refused as refuseRecord() says. A sheet has some 400,000 records:
// the bounds are checked in line, the refusal kept out of the way.
inline Rec recordOrRefuse(std::span<const std::uint8_t> stream, std::uint32_t pos, Reason missing) {
    Record r;
    if (const RecordProblem problem = biff::recordAt(stream, pos, r);
        problem != RecordProblem::None) [[unlikely]]
        refuseRecord(problem, missing);
    return {r.pos, r.type, r.size};
}

} // namespace editing

using namespace editing;

struct Editor::Impl {
    QString path;
    // The file as read (none for an editor of a stream alone) and the workbook stream: a
    // view into the image's buffer of it, or into `ownStream`.
    std::optional<detail::CompoundImage> image;
    std::vector<std::uint8_t> ownStream;
    std::span<const std::uint8_t> stream;
    // How much of the stream is in: all of it, but while the file is still being read behind
    // the records read from it. A record's reader first waits for the most a record at `pos`
    // can take.
    std::size_t streamReady = SIZE_MAX;
    void needRecordAt(std::size_t pos) {
        if (pos + 8 + MaxRecordData > streamReady) [[unlikely]]
            awaitStream(pos + 8 + MaxRecordData);
    }
    void awaitStream(std::size_t end);

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
    std::uint32_t stringCount = 0; // as the table's header gives it, before it is read

    std::vector<Substream> substreams;
    std::vector<SheetEntry> sheets;
    // The shared strings are read on a helper thread while the sheets are (declared after all
    // it touches, so that it is waited for before they go).
    std::future<void> stringsRead;

    // Edits.
    // By sheet, in the order they were made; put in order (once) by sortedEdits().
    mutable std::map<int, CellEdits> cellEdits;
    // The edits of `sheet`; the last sheet's found again at once (a store sets one sheet).
    CellEdits& editsOf(int sheet) {
        if (sheet != lastEditedSheet) {
            lastEdits = &cellEdits[sheet];
            lastEditedSheet = sheet;
        }
        return *lastEdits;
    }
    CellEdits* lastEdits = nullptr;
    int lastEditedSheet = -1;
    // Throws Error (InvalidUse) unless the cell can be set.
    void checkCell(const Editor& editor, int sheet, int row, int column);
    int worksheetChecked = -1; // the sheet checkCell() last found a worksheet
    // A sheet's edits in row and column order, the last of a cell's edits only.
    const CellEdits& sortedEdits(int sheet) const;
    std::vector<QString> newSheets; // names; their indices follow the file's sheets
    // The texts of the cell edits, each once, by the number a CellValue gives.
    TextPool<detail::BigAllocator<QString>> texts;
    std::uint32_t textNumber(const QString& text);
    // The shared string of a text: the one found beforehand (seekStrings()), or sought now.
    std::optional<std::uint32_t> stringOf(std::uint32_t text) const;
    // Seeks the shared strings of many texts just handed over (`numbers`) on a helper thread,
    // while their cells are set. Until it is done, the strings and the texts are not touched
    // on this one: whatever would touch them waits for it first (waitForSeeking()).
    void seekStrings(const std::vector<std::uint32_t>& numbers);
    void waitForSeeking() const {
        if (seeking.valid())
            seeking.get();
    }
    static constexpr std::uint32_t NotSought = 0xFFFFFFFF, NotFound = 0xFFFFFFFE;
    std::vector<std::uint32_t> sought; // by text number: its string, NotFound or NotSought

    void read();
    void parse();
    void readGlobals();
    void globalRecord(std::size_t index, const Rec& r);
    void boundSheet(std::size_t index, const Rec& r);
    std::uint32_t readSstRecords(std::size_t index, std::uint32_t pos);
    void readSst(std::size_t first);
    void readStrings(std::vector<SharedStrings::Part> parts);
    void readSheets();
    // The records of the sheet at `position`; `bytes` is how far it may reach at most. A
    // sheet that BOUNDSHEET (`worksheet`) and its BOF both call a worksheet has its cell
    // table read with them.
    Substream readSubstream(std::uint32_t position, std::size_t bytes, bool worksheet);
    // The cell groups of records [from, to), up to the last one of row `lastRow`.
    std::vector<Group> groups(const Substream& s, std::size_t from, std::size_t to,
                              int lastRow = MaxRows) const;
    Value decode(const Substream& s, const Group& g, int column) const;
    Value formulaText(const Substream& s, const Group& g) const;
    mutable std::optional<biff::NumberFormats> numberFormats; // read when a cell is asked for
    Value number(double value, std::uint16_t xf) const;
    Value existingCell(const Substream& s, int row, int column) const;

    // The edited stream as the old one with edits in place; its pieces in stream order.
    // `ahead`, when given, is told the longest run of old bytes whose place in the edited
    // stream is known before the new rows are laid out (the rows above them, kept as they
    // were), so that they can be written while the rest is laid out. `sectorSize`, when not
    // 0, shifts those rows by whole sectors where it can (see editor_padding.cpp).
    class LayoutPass;
    using Ahead = detail::CompoundImage::WriteAhead;
    Layout build(const Ahead& ahead = {}, std::size_t sectorSize = 0) const;
    std::vector<std::span<const std::uint8_t>> pieces(const Layout& layout) const;

    // Last, so that it is waited for before anything it reads goes.
    mutable std::future<void> seeking;
};

} // namespace workbook
