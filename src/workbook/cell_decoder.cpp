#include "workbook/cell_decoder.h"
#include "workbook/number_format.h"

#include <QDate>

#include <cmath>
#include <cstring>

namespace workbook::biff {

namespace {

Shown shownByCode(const QString& code) {
    switch (dateTimeParts(code)) {
    case DateTimeParts::Date:
        return Shown::Date;
    case DateTimeParts::Time:
        return Shown::Time;
    case DateTimeParts::DateAndTime:
        return Shown::DateTime;
    case DateTimeParts::None:
        break;
    }
    return Shown::Number;
}

// A serial date as text: days since 1899-12-31 with the 1900 system's day 60 (the
// 29 February 1900 that never was), or since 1904-01-01; the fraction is the time of day.
std::optional<QString> dateText(double serial, Shown shown, bool date1904) {
    if (!(serial >= 0 && serial < 2958466))
        return std::nullopt;
    auto days = static_cast<qint64>(std::floor(serial));
    auto seconds = static_cast<int>(std::llround((serial - static_cast<double>(days)) * 86400));
    if (seconds >= 86400) {
        ++days;
        seconds -= 86400;
    }
    QDate date;
    if (date1904)
        date = QDate(1904, 1, 1).addDays(days);
    else
        date = days >= 61 ? QDate(1899, 12, 30).addDays(days) : QDate(1899, 12, 31).addDays(days);
    const QString time = QStringLiteral("%1:%2:%3")
                             .arg(seconds / 3600, 2, 10, QLatin1Char('0'))
                             .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
                             .arg(seconds % 60, 2, 10, QLatin1Char('0'));
    const QString day = date.toString(QStringLiteral("yyyy-MM-dd"));
    switch (shown) {
    case Shown::Date:
        return day;
    case Shown::Time:
        return time;
    case Shown::DateTime:
        return day + u' ' + time;
    case Shown::Number:
        break;
    }
    return std::nullopt;
}

// `count` characters from `p`: one byte each, or UTF-16LE when `wide`; nothing when they
// run past `end`.
std::optional<QString> charsAt(const std::uint8_t* p, const std::uint8_t* end, std::size_t count,
                               bool wide) {
    if (count * (wide ? 2 : 1) > static_cast<std::size_t>(end - p))
        return std::nullopt;
    QString text(static_cast<qsizetype>(count), Qt::Uninitialized);
    for (std::size_t i = 0; i < count; ++i)
        text[static_cast<qsizetype>(i)] = QChar(wide ? le16(p + 2 * i) : p[i]);
    return text;
}

CellContent numberCell(double value, std::uint16_t xf) {
    CellContent c;
    c.xf = xf;
    // A NaN or an infinity is no number a spreadsheet shows: the cell reads as empty.
    if (std::isfinite(value)) {
        c.kind = CellContent::Kind::Number;
        c.number = value;
    }
    return c;
}

// The cached result of a FORMULA ([MS-XLS] 2.5.133 FormulaValue): a number, or after 0xFFFF in
// its last two bytes a text (in the STRING record that follows), a boolean, an error or an
// empty text.
CellContent formulaResult(const Record& r) {
    const std::uint16_t xf = r.u16(4);
    if (r.u16(12) != 0xFFFF)
        return numberCell(f64(r.data + 6), xf);
    CellContent c;
    c.xf = xf;
    switch (r.data[6]) {
    case 0:
        c.kind = CellContent::Kind::FormulaText;
        break;
    case 1:
        c.kind = CellContent::Kind::Boolean;
        c.boolean = r.data[8] != 0;
        break;
    case 2:
        c.kind = CellContent::Kind::Error;
        c.error = r.data[8];
        break;
    case 3:
        c.kind = CellContent::Kind::Text;
        break;
    default:
        break;
    }
    return c;
}

} // namespace

double rkValue(std::uint32_t rk) {
    double value = 0;
    if ((rk & 2) != 0) {
        value = static_cast<double>(static_cast<std::int32_t>(rk) >> 2);
    } else {
        const std::uint64_t bits = static_cast<std::uint64_t>(rk & 0xFFFFFFFCu) << 32;
        std::memcpy(&value, &bits, 8);
    }
    return (rk & 1) != 0 ? value / 100 : value;
}

double f64(const std::uint8_t* p) {
    const std::uint64_t bits = qFromLittleEndian<std::uint64_t>(p);
    double value;
    std::memcpy(&value, &bits, 8);
    return value;
}

std::optional<QString> stringAt(const std::uint8_t* data, std::size_t size, std::size_t at) {
    if (at + 3 > size)
        return std::nullopt;
    return charsAt(data + at + 3, data + size, le16(data + at), (data[at + 2] & 1) != 0);
}

std::optional<QString> shortStringAt(const std::uint8_t* data, std::size_t size, std::size_t at) {
    if (at + 2 > size)
        return std::nullopt;
    return charsAt(data + at + 2, data + size, data[at], (data[at + 1] & 1) != 0);
}

QString continuedString(Segments& data) {
    const std::uint16_t count = data.u16();
    const bool wide = (data.u8() & 1) != 0;
    return count == 0 ? QString() : data.chars(count, wide);
}

bool NumberFormats::note(const Record& r) {
    switch (r.type) {
    case rtDate1904:
        date1904 = r.size >= 2 && r.u16(0) != 0;
        return true;
    case rtFormat: {
        if (r.size < 2)
            return false;
        const std::optional<QString> code = stringAt(r.data, r.size, 2);
        // A code that runs past its record: what of it there is.
        custom.emplace_back(r.u16(0), code ? shownByCode(*code) : Shown::Number);
        return code.has_value();
    }
    case rtXf: {
        if (r.size < 4)
            return false;
        const std::uint16_t format = r.u16(2);
        // A built-in format as a Chinese spreadsheet application shows it: the look's table.
        Shown s = shownByCode(builtInFormatCode(format));
        for (const auto& [number, customShown] : custom)
            if (number == format)
                s = customShown;
        shown.push_back(s);
        return true;
    }
    default:
        return true;
    }
}

Value NumberFormats::value(double number, std::uint16_t xf) const {
    if (!std::isfinite(number))
        return {};
    const Shown s = xf < shown.size() ? shown[xf] : Shown::Number;
    if (s != Shown::Number)
        if (const auto text = dateText(number, s, date1904))
            return Value::text(*text);
    return Value::number(number);
}

NumberFormats numberFormats(std::span<const std::uint8_t> stream) {
    NumberFormats out;
    RecordCursor records(stream);
    Record r;
    // Formats cut short: the numbers of the rest show as numbers.
    while (records.next(r) == RecordProblem::None && r.type != rtEof && out.note(r)) {
    }
    return out;
}

std::optional<int> lastOfSeveral(const Record& r) {
    const int first = r.u16(2);
    const std::size_t each = r.type == rtMulRk ? 6 : 2;
    if (r.size < 6 + each || (r.size - 6) % each != 0)
        return std::nullopt;
    const int last = r.u16(r.size - 2);
    if (last != first + static_cast<int>((r.size - 6) / each) - 1)
        return std::nullopt;
    return last;
}

std::optional<CellContent> decodeCell(const Record& r, int column) {
    CellContent c;
    c.xf = r.u16(4);
    switch (r.type) {
    case rtLabelSst:
        c.kind = CellContent::Kind::SharedText;
        c.index = r.u32(6);
        return c;
    case rtLabel:
    case rtRString: {
        std::optional<QString> text = stringAt(r.data, r.size, 6);
        if (!text)
            return std::nullopt;
        c.kind = CellContent::Kind::Text;
        c.text = std::move(*text);
        return c;
    }
    case rtNumber:
        return numberCell(f64(r.data + 6), c.xf);
    case rtRk:
        return numberCell(rkValue(r.u32(6)), c.xf);
    case rtMulRk: { // each cell's format, then its value
        const std::uint8_t* p = r.data + 4 + 6 * static_cast<std::size_t>(column - r.u16(2));
        return numberCell(rkValue(le32(p + 2)), le16(p));
    }
    case rtMulBlank:
        c.xf = r.u16(4 + 2 * static_cast<std::size_t>(column - r.u16(2)));
        return c;
    case rtBoolErr:
        if (r.data[7] == 0) {
            c.kind = CellContent::Kind::Boolean;
            c.boolean = r.data[6] != 0;
        } else {
            c.kind = CellContent::Kind::Error;
            c.error = r.data[6];
        }
        return c;
    case rtFormula:
        return formulaResult(r);
    default:
        return c;
    }
}

QString errorText(std::uint8_t code) {
    switch (code) {
    case 0x00:
        return QStringLiteral("#NULL!");
    case 0x07:
        return QStringLiteral("#DIV/0!");
    case 0x0F:
        return QStringLiteral("#VALUE!");
    case 0x17:
        return QStringLiteral("#REF!");
    case 0x1D:
        return QStringLiteral("#NAME?");
    case 0x24:
        return QStringLiteral("#NUM!");
    default:
        return QStringLiteral("#N/A");
    }
}

} // namespace workbook::biff
