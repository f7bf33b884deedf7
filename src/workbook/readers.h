#pragma once
// The pieces of readBook() and writeBook() apart, for the tests and the benchmark.

#include "workbook/book.h"

#include <QString>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace workbook::detail {

// The compound file at `path` as libgsf opens it, with its "Workbook" stream when it has one.
struct CompoundFile {
    enum class State { Unreadable, Damaged, NoWorkbook, OldWorkbook, Workbook };
    State state;
    std::vector<std::uint8_t> stream;
};
CompoundFile openCompoundFile(const QString& path);

// Throws Error for a compound file that holds no workbook to read: unreadable (Io), damaged
// (Damaged), or an Office file of another kind (NotWorkbook). Returns for the other states.
void throwUnlessWorkbook(CompoundFile::State state, const QString& path);

// Every stream and storage of a compound file as libgsf reads them: names in UTF-8, the
// storages' class ids, the streams' bytes.
struct CompoundEntry {
    std::string name;
    bool storage = false;
    std::array<std::uint8_t, 16> classId{};
    std::vector<std::uint8_t> data;
    std::vector<CompoundEntry> children;
};
struct CompoundTree {
    CompoundFile::State state;
    CompoundEntry root; // the root storage
};
// The whole tree of the compound file at `path`; `state` as openCompoundFile() judges it.
CompoundTree readCompoundTree(const QString& path);

// The whole file read by FreeXL alone. Throws Error as readBook() does.
Book readWithFreeXl(const QString& path);

// Writes `stream` as the one stream, named `streamName`, of a compound file at `path`, as
// writeBook() does (atomically). Lets tests make damaged or unusual files.
void writeStreamFile(const std::vector<std::uint8_t>& stream, const QString& path,
                     const char* streamName = "Workbook");

} // namespace workbook::detail
