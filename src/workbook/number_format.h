#pragma once
// Number format codes as a spreadsheet application applies them to a cell's number: up to four
// sections (positive; negative; zero; text) with conditions and colours, digit placeholders
// (0 # ?), grouping and scaling commas, percent, scientific notation, fractions, quoted and
// escaped literals, and dates and times (y m d h s, AM/PM, 上午/下午, elapsed [h] [m] [s],
// fractions of a second, Chinese weekdays aaa and aaaa). Whatever a code holds that is not
// understood is shown as it is written; a code never fails to format.
//
// The numbers are always written with "." and "," whatever the desktop's language, as the
// file's codes are written.

#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace workbook {

// The code of the built-in number format `id`, as a spreadsheet application on a Chinese
// desktop shows it (14 is "yyyy/m/d"); empty for an id that names no built-in format.
QString builtInFormatCode(int id);

class NumberFormat {
public:
    // A colour a section asks for: [Red] is palette index 10 (the eight named colours are
    // 8 to 15), [Color3] is 10 too.
    using Colour = std::optional<std::uint16_t>;

    NumberFormat(); // "General"
    explicit NumberFormat(const QString& code);
    ~NumberFormat();
    NumberFormat(NumberFormat&&) noexcept;
    NumberFormat& operator=(NumberFormat&&) noexcept;

    // `value` as the code shows it; `date1904`: the workbook counts dates from 1904.
    QString format(double value, bool date1904 = false, Colour* colour = nullptr) const;
    // A text cell: the text section's literals around the text ("@"), else the text itself.
    QString formatText(const QString& text, Colour* colour = nullptr) const;
    // Whether the code shows numbers as dates or times (its first section does).
    bool isDateTime() const;
    bool isGeneral() const;

    struct Section;

private:
    std::vector<std::unique_ptr<Section>> m_sections;
};

// What a code shows a number as, over all its sections: a date, a time of day (or an elapsed
// time), both, or a number. "m" beside hours or seconds is minutes.
enum class DateTimeParts { None, Date, Time, DateAndTime };
DateTimeParts dateTimeParts(const QString& code);

// A number as "General" shows it: the program's number text (numberText in book.h) without
// its leading space, so a weight shows with every digit it was stored with.
QString generalText(double value);

} // namespace workbook
