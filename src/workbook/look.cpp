#include "workbook/look.h"

#include "workbook/number_format.h"

#include <algorithm>

namespace workbook {

namespace {

// The palette a workbook has when it brings none of its own ([MS-XLS] 2.5.161), indices 8
// to 63.
constexpr std::uint32_t kDefaultPalette[56] = {
    0x000000, 0xFFFFFF, 0xFF0000, 0x00FF00, 0x0000FF, 0xFFFF00, 0xFF00FF, 0x00FFFF,
    0x800000, 0x008000, 0x000080, 0x808000, 0x800080, 0x008080, 0xC0C0C0, 0x808080,
    0x9999FF, 0x993366, 0xFFFFCC, 0xCCFFFF, 0x660066, 0xFF8080, 0x0066CC, 0xCCCCFF,
    0x000080, 0xFF00FF, 0xFFFF00, 0x00FFFF, 0x800080, 0x800000, 0x008080, 0x0000FF,
    0x00CCFF, 0xCCFFFF, 0xCCFFCC, 0xFFFF99, 0x99CCFF, 0xFF99CC, 0xCC99FF, 0xFFCC99,
    0x3366FF, 0x33CCCC, 0x99CC00, 0xFFCC00, 0xFF9900, 0xFF6600, 0x666699, 0x969696,
    0x003366, 0x339966, 0x003300, 0x333300, 0x993300, 0x993366, 0x333399, 0x333333,
};

// The eight fixed colours of indices 0 to 7.
constexpr std::uint32_t kFixedColours[8] = {0x000000, 0xFFFFFF, 0xFF0000, 0x00FF00,
                                            0x0000FF, 0xFFFF00, 0xFF00FF, 0x00FFFF};

} // namespace

void CellFormats::set(int row, int column, std::uint16_t format) {
    if (row < 0 || column < 0 || column >= 256 || row >= 65536)
        return;
    if (m_columns.size() <= static_cast<std::size_t>(column))
        m_columns.resize(static_cast<std::size_t>(column) + 1);
    std::vector<Run>& runs = m_columns[static_cast<std::size_t>(column)];
    const auto r = static_cast<std::uint32_t>(row);
    if (runs.empty()) {
        if (r > 0)
            runs.push_back({0, kNone});
        runs.push_back({r, format});
        runs.push_back({r + 1, kNone});
        return;
    }
    Run& end = runs.back(); // the kNone run after the last cell
    if (r >= end.firstRow) {
        // Cells come down a column in order: the last run grows, or a new one starts.
        if (r == end.firstRow && runs.size() >= 2 && runs[runs.size() - 2].format == format) {
            end.firstRow = r + 1;
        } else if (r == end.firstRow) {
            end.format = format;
            runs.push_back({r + 1, kNone});
        } else {
            runs.push_back({r, format});
            runs.push_back({r + 1, kNone});
        }
        return;
    }
    // A cell above the last one: the run holding it is split around it.
    auto it = std::upper_bound(runs.begin(), runs.end(), r,
                               [](std::uint32_t v, const Run& run) { return v < run.firstRow; });
    --it;
    if (it->format == format)
        return;
    const std::uint32_t runEnd = std::next(it)->firstRow;
    const std::uint16_t old = it->format;
    std::vector<Run> pieces;
    if (it->firstRow < r)
        pieces.push_back({it->firstRow, old});
    pieces.push_back({r, format});
    if (r + 1 < runEnd)
        pieces.push_back({r + 1, old});
    it = runs.erase(it);
    runs.insert(it, pieces.begin(), pieces.end());
}

std::uint16_t CellFormats::at(int row, int column) const {
    if (row < 0 || column < 0 || static_cast<std::size_t>(column) >= m_columns.size())
        return kNone;
    const std::vector<Run>& runs = m_columns[static_cast<std::size_t>(column)];
    const auto r = static_cast<std::uint32_t>(row);
    auto it = std::upper_bound(runs.begin(), runs.end(), r,
                               [](std::uint32_t v, const Run& run) { return v < run.firstRow; });
    return it == runs.begin() ? kNone : std::prev(it)->format;
}

std::size_t CellFormats::runCount() const {
    std::size_t n = 0;
    for (const auto& runs : m_columns)
        n += runs.size();
    return n;
}

const ColumnLook* SheetLook::column(int c) const {
    for (const ColumnLook& look : columns)
        if (c >= look.first && c <= look.last)
            return &look;
    return nullptr;
}

std::uint16_t SheetLook::formatAt(int row, int c) const {
    const std::uint16_t own = cells.at(row, c);
    if (own != CellFormats::kNone)
        return own;
    if (const auto it = rows.find(row); it != rows.end() && it->second.format != CellFormats::kNone)
        return it->second.format;
    if (const ColumnLook* look = column(c))
        return look->format;
    return 15;
}

BookLook::BookLook() : palette(std::begin(kDefaultPalette), std::end(kDefaultPalette)) {}

QString BookLook::numberFormatCode(std::uint16_t id) const {
    if (const auto it = numberFormats.find(id); it != numberFormats.end())
        return it->second;
    const QString builtIn = builtInFormatCode(id);
    return builtIn.isEmpty() ? QStringLiteral("General") : builtIn;
}

const FontLook& BookLook::font(std::uint16_t index) const {
    static const FontLook none;
    const std::size_t i = index >= 4 ? index - 1u : index;
    if (i < fonts.size())
        return fonts[i];
    return fonts.empty() ? none : fonts.front();
}

std::uint32_t BookLook::colour(ColourIndex index, std::uint32_t fallback) const {
    if (index < 8)
        return kFixedColours[index];
    if (index - 8u < palette.size())
        return palette[index - 8u];
    return fallback;
}

} // namespace workbook
