#pragma once
// The text forms the records use: the number text of a value, the leading number of a
// typed text, the net box text and the clock lines. Pure functions, no widgets.
//
// Numbers and texts meet in these places only, each with "." as the decimal separator and
// no digit grouping whatever the locale (nothing here goes through printf, strtod or the
// system QLocale, which follow the desktop's language): numberText and numberFromText
// (the store's cells and H1), leadingNumber (the tare and net boxes), netText (the net
// box), indicator::weightText (the weight display). Dates and times alone take the
// regional forms, through the platform clock.

#include "workbook/book.h"

#include <QDateTime>
#include <QString>

namespace records {

// The value in decimal, "." as separator, no grouping, no exponent, no trailing zeros and at
// most 15 significant digits; one leading space when zero or positive, "-" when negative.
// The workbook stores a cell given exactly such a text as a number, so there is one
// definition of it, the workbook component's.
using workbook::numberText;

// The number a text starts with once every blank (space, tab, line break) is removed: an
// optional sign, digits with at most one ".", an optional exponent. 0 when no digits start
// the text. An exponent beyond the range of a double gives an infinite value.
double leadingNumber(const QString& text);

// The net box text for a non-negative net: rounded to four decimals, at least one decimal,
// trailing zeros beyond it dropped, then "kg". A negative or non-finite net gives "出错！".
QString netText(double net);

// "日期：2010年08月04日" and "时间：09时05分03秒".
QString dateLine(const QDate& date);
QString timeLine(const QTime& time);

// The day's workbook file name (without ".xls") for a date text: characters that cannot
// stand in a file name ("/" of a regional date among them) become "-".
QString dayFileName(const QString& dateText);

} // namespace records
