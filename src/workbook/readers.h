#pragma once
// The pieces of readBook() and writeBook() apart, for the tests and the benchmark.

#include "workbook/book.h"

#include <QString>

#include <cstdint>
#include <vector>

namespace workbook::detail {

// The compound file at `path` as CompoundImage (compound_file.h) reads it, with its
// "Workbook" stream when it has one.
struct CompoundFile {
    enum class State { Unreadable, Damaged, NoWorkbook, OldWorkbook, Workbook };
    State state;
    std::vector<std::uint8_t> stream;
};
CompoundFile openCompoundFile(const QString& path);

// Throws Error for a compound file that holds no workbook to read: unreadable (Io), damaged
// (Damaged), or an Office file of another kind (NotWorkbook). Returns for the other states.
void throwUnlessWorkbook(CompoundFile::State state, const QString& path);

// The whole file read by FreeXL alone. Throws Error as readBook() does.
Book readWithFreeXl(const QString& path);

// Writes `stream` as the one stream, named `streamName`, of a compound file at `path`, as
// writeBook() does (atomically). Lets tests make damaged or unusual files.
void writeStreamFile(const std::vector<std::uint8_t>& stream, const QString& path,
                     const char* streamName = "Workbook");

} // namespace workbook::detail
