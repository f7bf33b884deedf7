#pragma once
// libgsf as a reader of compound files independent of ours, for the tests only: the whole
// tree of a file (every stream and storage, with their bytes and class ids), to check that
// a file we write opens elsewhere and that a save keeps every stream; and files written by
// libgsf, with the sector sizes it is asked for.

#include "workbook/readers.h"

#include <QString>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace wbtest {

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
    workbook::detail::CompoundFile::State state;
    CompoundEntry root; // the root storage
};
// The whole tree of the compound file at `path` as libgsf reads it: Unreadable when it
// cannot be opened, Damaged when libgsf refuses it or a stream cannot be read whole, else
// Workbook, OldWorkbook or NoWorkbook by its top-level streams.
CompoundTree readCompoundTree(const QString& path);

// Writes `root`'s children (streams and storages, with the storages' class ids) as a
// compound file of `sectorSize`-byte sectors (512 or 4096) at `path` through libgsf; false
// when libgsf fails.
bool writeWithGsf(const CompoundEntry& root, const QString& path, unsigned sectorSize = 512);

} // namespace wbtest
