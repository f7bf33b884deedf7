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

// A number stored as an RK value ([MS-XLS] 2.5.217), and one stored as 8 little-endian
// bytes; the reader and the record-level editor decode cells with the same two.
double rkValue(std::uint32_t rk);
double f64(const std::uint8_t* p);

// A string inside one record of `size` data bytes, at `at`: a 16-bit character count, a
// flags byte and the characters ([MS-XLS] 2.5.294); nothing when it runs past the record.
std::optional<QString> stringAt(const std::uint8_t* data, std::size_t size, std::size_t at);
// The same with an 8-bit count ([MS-XLS] 2.5.240), as a sheet's name in BOUNDSHEET.
std::optional<QString> shortStringAt(const std::uint8_t* data, std::size_t size, std::size_t at);

// How a workbook's cell formats show numbers: as numbers, or as the date and time texts the
// reader gives. The record-level editor decodes the cells it is asked about through it, so
// that the store and the viewer read every cell alike.
struct NumberFormats {
    std::vector<std::uint8_t> shown; // by cell format (XF): number, date, time, date and time
    bool date1904 = false;
    // A number in a cell of format `xf`; empty when it is no finite number.
    Value value(double number, std::uint16_t xf) const;
};
// The formats of the globals of a workbook stream (its shared strings are not read).
NumberFormats numberFormats(std::span<const std::uint8_t> stream);

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
