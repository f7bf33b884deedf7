#pragma once
// Our own reader of BIFF8 worksheet cells: the workbooks this program writes and those of
// other writers (LibreOffice, Gnumeric, xlwt, Excel): shared-string and inline texts,
// numbers, booleans, cached formula results, and date- or time-formatted numbers as the date
// texts FreeXL gives. FreeXL 1.0.6 loses booleans (it reads them as 1 and 0) and cached
// formula results, and refuses a text that spans three or more records; this reader does
// not. A damaged or encrypted stream it reports itself, so that FreeXL never sees one (the
// fuzz target found FreeXL reading out of bounds on a damaged file); only a stream of an
// older BIFF version is left to FreeXL. Chart, macro and dialog sheets are left out.

#include "workbook/book.h"
#include "workbook/cell_decoder.h"
#include "workbook/look.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace workbook::biff {

struct StreamResult {
    enum class Verdict {
        Read,        // `book` holds every sheet
        Unsupported, // an older BIFF version, left to FreeXL
        Damaged,     // `reason` says what is wrong
        Encrypted,
    };
    Verdict verdict;
    std::optional<Book> book;
    QString reason;
};

// How the reader gives the numbers of date and time formats and the error values of cells: as
// the store reads them (dates as the texts above, errors left empty), or as the viewer shows
// them (every number a number, for the look's number formats; an error as its text, "#N/A").
enum class CellReading { Store, Viewer };

// Reads a BIFF8 "Workbook" stream. Every record is bounds-checked; nothing in the stream can
// make the reader read outside it, loop or take memory beyond a small multiple of its size.
StreamResult readStream(std::span<const std::uint8_t> stream,
                        CellReading reading = CellReading::Store);

// How the workbook of a BIFF8 stream looks (look_reader.cpp). Never fails: what cannot be read
// is left out.
BookLook readLook(std::span<const std::uint8_t> stream);

} // namespace workbook::biff
