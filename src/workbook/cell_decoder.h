#pragma once
// What a BIFF8 cell record holds, decoded in one place for the viewer's and the store's reader
// and the record-level editor (through Editor::cell, which the journal checks its rows with):
// RK, NUMBER, MULRK, LABELSST, LABEL, RSTRING, BOOLERR, FORMULA with its cached result (its
// text in the STRING record after it, over that record's CONTINUE records), BLANK and
// MULBLANK. With it the cell formats' table of how numbers show (dates and times as texts).

#include "workbook/book.h"
#include "workbook/record_cursor.h"

#include <QString>

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace workbook::biff {

// A number stored as an RK value ([MS-XLS] 2.5.217), and one stored as 8 little-endian bytes.
double rkValue(std::uint32_t rk);
double f64(const std::uint8_t* p);

// A string inside one record of `size` data bytes, at `at`: a 16-bit character count, a
// flags byte and the characters ([MS-XLS] 2.5.294); nothing when it runs past the record.
std::optional<QString> stringAt(const std::uint8_t* data, std::size_t size, std::size_t at);
// The same with an 8-bit count ([MS-XLS] 2.5.240), as a sheet's name in BOUNDSHEET.
std::optional<QString> shortStringAt(const std::uint8_t* data, std::size_t size, std::size_t at);
// A string whose count and flags lie in `data` and whose characters may go on in CONTINUE
// records, each there after a flags byte of its own (a formula's text result in STRING).
QString continuedString(Segments& data);

// How a cell format shows a number: as a number, or as a date, a time or both. Dates and
// times come back as the texts FreeXL gives them ("2026-12-07", "08:04:07",
// "2026-12-07 08:04:07"), so that every reader agrees.
enum class Shown : std::uint8_t { Number, Date, Time, DateTime };

// How a workbook's cell formats show numbers, from the globals' DATE1904, FORMAT and XF
// records.
struct NumberFormats {
    std::vector<Shown> shown; // by cell format (XF)
    bool date1904 = false;
    std::vector<std::pair<std::uint16_t, Shown>> custom; // FORMAT records, by format number

    // Notes a DATE1904, FORMAT or XF record; false for a FORMAT or XF record too short to
    // read.
    bool note(const Record& r);
    // A number in a cell of format `xf`: a date or time text where the format shows one and
    // the number is a date, else the number; empty when it is no finite number.
    Value value(double number, std::uint16_t xf) const;
};
// The formats of the globals of a workbook stream (its shared strings are not read).
NumberFormats numberFormats(std::span<const std::uint8_t> stream);

constexpr bool isCellRecord(std::uint16_t type) {
    switch (type) {
    case rtBlank:
    case rtMulBlank:
    case rtNumber:
    case rtRk:
    case rtMulRk:
    case rtLabelSst:
    case rtLabel:
    case rtRString:
    case rtBoolErr:
    case rtFormula:
        return true;
    default:
        return false;
    }
}
// The fewest data bytes a cell record of `type` has.
constexpr std::size_t cellRecordSize(std::uint16_t type) {
    switch (type) {
    case rtNumber:
        return 14;
    case rtRk:
    case rtLabelSst:
        return 10;
    case rtLabel:
    case rtRString:
        return 9;
    case rtBoolErr:
        return 8;
    case rtFormula:
        return 20;
    default: // BLANK; MULRK and MULBLANK before their cells
        return 6;
    }
}
// The last column of a cell record at least cellRecordSize() long: its first, or the last of
// a MULRK or MULBLANK; nothing when a MULRK's or MULBLANK's length and columns disagree.
std::optional<int> lastOfSeveral(const Record& r);
inline std::optional<int> lastColumn(const Record& r) {
    if (r.type != rtMulRk && r.type != rtMulBlank)
        return r.u16(2);
    return lastOfSeveral(r);
}

// What a cell holds.
struct CellContent {
    enum class Kind {
        Empty,       // BLANK, MULBLANK, a number that is no finite number (a NaN)
        Number,      // `number`
        Text,        // `text`
        SharedText,  // the shared string `index`
        Boolean,     // `boolean`
        Error,       // the error value `error`
        FormulaText, // a formula's text result, in the STRING record that follows
    };
    Kind kind = Kind::Empty;
    std::uint16_t xf = 0;
    double number = 0;
    std::uint32_t index = 0;
    bool boolean = false;
    std::uint8_t error = 0;
    QString text;
};
// The cell of record `r` (at least cellRecordSize() long) at `column`, which lies between
// its first and last column; nothing when its text runs past the record.
std::optional<CellContent> decodeCell(const Record& r, int column);

// The text a spreadsheet shows for an error value ([MS-XLS] 2.5.10 BErr).
QString errorText(std::uint8_t code);

} // namespace workbook::biff
