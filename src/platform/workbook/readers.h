#pragma once
// The pieces of readBook() and writeBook() apart, for the tests and the benchmark.

#include "platform/workbook/book.h"

#include <QString>

#include <cstdint>
#include <vector>

namespace workbook::detail {

// The compound file at `path` as libgsf opens it, with its "Workbook" stream when it has one.
struct CompoundFile {
    enum class State { Unreadable, Damaged, NoWorkbook, OldWorkbook, Workbook };
    State state;
    std::vector<std::uint8_t> stream;
};
CompoundFile openCompoundFile(const QString& path);

// The whole file read by FreeXL alone. Throws Error as readBook() does.
Book readWithFreeXl(const QString& path);

// Writes `stream` as the one stream, named `streamName`, of a compound file at `path`, as
// writeBook() does (atomically). Lets tests make damaged or unusual files.
void writeStreamFile(const std::vector<std::uint8_t>& stream, const QString& path,
                     const char* streamName = "Workbook");

} // namespace workbook::detail
