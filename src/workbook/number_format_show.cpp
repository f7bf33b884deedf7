// Showing a number through one section of a number format code: digits, grouping and
// scaling, percent, scientific notation, fractions, and dates and times.

#include "workbook/number_format_parts.h"

#include <QDate>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>

namespace workbook::format_parts {

namespace {

// Numbers.

// A non-negative number as at most 15 significant decimal digits, then rounded half away
// from zero to `decimals` places, as a spreadsheet rounds what it shows: the digits of the
// whole part ("" for 0) and exactly `decimals` digits after the point.
std::pair<std::string, std::string> roundedDigits(double v, int decimals) {
    char buf[40];
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific, 14);
    std::string mantissa;
    const char* p = buf;
    for (; p < r.ptr && *p != 'e'; ++p)
        if (*p != '.')
            mantissa += *p;
    int exponent = 0;
    if (p < r.ptr) {
        const char* e = p + 1;
        if (*e == '+')
            ++e;
        std::from_chars(e, r.ptr, exponent);
    }
    // digits d0 d1 ... with the point after d(exponent).
    const int pointAt = exponent + 1;
    std::string digits = mantissa;
    int point = pointAt;
    if (point < 0) {
        digits.insert(0, static_cast<std::size_t>(-point), '0');
        point = 0;
    }
    const auto keep = static_cast<std::size_t>(point + decimals);
    if (digits.size() < keep)
        digits.append(keep - digits.size(), '0');
    const bool up = digits.size() > keep && digits[keep] >= '5';
    digits.resize(keep);
    if (up) {
        std::size_t k = keep;
        while (k > 0 && digits[k - 1] == '9')
            digits[--k] = '0';
        if (k == 0) {
            digits.insert(0, 1, '1');
            ++point;
        } else {
            ++digits[k - 1];
        }
    }
    std::string whole = digits.substr(0, static_cast<std::size_t>(point));
    const std::size_t lead = whole.find_first_not_of('0');
    whole = lead == std::string::npos ? std::string() : whole.substr(lead);
    return {whole, digits.substr(static_cast<std::size_t>(point))};
}

struct NumberLayout {
    std::vector<Token> whole, fraction, exponent; // tokens before the point, after, after E
    bool point = false;
    bool grouping = false;
    int scaling = 0; // thousands divided away by trailing commas
    int percent = 0;
    int exponentSign = -1; // -1: no exponent; 1: E+; 0: E-
};

NumberLayout layoutOf(const std::vector<Token>& tokens) {
    NumberLayout l;
    int part = 0; // 0 whole, 1 fraction, 2 exponent
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const Token& t = tokens[i];
        if (t.kind == Kind::Point && part == 0) {
            l.point = true;
            part = 1;
            continue;
        }
        if (t.kind == Kind::Exponent && part < 2) {
            l.exponentSign = t.count;
            part = 2;
            continue;
        }
        if (t.kind == Kind::Percent)
            ++l.percent;
        if (t.kind == Kind::Comma) {
            // Between placeholders a comma groups thousands; after the last one it scales.
            bool placeholderAfter = false;
            for (std::size_t k = i + 1; k < tokens.size(); ++k) {
                if (tokens[k].kind == Kind::Point || tokens[k].kind == Kind::Exponent)
                    break;
                if (isPlaceholder(tokens[k].kind)) {
                    placeholderAfter = true;
                    break;
                }
                if (tokens[k].kind != Kind::Comma)
                    break;
            }
            bool placeholderBefore = false;
            for (std::size_t k = 0; k < i; ++k)
                placeholderBefore = placeholderBefore || isPlaceholder(tokens[k].kind);
            if (placeholderAfter && part == 0)
                l.grouping = true;
            else if (placeholderBefore)
                ++l.scaling;
            continue;
        }
        (part == 0 ? l.whole : part == 1 ? l.fraction : l.exponent).push_back(t);
    }
    return l;
}

int countPlaceholders(const std::vector<Token>& tokens) {
    return static_cast<int>(std::count_if(tokens.begin(), tokens.end(),
                                          [](const Token& t) { return isPlaceholder(t.kind); }));
}

} // namespace

QString literalText(const Token& t) {
    switch (t.kind) {
    case Kind::Literal:
        return t.text;
    case Kind::Percent:
        return QStringLiteral("%");
    case Kind::Slash:
        return QStringLiteral("/");
    default:
        return {};
    }
}

