// Padding the edited stream so that the old bytes after the globals move by a whole number of
// the compound file's sectors: a save into a copy of the old file then keeps their sectors
// and writes only the rest. The padding is CONTINUE breaks in the shared-string table's last
// record, which leave the table's strings as they were: 4 bytes for a break before a string,
// 5 for one inside a string's characters (whose flags byte comes again after it).

#include "workbook/editor_layout.h"

#include <algorithm>

namespace workbook {

void Editor::Impl::LayoutPass::padToSectors(std::size_t sectorSize) {
    if (!d.sst)
        return;
    const Rec& last = d.globals[d.sstRecEnd - 1];
    const auto unit = static_cast<std::int64_t>(sectorSize);
    const auto paddingFor = [&](const SettledRun& run) -> std::size_t {
        // A run shorter than two sectors has no sector to keep.
        if (run.to - run.from < 2 * sectorSize || last.end() > run.from)
            return 0;
        const std::int64_t shift = static_cast<std::int64_t>(run.at) - run.from;
        return static_cast<std::size_t>(((-shift) % unit + unit) % unit);
    };
    // With no string added, the old EXTSST stays as it is: the breaks must not move strings.
    std::size_t padding = paddingFor(settledRun());
    if (padding == 0 || (!m_extSstEdit && d.extSst))
        return;
    if (padding < 5 * (padding % 4))
        padding += sectorSize;
    std::optional<Bytes> bytes = resplitLastStrings(padding);
    if (!bytes) {
        m_resplit.reset();
        return;
    }
    Edit record{last.pos, last.end(), std::move(*bytes)};
    if (m_sstLength) {
        edit(*m_sstLength) = std::move(record);
        m_resplit->edit = *m_sstLength;
    } else {
        m_resplit->edit = pushEdit(std::move(record));
    }
    // The table's one record: its counts are in the new bytes.
    if (m_sstCounts && edit(*m_sstCounts).from >= last.pos)
        edit(*m_sstCounts) = {last.end(), last.end(), {}};
}

// Breaks worth `padding` bytes in the table's last record, whose strings start from string
// `first` on: before strings from its second on, and inside the strings' characters from the
// last string back (after any character but a string's last), in stream order; none when it
// has too few places for them.
std::vector<Editor::Impl::LayoutPass::PadBreak>
Editor::Impl::LayoutPass::paddingBreaks(std::size_t padding, std::size_t first) const {
    const std::size_t end = d.strings.size();
    std::vector<PadBreak> inside;
    for (std::size_t i = end; i-- > first;) {
        const std::uint32_t at = d.strings.position(static_cast<std::uint32_t>(i));
        const std::uint8_t flags = d.stream[at + 2];
        const std::uint32_t charSize = (flags & 0x01) != 0 ? 2 : 1;
        // The counts of rich-text runs and of phonetic bytes come before the characters.
        const std::uint32_t chars =
            at + 3 + ((flags & 0x08) != 0 ? 2 : 0) + ((flags & 0x04) != 0 ? 4 : 0);
        for (std::uint32_t k = 1; k < le16(&d.stream[at]); ++k)
            inside.push_back({chars + k * charSize, flags});
    }
    // padding = 4 * before + 5 * within, with as few inside breaks as will do.
    const std::size_t starts = end - first - 1;
    std::size_t within = padding % 4;
    while (within <= inside.size() && 5 * within <= padding && (padding - 5 * within) / 4 > starts)
        within += 4;
    if (within > inside.size() || 5 * within > padding)
        return {};
    std::vector<PadBreak> breaks(inside.begin(),
                                 inside.begin() + static_cast<std::ptrdiff_t>(within));
    for (std::size_t i = first + 1; i <= first + (padding - 5 * within) / 4; ++i)
        breaks.push_back({d.strings.position(static_cast<std::uint32_t>(i)), PadBreak::NoFlags});
    std::sort(breaks.begin(), breaks.end(),
              [](const PadBreak& x, const PadBreak& y) { return x.at < y.at; });
    return breaks;
}

// The table's last record with breaks worth `padding` bytes; nothing when it has too few
// places for them.
std::optional<Bytes> Editor::Impl::LayoutPass::resplitLastStrings(std::size_t padding) {
    const Rec& last = d.globals[d.sstRecEnd - 1];
    const std::uint32_t dataAt = last.pos + 4;
    std::size_t first = d.strings.size();
    while (first > 0 && d.strings.position(static_cast<std::uint32_t>(first - 1)) >= dataAt)
        --first;
    const std::size_t end = d.strings.size();
    if (end - first < 2)
        return std::nullopt;
    const std::vector<PadBreak> breaks = paddingBreaks(padding, first);
    if (breaks.empty())
        return std::nullopt;

    Bytes out(d.stream.begin() + last.pos, d.stream.begin() + dataAt);
    out.reserve(last.size + 4 + padding);
    std::size_t header = 0;
    m_resplit = Resplit{EditId(0), first, {}};
    std::size_t next = first;
    std::uint32_t from = dataAt;
    const auto copyTo = [&](std::uint32_t to) {
        for (; next < end && d.strings.position(static_cast<std::uint32_t>(next)) < to; ++next) {
            const std::size_t pos =
                out.size() + (d.strings.position(static_cast<std::uint32_t>(next)) - from);
            m_resplit->at.push_back(
                {static_cast<std::uint32_t>(pos), static_cast<std::uint16_t>(pos - header)});
        }
        out.insert(out.end(), d.stream.begin() + from, d.stream.begin() + to);
        from = to;
    };
    for (const PadBreak& b : breaks) {
        copyTo(b.at);
        set16(&out[header + 2], static_cast<std::uint16_t>(out.size() - header - 4));
        header = out.size();
        putHeader(out, rtContinue, 0);
        if (b.flags != PadBreak::NoFlags)
            out.push_back(b.flags & 0x01);
    }
    copyTo(last.end());
    const std::size_t kept = out.size() - header; // of the old record, in the last piece
    set16(&out[header + 2], static_cast<std::uint16_t>(kept - 4 + m_sstExtension));
    if (out.size() != last.size + 4 + padding)
        return std::nullopt;
    if (m_sstCounts && edit(*m_sstCounts).from >= last.pos) {
        const Bytes& counts = edit(*m_sstCounts).bytes;
        std::copy(counts.begin(), counts.end(), out.begin() + 4);
    }
    // The strings appended to the old last record are in its last piece now.
    for (StringAt& at : m_addedAt)
        if (at.pos < m_sstExtension)
            at.offsetInRecord =
                static_cast<std::uint16_t>(at.offsetInRecord - (4 + last.size) + kept);
    return out;
}

} // namespace workbook
