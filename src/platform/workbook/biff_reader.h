#pragma once
// Our own reader of BIFF8 worksheet cells: the workbooks this program writes and those of
// other writers (LibreOffice, Gnumeric, xlwt, Excel): shared-string and inline texts,
// numbers, booleans, cached formula results, and date- or time-formatted numbers as the date
// texts FreeXL gives. FreeXL 1.0.6 loses booleans (it reads them as 1 and 0) and cached
// formula results, and refuses a text that spans three or more records; this reader does
// not. Anything it does not read in full (encryption, BIFF5, charts, rich strings, any
// damage) it leaves to FreeXL: it then answers nothing rather than guessing.

#include "platform/workbook/book.h"

#include <cstdint>
#include <optional>
#include <span>

namespace workbook::biff {

// The book held by a BIFF8 "Workbook" stream, or nothing when the stream holds anything this
// reader does not read in full.
std::optional<Book> readPlainStream(std::span<const std::uint8_t> stream);

} // namespace workbook::biff