namespace {

// The whole part's placeholders filled from the right with `digits`; what is left of the
// digits goes before the leftmost placeholder.
QString fillWhole(const std::vector<Token>& tokens, const std::string& digits, bool grouping) {
    QString out;
    auto next = static_cast<std::ptrdiff_t>(digits.size()) - 1;
    int written = 0;
    const auto put = [&](char16_t d) {
        if (grouping && written > 0 && written % 3 == 0)
            out.prepend(u',');
        out.prepend(QChar(d));
        ++written;
    };
    std::ptrdiff_t leftmost = -1;
    for (std::size_t i = 0; i < tokens.size(); ++i)
        if (isPlaceholder(tokens[i].kind)) {
            leftmost = static_cast<std::ptrdiff_t>(i);
            break;
        }
    for (auto i = static_cast<std::ptrdiff_t>(tokens.size()) - 1; i >= 0; --i) {
        const Token& t = tokens[static_cast<std::size_t>(i)];
        if (!isPlaceholder(t.kind)) {
            out.prepend(literalText(t));
            continue;
        }
        if (next >= 0)
            put(static_cast<char16_t>(digits[static_cast<std::size_t>(next--)]));
        else if (t.kind == Kind::Zero)
            put(u'0');
        else if (t.kind == Kind::Quest)
            out.prepend(u' ');
        if (i == leftmost)
            while (next >= 0)
                put(static_cast<char16_t>(digits[static_cast<std::size_t>(next--)]));
    }
    return out;
}

// The fraction's placeholders filled from the left; trailing zeros of # left out, of ? blank.
QString fillFraction(const std::vector<Token>& tokens, const std::string& digits) {
    std::size_t used = digits.size();
    std::size_t placeholder = countPlaceholders(tokens);
    // Trailing zeros that a # or ? need not show.
    std::vector<Kind> kinds;
    for (const Token& t : tokens)
        if (isPlaceholder(t.kind))
            kinds.push_back(t.kind);
    while (placeholder > 0 && used > 0 && digits[used - 1] == '0' &&
           kinds[placeholder - 1] != Kind::Zero) {
        --used;
        --placeholder;
    }
    QString out;
    std::size_t k = 0;
    for (const Token& t : tokens) {
        if (!isPlaceholder(t.kind)) {
            out += literalText(t);
            continue;
        }
        if (k < used)
            out += QChar(static_cast<char16_t>(digits[k]));
        else if (t.kind == Kind::Quest)
            out += u' ';
        ++k;
    }
    return out;
}

QString formatPlain(const NumberLayout& l, double v) {
    const int decimals = countPlaceholders(l.fraction);
    const auto [whole, fraction] = roundedDigits(v, decimals);
    QString out = fillWhole(l.whole, whole, l.grouping);
    if (l.point)
        out += u'.';
    return out + fillFraction(l.fraction, fraction);
}

QString formatScientific(const NumberLayout& l, double v) {
    const int wholeDigits = std::max(1, countPlaceholders(l.whole));
    const int decimals = countPlaceholders(l.fraction);
    int exponent = 0;
    if (v != 0) {
        exponent = static_cast<int>(std::floor(std::log10(v)));
        if (wholeDigits > 1) // engineering: the exponent a multiple of the whole digits
            exponent = static_cast<int>(std::floor(static_cast<double>(exponent) / wholeDigits)) *
                       wholeDigits;
    }
    double mantissa = v / std::pow(10.0, exponent);
    auto [whole, fraction] = roundedDigits(mantissa, decimals);
    const int step = wholeDigits > 1 ? wholeDigits : 1;
    if (static_cast<int>(whole.size()) > step) { // 9.99 rounded up to 10.0
        exponent += step;
        mantissa = v / std::pow(10.0, exponent);
        std::tie(whole, fraction) = roundedDigits(mantissa, decimals);
    }
    QString out = fillWhole(l.whole, whole, false);
    if (l.point)
        out += u'.';
    out += fillFraction(l.fraction, fraction);
    out += u'E';
    out += exponent < 0          ? QStringLiteral("-")
           : l.exponentSign == 1 ? QStringLiteral("+")
                                 : QString();
    const std::string e = std::to_string(std::abs(exponent));
    return out + fillWhole(l.exponent, e, false);
}

// n/d nearest to `v` with d below 10^digits (or d fixed), the smaller d on a tie.
std::pair<long long, long long> nearestFraction(double v, int digits, long long fixed) {
    if (fixed > 0)
        return {std::llround(v * static_cast<double>(fixed)), fixed};
    const long long most = static_cast<long long>(std::pow(10.0, std::min(digits, 4))) - 1;
    long long bestN = std::llround(v), bestD = 1;
    double bestError = std::fabs(v - static_cast<double>(bestN));
    for (long long d = 2; d <= most && bestError > 0; ++d) {
        const long long n = std::llround(v * static_cast<double>(d));
        const double error = std::fabs(v - static_cast<double>(n) / static_cast<double>(d));
        if (error < bestError - 1e-12) {
            bestError = error;
            bestN = n;
            bestD = d;
        }
    }
    return {bestN, bestD};
}

// A fraction's code in its parts: [whole placeholders, literal] numerator / denominator
// (placeholders, or a fixed number) and what follows.
struct FractionLayout {
    std::vector<Token> whole, numerator, denominator, after;
    long long fixed = 0;
};

FractionLayout fractionLayout(const std::vector<Token>& tokens) {
    FractionLayout l;
    std::size_t bar = 0;
    while (tokens[bar].kind != Kind::Slash)
        ++bar;
    std::size_t numeratorStart = bar;
    while (numeratorStart > 0 && (isPlaceholder(tokens[numeratorStart - 1].kind)))
        --numeratorStart;
    l.whole.assign(tokens.begin(), tokens.begin() + static_cast<long>(numeratorStart));
    l.numerator.assign(tokens.begin() + static_cast<long>(numeratorStart),
                       tokens.begin() + static_cast<long>(bar));
    std::size_t i = bar + 1;
    for (; i < tokens.size() && isPlaceholder(tokens[i].kind); ++i)
        l.denominator.push_back(tokens[i]);
    if (l.denominator.empty() && i < tokens.size() && tokens[i].kind == Kind::Literal) {
        const QString& text = tokens[i].text;
        qsizetype k = 0;
        while (k < text.size() && text[k].isDigit())
            ++k;
        l.fixed = text.left(k).toLongLong();
        if (k > 0 && k < text.size())
            l.after.push_back({Kind::Literal, 1, text.mid(k)});
        if (k > 0)
            ++i;
    }
    l.after.insert(l.after.end(), tokens.begin() + static_cast<long>(i), tokens.end());
    return l;
}

QString formatFraction(const std::vector<Token>& tokens, double v) {
    const FractionLayout l = fractionLayout(tokens);
    const bool mixed = countPlaceholders(l.whole) > 0;
    double whole = 0, part = v;
    if (mixed) {
        whole = std::floor(v);
        part = v - whole;
    }
    auto [n, d] = nearestFraction(part, countPlaceholders(l.denominator), l.fixed);
    if (mixed && n == d) {
        whole += 1;
        n = 0;
    }
    QString out;
    if (mixed) {
        const std::string w = whole == 0 && n != 0 ? std::string() : roundedDigits(whole, 0).first;
        out = fillWhole(l.whole, w.empty() && n == 0 ? std::string("0") : w, false);
    }
    const int width = countPlaceholders(l.numerator) + 1 +
                      (l.fixed > 0 ? static_cast<int>(std::to_string(l.fixed).size())
                                   : countPlaceholders(l.denominator));
    if (mixed && n == 0) {
        out = out.trimmed().isEmpty() ? QStringLiteral("0") : out;
        out += QString(width, u' ');
    } else {
        const std::string ds = std::to_string(d);
        out += fillWhole(l.numerator, std::to_string(n), false) + u'/' + QString::fromStdString(ds);
        // A denominator is left-aligned: the placeholders it leaves over are blanks.
        if (l.fixed == 0)
            out += QString(
                std::max(0, countPlaceholders(l.denominator) - static_cast<int>(ds.size())), u' ');
    }
    for (const Token& t : l.after)
        out += literalText(t);
    return out;
}

} // namespace

