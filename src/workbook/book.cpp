#include "workbook/book.h"
#include "workbook/reasons.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace workbook {

QString numberText(double value) {
    if (!std::isfinite(value))
        return QStringLiteral(" 0");
    // Fifteen significant digits, rounded to nearest, then laid out without an exponent.
    // std::to_chars never follows the C library's locale (printf would write "8,56" under
    // a decimal-comma locale).
    char sci[40];
    const auto written = std::to_chars(sci, sci + sizeof sci - 1, std::fabs(value),
                                       std::chars_format::scientific, 14);
    *written.ptr = 0;
    char mantissa[16];
    int digits = 0;
    const char* p = sci;
    for (; *p != 0 && *p != 'e'; ++p)
        if (*p != '.')
            mantissa[digits++] = *p;
    int exponent = 0;
    if (*p == 'e') {
        const char* e = p + 1;
        if (*e == '+')
            ++e;
        std::from_chars(e, written.ptr, exponent);
    }
    while (digits > 1 && mantissa[digits - 1] == '0')
        --digits;
    if (digits == 1 && mantissa[0] == '0')
        return QStringLiteral(" 0");

    std::string out(1, value < 0 ? '-' : ' ');
    if (exponent >= 0) {
        const int integerDigits = exponent + 1;
        for (int i = 0; i < integerDigits; ++i)
            out += i < digits ? mantissa[i] : '0';
        if (digits > integerDigits) {
            out += '.';
            out.append(mantissa + integerDigits, static_cast<std::size_t>(digits - integerDigits));
        }
    } else {
        out += "0.";
        out.append(static_cast<std::size_t>(-exponent - 1), '0');
        out.append(mantissa, static_cast<std::size_t>(digits));
    }
    return QString::fromLatin1(out.data(), static_cast<qsizetype>(out.size()));
}

Value storedValue(const QString& text) {
    if (text.isEmpty())
        return {};
    if (const auto number = numberFromText(text))
        return Value::number(*number);
    return Value::text(text);
}

std::optional<double> numberFromText(QStringView text) {
    // The shape of a number text is checked first: sign, digits without a superfluous leading
    // zero, an optional fraction without trailing zeros, nothing else.
    const qsizetype n = text.size();
    if (n < 2 || n > 400)
        return std::nullopt;
    const char16_t sign = text[0].unicode();
    if (sign != u' ' && sign != u'-')
        return std::nullopt;
    char ascii[401];
    ascii[0] = sign == u'-' ? '-' : '+';
    auto isDigit = [&](qsizetype i) { return text[i] >= u'0' && text[i] <= u'9'; };
    qsizetype i = 1;
    while (i < n && isDigit(i))
        ++i;
    const qsizetype integerEnd = i;
    if (integerEnd == 1 || (integerEnd > 2 && text[1] == u'0'))
        return std::nullopt;
    if (i < n) {
        if (text[i] != u'.')
            return std::nullopt;
        ++i;
        const qsizetype fractionStart = i;
        while (i < n && isDigit(i))
            ++i;
        if (i != n || i == fractionStart || text[n - 1] == u'0')
            return std::nullopt;
    }
    int significant = 0;
    bool seenNonZero = false;
    int pendingZeros = 0;
    std::uint64_t digits = 0; // all of them, the point left out, while they fit
    int digitCount = 0;
    for (qsizetype k = 1; k < n; ++k) {
        const char c = static_cast<char>(text[k].unicode());
        ascii[k] = c;
        if (c == '.')
            continue;
        if (++digitCount <= 19)
            digits = digits * 10 + static_cast<std::uint64_t>(c - '0');
        if (c != '0') {
            significant += pendingZeros + 1;
            pendingZeros = 0;
            seenNonZero = true;
        } else if (seenNonZero) {
            ++pendingZeros;
        }
    }
    if (!seenNonZero) // only " 0" is the number text of zero
        return n == 2 && sign == u' ' ? std::optional<double>(0.0) : std::nullopt;
    if (significant > 15)
        return std::nullopt;
    // Digits that a double holds exactly over a power of ten that it holds exactly: the one
    // rounding of the division gives the nearest double, as from_chars would (most weights).
    static constexpr double powersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                             1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                             1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const auto fractionDigits = static_cast<int>(integerEnd < n ? n - integerEnd - 1 : 0);
    if (digitCount <= 19 && digits < (std::uint64_t{1} << 53) && fractionDigits <= 22) {
        const double exact = static_cast<double>(digits) / powersOfTen[fractionDigits];
        return sign == u'-' ? -exact : exact;
    }
    double value = 0;
    const char* first = ascii + 1;
    const auto result = std::from_chars(first, ascii + n, value);
    if (result.ec != std::errc() || result.ptr != ascii + n || !std::isfinite(value))
        return std::nullopt;
    if (sign == u'-')
        value = -value;
    // Fifteen digits always come back from a double, except at the far ends of its range.
    if (n > 24 && numberText(value) != text)
        return std::nullopt;
    return value;
}

