// The edited stream's layout, its second half: the settled run told ahead, the globals' edits
// (new sheets, shared strings, EXTSST, INDEX, BOUNDSHEET), and where every edit lands.

#include "workbook/editor_layout.h"

#include <optional>

namespace workbook {

// The longest run of old bytes whose place in the edited stream is known before the new rows
// are laid out: one between two edits that come before the first new rows.
Editor::Impl::LayoutPass::SettledRun Editor::Impl::LayoutPass::settledRun() const {
    SettledRun best;
    std::uint32_t copied = 0;
    std::size_t out = 0;
    for (const EditId k : inStreamOrder()) {
        const Edit& e = m_edits[+k];
        if (e.from > copied) {
            if (e.from - copied > best.to - best.from)
                best = {copied, e.from, out};
            out += e.from - copied;
        }
        if (std::any_of(m_newRows.begin(), m_newRows.end(),
                        [k](const NewRows& n) { return n.edit == k; }))
            break;
        out += e.bytes.size();
        copied = std::max(copied, e.to);
    }
    return best;
}

void Editor::Impl::LayoutPass::tellSettledRun(const Ahead& ahead) {
    if (const SettledRun run = settledRun(); run.to > run.from)
        ahead(d.stream.subspan(run.from, run.to - run.from), run.at);
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
    std::size_t most = append.bytes.size();
    for (const std::uint32_t text : m_added)
        most += 3 + 2 * static_cast<std::size_t>(d.texts[text].size());
    append.bytes.reserve(most + most / (MaxRecordData - 1) * 5 + 5);
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
        m_sstCounts = pushEdit({head.pos + 4, head.pos + 12, std::move(counts)});
        m_sstExtension = extension;
        if (extension > 0) {
            const Rec& last = d.globals[d.sstRecEnd - 1];
            Bytes length;
            put16(length, static_cast<std::uint16_t>(last.size + extension));
            m_sstLength = pushEdit({last.pos + 2, last.pos + 4, std::move(length)});
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
        if (m_resplit && i >= m_resplit->first && i < m_resplit->first + m_resplit->at.size()) {
            const StringAt& at = m_resplit->at[i - m_resplit->first];
            pos = outAt(m_resplit->edit) + at.pos;
            offset = at.offsetInRecord;
        } else if (i < d.strings.size()) {
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