QString formatNumberSection(const Section& s, double v) {
    bool hasPlaceholder = false, hasBar = false;
    for (const Token& t : s.tokens) {
        hasPlaceholder = hasPlaceholder || isPlaceholder(t.kind);
        hasBar = hasBar || t.kind == Kind::Slash;
    }
    if (!hasPlaceholder) {
        // Literals around General or the text placeholder (a number in a text format shows
        // as General), or literals alone ("-", "\"无\"").
        QString out;
        for (const Token& t : s.tokens)
            out += t.kind == Kind::General || t.kind == Kind::At ? generalText(v) : literalText(t);
        return out;
    }
    NumberLayout l = layoutOf(s.tokens);
    double scaled = v * std::pow(100.0, l.percent) / std::pow(1000.0, l.scaling);
    if (hasBar && l.exponentSign < 0 && !l.point)
        return formatFraction(s.tokens, scaled);
    return l.exponentSign >= 0 ? formatScientific(l, scaled) : formatPlain(l, scaled);
}

namespace {

// Dates and times.

const char16_t* const kMonths[] = {u"January",   u"February", u"March",    u"April",
                                   u"May",       u"June",     u"July",     u"August",
                                   u"September", u"October",  u"November", u"December"};
const char16_t* const kDays[] = {u"Sunday",   u"Monday", u"Tuesday", u"Wednesday",
                                 u"Thursday", u"Friday", u"Saturday"};
const char16_t* const kChineseDays[] = {u"日", u"一", u"二", u"三", u"四", u"五", u"六"};

struct DateParts {
    int year = 1900, month = 1, day = 0, weekday = 0; // weekday: 0 Sunday
    long long days = 0;                               // whole days since the epoch
    long long hour = 0, minute = 0, second = 0;
    long long fraction = 0; // of a second, in units of 10^-precision
};

// A serial date as a spreadsheet reads it: in the 1900 system day 1 is 1900-01-01, day 60
// the 29 February 1900 that never was; in the 1904 system day 0 is 1904-01-01. Nothing for
// a number no date has.
std::optional<DateParts> dateParts(double serial, bool date1904, int precision) {
    if (!(serial >= 0 && serial < 2958466))
        return std::nullopt;
    const long long scale = static_cast<long long>(std::pow(10, precision));
    const long long perDay = 86400LL * scale;
    const long long units = std::llround(serial * static_cast<double>(perDay));
    DateParts p;
    p.days = units / perDay;
    long long rest = units % perDay;
    p.fraction = rest % scale;
    rest /= scale;
    p.hour = rest / 3600;
    p.minute = rest / 60 % 60;
    p.second = rest % 60;
    QDate date;
    if (date1904) {
        date = QDate(1904, 1, 1).addDays(p.days);
        p.weekday = date.dayOfWeek() % 7;
    } else {
        p.weekday = static_cast<int>((p.days + 6) % 7);
        if (p.days == 0) {
            return p; // 1900-01-00
        } else if (p.days == 60) {
            p.month = 2;
            p.day = 29;
            return p;
        }
        date =
            p.days > 60 ? QDate(1899, 12, 30).addDays(p.days) : QDate(1899, 12, 31).addDays(p.days);
    }
    p.year = date.year();
    p.month = date.month();
    p.day = date.day();
    return p;
}

QString padded(long long v, int width) {
    return QStringLiteral("%1").arg(v, width, 10, QLatin1Char('0'));
}

// The date part a token shows: a year, a month or a day (as a number or by name).
QString datePart(const Token& t, const DateParts& p) {
    switch (t.kind) {
    case Kind::Year:
        return t.count <= 2 ? padded(p.year % 100, 2) : padded(p.year, 4);
    case Kind::Month:
        if (t.count <= 2)
            return padded(p.month, t.count);
        return QStringView(kMonths[p.month - 1])
            .left(t.count == 3   ? 3
                  : t.count == 4 ? -1
                                 : 1)
            .toString();
    case Kind::Day:
        if (t.count <= 2)
            return padded(p.day, t.count);
        return QStringView(kDays[p.weekday]).left(t.count == 3 ? 3 : -1).toString();
    case Kind::Weekday:
        return (t.count >= 4 ? QStringLiteral("星期") : QString()) +
               QStringView(kChineseDays[p.weekday]).toString();
    default:
        return {};
    }
}

// The time part a token shows; the largest elapsed unit carries what the units above it
// would show.
QString timePart(const Token& t, const DateParts& p, bool twelveHour, int precision) {
    switch (t.kind) {
    case Kind::Hour:
        return padded(twelveHour ? (p.hour % 12 == 0 ? 12 : p.hour % 12) : p.hour,
                      std::min(t.count, 2));
    case Kind::Minute:
        return padded(p.minute, std::min(t.count, 2));
    case Kind::Second:
        return padded(p.second, std::min(t.count, 2));
    case Kind::Elapsed: {
        const long long hours = p.days * 24 + p.hour;
        const long long total = t.letter == u'h'   ? hours
                                : t.letter == u'm' ? hours * 60 + p.minute
                                                   : (hours * 60 + p.minute) * 60 + p.second;
        return padded(total, t.count);
    }
    case Kind::SecondFraction:
        return u'.' + padded(p.fraction, precision).left(t.count);
    case Kind::AmPm: {
        const qsizetype bar = t.text.indexOf(u'/');
        return p.hour < 12 ? t.text.left(bar) : t.text.mid(bar + 1);
    }
    default:
        return {};
    }
}

} // namespace

QString formatDateSection(const Section& s, double v, bool date1904) {
    int precision = 0;
    for (const Token& t : s.tokens)
        if (t.kind == Kind::SecondFraction)
            precision = std::max(precision, t.count);
    const std::optional<DateParts> parts = dateParts(v, date1904, precision);
    if (!parts)
        return generalText(v);
    QString out;
    for (const Token& t : s.tokens) {
        if (t.kind == Kind::Year || t.kind == Kind::Month || t.kind == Kind::Day ||
            t.kind == Kind::Weekday)
            out += datePart(t, *parts);
        else if (isDateToken(t.kind))
            out += timePart(t, *parts, s.twelveHour, precision);
        else
            out += literalText(t);
    }
    return out;
}

} // namespace workbook::format_parts