Value Value::text(QString text) {
    Value v;
    v.m_kind = Kind::Text;
    v.m_text = std::move(text);
    return v;
}

Value Value::number(double value) {
    Value v;
    v.m_kind = Kind::Number;
    v.m_number = value;
    return v;
}

Value Value::boolean(bool value) {
    Value v;
    v.m_kind = Kind::Boolean;
    v.m_number = value ? 1 : 0;
    return v;
}

QString Value::toString() const {
    switch (m_kind) {
    case Kind::Text:
        return m_text;
    case Kind::Number:
        return numberText(m_number);
    case Kind::Boolean:
        return m_number != 0 ? QStringLiteral("TRUE") : QStringLiteral("FALSE");
    case Kind::Empty:
        break;
    }
    return {};
}

QString sheetNameProblem(const QString& name) {
    if (name.isEmpty())
        return reasonText(Reason::SheetNeedsName);
    if (name.size() > MaxSheetNameLength)
        return reasonText(Reason::SheetNameTooLong).arg(name).arg(MaxSheetNameLength);
    for (const QChar c : name)
        if (QStringView(u"[]:*?/\\").contains(c) || c.unicode() < 0x20)
            return reasonText(Reason::SheetNameCharacter).arg(name, c);
    if (name.startsWith(QLatin1Char('\'')) || name.endsWith(QLatin1Char('\'')))
        return reasonText(Reason::SheetNameApostrophe).arg(name);
    return {};
}

Sheet::Sheet(QString name) : m_name(std::move(name)) {}

int Sheet::columnCount() const {
    std::size_t widest = 0;
    for (const detail::Row& row : m_rows)
        widest = std::max(widest, row.size());
    return static_cast<int>(widest);
}

Value Sheet::cell(int row, int column) const {
    if (row < 1 || column < 1 || row > rowCount())
        return {};
    const detail::Row& r = m_rows[static_cast<std::size_t>(row - 1)];
    if (static_cast<std::size_t>(column) > r.size())
        return {};
    const detail::Cell& c = r[static_cast<std::size_t>(column - 1)];
    switch (c.kind) {
    case Value::Kind::Text:
        return Value::text(m_strings[c.text]);
    case Value::Kind::Number:
        return Value::number(c.number);
    case Value::Kind::Boolean:
        return Value::boolean(c.number != 0);
    case Value::Kind::Empty:
        break;
    }
    return {};
}

