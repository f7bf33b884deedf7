#pragma once
// The two ways in which readBook() reads a file, apart, for the tests and the benchmark.

#include "platform/workbook/book.h"

#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace workbook::detail {

// The "Workbook" stream of the compound file at `path`, as libgsf reads it; nothing when
// the file is no compound file or holds no such stream.
std::optional<std::vector<std::uint8_t>> workbookStream(const QString& path);

// The whole file read by FreeXL alone. Throws Error as readBook() does.
Book readWithFreeXl(const QString& path);

} // namespace workbook::detail
