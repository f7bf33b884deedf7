#pragma once
// A Book as the bytes of the "Workbook" stream of a new .xls file ([MS-XLS] 2.1.4): a minimal
// workbook of our own records (new_workbook.cpp) whose cells the record-level editor sets.
// The compound file around the stream is made elsewhere.

#include "workbook/book.h"

#include <QString>

#include <cstdint>
#include <vector>

namespace workbook::biff {

// Most data bytes one record may carry; the rest of a longer record goes in CONTINUE records.
inline constexpr std::size_t MaxRecordData = 8224;
inline constexpr int MaxSheets = 1024;

// The complete stream: the globals substream, then one substream per sheet. Throws Error
// (FormatLimit, InvalidUse) for a book that no .xls can hold, before anything is produced;
// Unkeepable when the editor cannot lay the cells out (a fault of ours).
std::vector<std::uint8_t> workbookStream(const Book& book);

// The same stream written, alone in a new compound file, to `path` atomically (file_io.h,
// writeBook) as the editor lays it out, never whole in memory. Throws Error as
// workbookStream() does (naming no file), or Io.
void writeWorkbook(const Book& book, const QString& path);

// The strings-per-bucket of the EXTSST index for `uniqueStrings` strings: 8, or more when a
// bucket of 8 would give more buckets than one record holds.
int extSstBucketSize(std::size_t uniqueStrings);

// The RK form of `value` ([MS-XLS] 2.5.217): when it is an integer or a hundredth of one that
// fits in 30 bits, or when its low 34 bits are zero.
bool rkNumber(double value, std::uint32_t& rk);

} // namespace workbook::biff
