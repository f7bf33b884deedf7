#include "app/viewer_cells.h"

namespace records {

ViewerCells::ViewerCells(const workbook::Sheet& sheet) : m_name(sheet.name()) {
    const std::vector<workbook::detail::Row>& rows = sheet.rows();
    std::size_t cells = 0;
    for (const workbook::detail::Row& row : rows)
        cells += row.size();
    m_rowStart.reserve(rows.size() + 1);
    m_values.reserve(cells);
    m_kinds.reserve(cells);
    for (const workbook::detail::Row& row : rows) {
        m_rowStart.push_back(static_cast<std::uint32_t>(m_values.size()));
        m_columns = std::max(m_columns, static_cast<int>(row.size()));
        for (const workbook::detail::Cell& c : row) {
            m_kinds.push_back(c.kind);
            m_values.push_back(c.kind == workbook::Value::Kind::Text ? static_cast<double>(c.text)
                                                                     : c.number);
        }
    }
    m_rowStart.push_back(static_cast<std::uint32_t>(m_values.size()));

    const std::vector<QString>& strings = sheet.strings();
    std::size_t length = 0;
    for (const QString& s : strings)
        length += static_cast<std::size_t>(s.size());
    m_text.reserve(length);
    m_textStart.reserve(strings.size() + 1);
    for (const QString& s : strings) {
        m_textStart.push_back(static_cast<std::uint32_t>(m_text.size()));
        m_text.insert(m_text.end(), s.utf16(), s.utf16() + s.size());
    }
    m_textStart.push_back(static_cast<std::uint32_t>(m_text.size()));
}

workbook::Value ViewerCells::cell(int row, int column) const {
    if (row < 1 || column < 1 || row > rowCount())
        return {};
    const std::size_t at =
        m_rowStart[static_cast<std::size_t>(row - 1)] + static_cast<std::size_t>(column - 1);
    if (at >= m_rowStart[static_cast<std::size_t>(row)])
        return {};
    const double v = m_values[at];
    switch (m_kinds[at]) {
    case workbook::Value::Kind::Number:
        return workbook::Value::number(v);
    case workbook::Value::Kind::Boolean:
        return workbook::Value::boolean(v != 0);
    case workbook::Value::Kind::Text: {
        const auto i = static_cast<std::size_t>(v);
        const std::uint32_t start = m_textStart[i];
        return workbook::Value::text(QString(reinterpret_cast<const QChar*>(m_text.data() + start),
                                             static_cast<qsizetype>(m_textStart[i + 1] - start)));
    }
    case workbook::Value::Kind::Empty:
        break;
    }
    return {};
}

std::size_t ViewerCells::bytes() const {
    return m_rowStart.capacity() * sizeof(std::uint32_t) + m_values.capacity() * sizeof(double) +
           m_kinds.capacity() + m_text.capacity() * sizeof(char16_t) +
           m_textStart.capacity() * sizeof(std::uint32_t);
}

} // namespace records
