#pragma once
// A worksheet's cells held for showing only: each cell's value in one array with each row's
// start, every text in one buffer with each text's start. A day's full sheet of different
// vehicle numbers and times takes less than its file here, a third of what the sheet took
// while it was read (a row and a text each an allocation of their own).

#include "workbook/book.h"

#include <QString>

#include <cstdint>
#include <vector>

namespace records {

class ViewerCells {
public:
    explicit ViewerCells(const workbook::Sheet& sheet);

    const QString& name() const { return m_name; }
    // The last row and the last column holding a value, as the sheet had them.
    int rowCount() const { return static_cast<int>(m_rowStart.size()) - 1; }
    int columnCount() const { return m_columns; }
    // The value of a cell, rows and columns from 1; empty outside the cells in use.
    workbook::Value cell(int row, int column) const;
    // The bytes the cells take.
    std::size_t bytes() const;

private:
    QString m_name;
    std::vector<std::uint32_t> m_rowStart; // index of each row's first cell, and the end
    std::vector<double> m_values;          // a number, 1 or 0, or the index of a text
    std::vector<workbook::Value::Kind> m_kinds;
    std::vector<char16_t> m_text;
    std::vector<std::uint32_t> m_textStart; // each text's start in m_text, and the end
    int m_columns = 0;
};

} // namespace records
