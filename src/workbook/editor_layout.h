#pragma once
// The pass that lays out the edited stream (editor_layout.cpp: cells, rows and sheets;
// editor_positions.cpp: the globals' edits and where every edit lands).

#include "workbook/editor_records.h"

#include <array>

namespace workbook {

// The edited stream's layout: the edits of every sheet, the new sheets and the shared
// strings, put in stream order; then the stream positions that the edits moved (BOUNDSHEET,
// INDEX, EXTSST) are filled in.
class Editor::Impl::LayoutPass {
public:
    explicit LayoutPass(const Impl& impl)
        : d(impl), m_defaultXf(impl.xfCount > 15 ? 15 : 0), m_plans(impl.substreams.size()) {}

    // `sectorSize`: when not 0, the old bytes after the globals are shifted by a whole number
    // of such sectors where the shared-string table can be padded for it.
    Layout run(const Ahead& ahead, std::size_t sectorSize = 0) {
        for (std::size_t si = 0; si < d.sheets.size(); ++si)
            planSheet(si);
        addNewSheets();
        appendStrings();
        sizeIndexes();
        reserveBoundSheetPositions();
        if (sectorSize != 0)
            padToSectors(sectorSize);
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
    struct SettledRun {
        std::uint32_t from = 0, to = 0; // in the old stream
        std::size_t at = 0;             // in the edited stream
    };
    SettledRun settledRun() const;
    void tellSettledRun(const Ahead& ahead);
    // Padding (editor_padding.cpp)
    void padToSectors(std::size_t sectorSize);
    std::optional<Bytes> resplitLastStrings(std::size_t padding);
    struct PadBreak {
        static constexpr std::uint8_t NoFlags = 0xFF;
        std::uint32_t at;
        std::uint8_t flags; // repeated after a break inside a string; NoFlags before one
    };
    std::vector<PadBreak> paddingBreaks(std::size_t padding, std::size_t first) const;
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
    // The shared-string table's count and last-record-length edits, and how many bytes the
    // appended strings put into its last record.
    std::optional<EditId> m_sstCounts, m_sstLength;
    std::size_t m_sstExtension = 0;
    // The table's last record split again for padding: its edit, where its strings now lie.
    struct Resplit {
        EditId edit;
        std::size_t first; // the first string that starts in it
        std::vector<StringAt> at;
    };
    std::optional<Resplit> m_resplit;
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

} // namespace workbook