detail::Cell& Sheet::slot(int row, int column) {
    if (row < 1 || column < 1)
        throw Error(Error::Kind::InvalidUse, {},
                    reasonText(Reason::NoSuchCell).arg(row).arg(column));
    if (row > MaxRows)
        throw Error(Error::Kind::FormatLimit, {}, reasonText(Reason::RowBeyond).arg(row));
    if (column > MaxColumns)
        throw Error(Error::Kind::FormatLimit, {}, reasonText(Reason::ColumnBeyond).arg(column));
    if (static_cast<std::size_t>(row) > m_rows.size())
        m_rows.resize(static_cast<std::size_t>(row));
    detail::Row& r = m_rows[static_cast<std::size_t>(row - 1)];
    const auto width = static_cast<std::size_t>(column);
    if (width > r.size()) {
        // A row is mostly as wide as the one above it: room for that many cells at once,
        // rather than the row grown again and again as its cells are set from left to right.
        if (width > r.capacity() && row > 1)
            r.reserve(std::max(width, m_rows[static_cast<std::size_t>(row - 2)].size()));
        r.resize(width);
    }
    return r[width - 1];
}

std::uint32_t Sheet::addString(const QString& text) {
    return m_strings.intern(text);
}

void Sheet::releaseTextIndex() {
    m_strings.releaseIndex();
}

void Sheet::setText(int row, int column, const QString& text) {
    if (text.size() > MaxTextLength)
        throw Error(Error::Kind::FormatLimit, {},
                    reasonText(Reason::CellTextTooLong).arg(row).arg(column).arg(text.size()));
    detail::Cell& c = slot(row, column);
    c.text = addString(text);
    c.kind = Value::Kind::Text;
}

void Sheet::setStringCell(int row, int column, std::uint32_t index) {
    detail::Cell& c = slot(row, column);
    c.text = index;
    c.kind = Value::Kind::Text;
}

void Sheet::setNumber(int row, int column, double value) {
    if (!std::isfinite(value))
        throw Error(Error::Kind::InvalidUse, {},
                    reasonText(Reason::CellNotANumber).arg(row).arg(column));
    detail::Cell& c = slot(row, column);
    c.number = value;
    c.kind = Value::Kind::Number;
}

void Sheet::setBoolean(int row, int column, bool value) {
    detail::Cell& c = slot(row, column);
    c.number = value ? 1 : 0;
    c.kind = Value::Kind::Boolean;
}

void Sheet::setValue(int row, int column, const Value& value) {
    switch (value.kind()) {
    case Value::Kind::Text:
        setText(row, column, value.textValue());
        break;
    case Value::Kind::Number:
        setNumber(row, column, value.numberValue());
        break;
    case Value::Kind::Boolean:
        setBoolean(row, column, value.booleanValue());
        break;
    case Value::Kind::Empty:
        clearCell(row, column);
        break;
    }
}

void Sheet::clearCell(int row, int column) {
    if (row < 1 || column < 1 || row > rowCount())
        return;
    detail::Row& r = m_rows[static_cast<std::size_t>(row - 1)];
    if (static_cast<std::size_t>(column) > r.size())
        return;
    r[static_cast<std::size_t>(column - 1)] = detail::Cell{};
    // Empty cells at the end of the row and empty rows at the end are dropped, so that
    // rowCount() and columnCount() name the last value.
    while (!r.empty() && r.back().kind == Value::Kind::Empty)
        r.pop_back();
    while (!m_rows.empty() && m_rows.back().empty())
        m_rows.pop_back();
}

int Book::indexOf(QStringView name) const {
    for (std::size_t i = 0; i < m_sheets.size(); ++i)
        if (QStringView(m_sheets[i].name()).compare(name, Qt::CaseInsensitive) == 0)
            return static_cast<int>(i);
    return -1;
}

Sheet& Book::addSheet(const QString& name) {
    const QString problem = sheetNameProblem(name);
    if (!problem.isEmpty())
        throw Error(Error::Kind::InvalidUse, {}, problem);
    if (indexOf(name) >= 0)
        throw Error(Error::Kind::InvalidUse, {}, reasonText(Reason::SheetNameTaken).arg(name));
    m_sheets.emplace_back(name);
    return m_sheets.back();
}

int displayWidth(QStringView text) {
    int width = 0;
    for (const QChar c : text)
        width += c.unicode() >= 0x2E80 ? 2 : 1;
    return width;
}

} // namespace workbook
