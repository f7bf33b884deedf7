#include "workbook/number_format.h"

#include "workbook/book.h"

#include <QDate>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>

namespace workbook {

namespace {

enum class Kind : std::uint8_t {
    Literal,
    Zero,  // 0
    Hash,  // #
    Quest, // ?
    Point,
    Comma,
    Percent,
    Exponent, // E+ or E-; `count` 1 for E+
    Slash,    // the fraction's bar
    At,
    General,
    Year,
    Month,
    Day,
    Weekday, // aaa, aaaa: the Chinese weekday
    Hour,
    Minute,
    Second,
    Elapsed,        // [h] [m] [s]: `letter` and `count`
    SecondFraction, // the digits of .0, .00, .000 after seconds
    AmPm,           // `text` holds the two forms, "AM/PM", "A/P" or "上午/下午"
};

struct Token {
    Token(Kind k, int n = 1, QString t = {}, char16_t l = 0)
        : kind(k), count(n), text(std::move(t)), letter(l) {}
    Kind kind;
    int count;
    QString text;
    char16_t letter;
};

bool isPlaceholder(Kind k) {
    return k == Kind::Zero || k == Kind::Hash || k == Kind::Quest;
}

bool isDateToken(Kind k) {
    return k >= Kind::Year;
}

} // namespace

struct NumberFormat::Section {
    std::vector<Token> tokens;
    Colour colour;
    char condition = 0; // '<', '>', '=', 'l' (<=), 'g' (>=), 'n' (<>), 0: none
    double conditionValue = 0;
    bool date = false;
    bool twelveHour = false;
    bool text = false; // holds @

    bool matches(double v) const {
        switch (condition) {
        case '<':
            return v < conditionValue;
        case '>':
            return v > conditionValue;
        case '=':
            return v == conditionValue;
        case 'l':
            return v <= conditionValue;
        case 'g':
            return v >= conditionValue;
        case 'n':
            return v != conditionValue;
        default:
            return true;
        }
    }
};

namespace {

using Section = NumberFormat::Section;

// A number written in the code, "." always ("[>=1000.5]").
double codeNumber(QStringView text) {
    const QByteArray ascii = text.toLatin1();
    double v = 0;
    std::from_chars(ascii.constData(), ascii.constData() + ascii.size(), v);
    return v;
}

// What a bracket holds: a colour, a condition, an elapsed time, a currency or locale tag
// (whose symbol is shown), or something left out ([DBNum1], [$-F800] ...).
void bracket(Section& s, QStringView inside) {
    static const char16_t* const colours[] = {u"black", u"white",  u"red",     u"green",
                                              u"blue",  u"yellow", u"magenta", u"cyan"};
    const QString lower = inside.toString().toLower();
    for (int i = 0; i < 8; ++i)
        if (lower == QStringView(colours[i])) {
            s.colour = static_cast<std::uint16_t>(8 + i);
            return;
        }
    if (lower.startsWith(u"color")) {
        bool ok = false;
        const int n = lower.mid(5).toInt(&ok);
        if (ok && n >= 1 && n <= 56)
            s.colour = static_cast<std::uint16_t>(n + 7);
        return;
    }
    if (!inside.isEmpty() && QStringView(u"<>=").contains(inside[0])) {
        QStringView rest = inside;
        if (rest.startsWith(u"<=")) {
            s.condition = 'l';
        } else if (rest.startsWith(u">=")) {
            s.condition = 'g';
        } else if (rest.startsWith(u"<>")) {
            s.condition = 'n';
        } else {
            s.condition = static_cast<char>(rest[0].unicode());
            rest = rest.mid(1);
        }
        if (s.condition == 'l' || s.condition == 'g' || s.condition == 'n')
            rest = rest.mid(2);
        s.conditionValue = codeNumber(rest.trimmed());
        return;
    }
    if (!lower.isEmpty() && lower.count(lower[0]) == lower.size() &&
        QStringView(u"hms").contains(lower[0])) {
        s.tokens.push_back({Kind::Elapsed, static_cast<int>(lower.size()), {}, lower[0].unicode()});
        s.date = true;
        return;
    }
    if (inside.startsWith(u'$')) {
        const qsizetype dash = inside.indexOf(u'-');
        const QStringView symbol = inside.mid(1, dash < 0 ? -1 : dash - 1);
        if (!symbol.isEmpty())
            s.tokens.push_back({Kind::Literal, 1, symbol.toString()});
    }
}

void addLiteral(Section& s, const QString& text) {
    if (!s.tokens.empty() && s.tokens.back().kind == Kind::Literal)
        s.tokens.back().text += text;
    else
        s.tokens.push_back({Kind::Literal, 1, text});
}

// The quoted, escaped, spaced, filled and bracketed parts of a code at `i`; false for
// anything else. `i` ends on the part's last character.
bool parseEnclosed(Section& s, QStringView code, qsizetype& i) {
    const qsizetype n = code.size();
    const QChar c = code[i];
    if (c == u'"') {
        const qsizetype end = code.indexOf(u'"', i + 1);
        addLiteral(s, code.mid(i + 1, (end < 0 ? n : end) - i - 1).toString());
        i = end < 0 ? n : end;
    } else if (c == u'\\') {
        if (i + 1 < n)
            addLiteral(s, code[++i]);
    } else if (c == u'_') {
        ++i;
        addLiteral(s, QStringLiteral(" "));
    } else if (c == u'*') {
        ++i; // the fill character: a column's width is not known here
    } else if (c == u'[') {
        const qsizetype end = code.indexOf(u']', i + 1);
        bracket(s, code.mid(i + 1, (end < 0 ? n : end) - i - 1));
        i = end < 0 ? n : end;
    } else {
        return false;
    }
    return true;
}

// The words of a code at `i` (General, AM/PM, A/P, 上午/下午, E+ and E-); false for
// anything else.
bool parseWord(Section& s, QStringView code, qsizetype& i) {
    const auto at = [&](QStringView word) {
        return code.mid(i, word.size()).compare(word, Qt::CaseInsensitive) == 0;
    };
    if (at(u"general")) {
        s.tokens.push_back({Kind::General});
        i += 6;
        return true;
    }
    for (const QStringView word :
         {QStringView(u"am/pm"), QStringView(u"a/p"), QStringView(u"上午/下午")})
        if (at(word)) {
            s.tokens.push_back({Kind::AmPm, 1, code.mid(i, word.size()).toString()});
            s.twelveHour = true;
            i += word.size() - 1;
            return true;
        }
    if (code[i].toLower() == u'e' && i + 1 < code.size() &&
        (code[i + 1] == u'+' || code[i + 1] == u'-')) {
        s.tokens.push_back({Kind::Exponent, code[i + 1] == u'+' ? 1 : 0});
        ++i;
        return true;
    }
    return false;
}

// The date letters at `i`, a run of one letter a token ("yyyy"); false for others.
bool parseDateLetters(Section& s, QStringView code, qsizetype& i) {
    const char16_t lc = code[i].toLower().unicode();
    const auto run = [&] {
        qsizetype j = i;
        while (j < code.size() && code[j].toLower() == code[i].toLower())
            ++j;
        const int count = static_cast<int>(j - i);
        i = j - 1;
        return count;
    };
    static const std::pair<char16_t, Kind> letters[] = {{u'y', Kind::Year},
                                                        {u'm', Kind::Month},
                                                        {u'd', Kind::Day},
                                                        {u'h', Kind::Hour},
                                                        {u's', Kind::Second}};
    if (lc == u'e') {
        s.tokens.push_back({Kind::Year, 4});
        return true;
    }
    for (const auto& [letter, kind] : letters)
        if (lc == letter) {
            s.tokens.push_back({kind, run()});
            return true;
        }
    if (lc == u'a' && code.mid(i, 3).compare(u"aaa", Qt::CaseInsensitive) == 0) {
        s.tokens.push_back({Kind::Weekday, run()});
        return true;
    }
    return false;
}

// One section's tokens, date letters grouped ("yyyy" is one token).
Section parseSection(QStringView code) {
    static const std::pair<char16_t, Kind> signs[] = {
        {u'0', Kind::Zero},  {u'#', Kind::Hash},    {u'?', Kind::Quest}, {u'.', Kind::Point},
        {u',', Kind::Comma}, {u'%', Kind::Percent}, {u'/', Kind::Slash}, {u'@', Kind::At}};
    Section s;
    for (qsizetype i = 0; i < code.size(); ++i) {
        if (parseEnclosed(s, code, i) || parseWord(s, code, i) || parseDateLetters(s, code, i))
            continue;
        const auto sign = std::find_if(std::begin(signs), std::end(signs),
                                       [&](const auto& p) { return p.first == code[i]; });
        if (sign == std::end(signs)) {
            addLiteral(s, code[i]);
            continue;
        }
        s.tokens.push_back({sign->second});
        s.text = s.text || sign->second == Kind::At;
    }
    for (const Token& t : s.tokens)
        s.date = s.date || isDateToken(t.kind);
    return s;
}

// In a date section: "m" beside hours or seconds is minutes, ".00" after seconds their
// fraction, and a digit placeholder or bar anywhere else is written as it is.
void settleDateSection(Section& s) {
    std::vector<Token>& t = s.tokens;
    const auto neighbour = [&](std::size_t from, int step) -> const Token* {
        for (auto k = static_cast<std::ptrdiff_t>(from) + step;
             k >= 0 && k < static_cast<std::ptrdiff_t>(t.size()); k += step)
            if (isDateToken(t[static_cast<std::size_t>(k)].kind))
                return &t[static_cast<std::size_t>(k)];
        return nullptr;
    };
    const auto is = [](const Token* token, Kind kind, char16_t elapsed) {
        return token != nullptr &&
               (token->kind == kind || (token->kind == Kind::Elapsed && token->letter == elapsed));
    };
    for (std::size_t i = 0; i < t.size(); ++i)
        if (t[i].kind == Kind::Month && t[i].count <= 2 &&
            (is(neighbour(i, -1), Kind::Hour, u'h') || is(neighbour(i, 1), Kind::Second, u's')))
            t[i].kind = Kind::Minute;
    std::vector<Token> settled;
    for (std::size_t i = 0; i < t.size(); ++i) {
        if (t[i].kind == Kind::Point && i + 1 < t.size() && t[i + 1].kind == Kind::Zero &&
            is(neighbour(i, -1), Kind::Second, u's')) {
            int digits = 0;
            while (i + 1 < t.size() && t[i + 1].kind == Kind::Zero) {
                ++digits;
                ++i;
            }
            settled.push_back({Kind::SecondFraction, std::min(digits, 3)});
            continue;
        }
        static const std::pair<Kind, char16_t> written[] = {
            {Kind::Zero, u'0'},  {Kind::Hash, u'#'},  {Kind::Quest, u'?'},  {Kind::Point, u'.'},
            {Kind::Comma, u','}, {Kind::Slash, u'/'}, {Kind::Percent, u'%'}};
        bool literal = false;
        for (const auto& [kind, ch] : written)
            if (t[i].kind == kind) {
                Token lit{Kind::Literal, 1, QString(QChar(ch))};
                if (!settled.empty() && settled.back().kind == Kind::Literal)
                    settled.back().text += lit.text;
                else
                    settled.push_back(lit);
                literal = true;
            }
        if (!literal)
            settled.push_back(t[i]);
    }
    t = std::move(settled);
}

// Splits a code into its sections at the semicolons outside quotes and brackets.
std::vector<QStringView> splitSections(QStringView code) {
    std::vector<QStringView> parts;
    qsizetype start = 0;
    for (qsizetype i = 0; i < code.size(); ++i) {
        const QChar c = code[i];
        if (c == u'"') {
            const qsizetype end = code.indexOf(u'"', i + 1);
            i = end < 0 ? code.size() : end;
        } else if (c == u'\\' || c == u'_' || c == u'*') {
            ++i;
        } else if (c == u'[') {
            const qsizetype end = code.indexOf(u']', i + 1);
            i = end < 0 ? code.size() : end;
        } else if (c == u';') {
            parts.push_back(code.mid(start, i - start));
            start = i + 1;
        }
    }
    parts.push_back(code.mid(start));
    return parts;
}

// --- numbers ------------------------------------------------------------------------------

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

// --- dates --------------------------------------------------------------------------------

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

// The built-in number formats by id ([MS-XLS] 2.4.126), as a Chinese desktop shows them.
const char16_t* const kBuiltInCodes[] = {
    u"General",
    u"0",
    u"0.00",
    u"#,##0",
    u"#,##0.00",
    u"\"$\"#,##0_);(\"$\"#,##0)",
    u"\"$\"#,##0_);[Red](\"$\"#,##0)",
    u"\"$\"#,##0.00_);(\"$\"#,##0.00)",
    u"\"$\"#,##0.00_);[Red](\"$\"#,##0.00)",
    u"0%",
    u"0.00%",
    u"0.00E+00",
    u"# ?/?",
    u"# ?\?/?\?",
    u"yyyy/m/d", // 14: the desktop's short date, as a Chinese desktop writes it
    u"d-mmm-yy",
    u"d-mmm",
    u"mmm-yy",
    u"h:mm AM/PM",
    u"h:mm:ss AM/PM",
    u"h:mm",
    u"h:mm:ss",
    u"yyyy/m/d h:mm", // 22
    u"",
    u"",
    u"",
    u"",
    u"yyyy\"年\"m\"月\"", // 27 to 36: the Chinese desktop's own
    u"m\"月\"d\"日\"",
    u"m\"月\"d\"日\"",
    u"m-d-yy",
    u"yyyy\"年\"m\"月\"d\"日\"",
    u"h\"时\"mm\"分\"",
    u"h\"时\"mm\"分\"ss\"秒\"",
    u"上午/下午h\"时\"mm\"分\"",
    u"上午/下午h\"时\"mm\"分\"ss\"秒\"",
    u"yyyy\"年\"m\"月\"",
    u"#,##0_);(#,##0)",
    u"#,##0_);[Red](#,##0)",
    u"#,##0.00_);(#,##0.00)",
    u"#,##0.00_);[Red](#,##0.00)",
    u"_(* #,##0_);_(* (#,##0);_(* \"-\"_);_(@_)",
    u"_(\"$\"* #,##0_);_(\"$\"* (#,##0);_(\"$\"* \"-\"_);_(@_)",
    u"_(* #,##0.00_);_(* (#,##0.00);_(* \"-\"??_);_(@_)",
    u"_(\"$\"* #,##0.00_);_(\"$\"* (#,##0.00);_(\"$\"* \"-\"??_);_(@_)",
    u"mm:ss",
    u"[h]:mm:ss",
    u"mm:ss.0",
    u"##0.0E+0",
    u"@",
    u"yyyy\"年\"m\"月\"", // 50 to 58: the Chinese desktop's own
    u"m\"月\"d\"日\"",
    u"yyyy\"年\"m\"月\"",
    u"m\"月\"d\"日\"",
    u"m\"月\"d\"日\"",
    u"上午/下午h\"时\"mm\"分\"",
    u"上午/下午h\"时\"mm\"分\"ss\"秒\"",
    u"yyyy\"年\"m\"月\"",
    u"m\"月\"d\"日\"",
};

} // namespace

QString builtInFormatCode(int id) {
    if (id < 0 || id >= static_cast<int>(std::size(kBuiltInCodes)))
        return {};
    return QString::fromUtf16(kBuiltInCodes[id]);
}

QString generalText(double value) {
    QString text = numberText(value);
    if (text.startsWith(u' '))
        text.remove(0, 1);
    return text;
}

NumberFormat::NumberFormat() : NumberFormat(QStringLiteral("General")) {}

NumberFormat::NumberFormat(const QString& code) {
    const QString written = code.trimmed().isEmpty() ? QStringLiteral("General") : code;
    for (const QStringView part : splitSections(written)) {
        if (m_sections.size() == 4)
            break;
        auto s = std::make_unique<Section>(parseSection(part));
        if (s->date)
            settleDateSection(*s);
        m_sections.push_back(std::move(s));
    }
}

NumberFormat::~NumberFormat() = default;

DateTimeParts dateTimeParts(const QString& code) {
    bool date = false;
    bool time = false;
    for (const QStringView part : splitSections(code)) {
        Section s = parseSection(part);
        if (!s.date)
            continue;
        settleDateSection(s);
        for (const Token& t : s.tokens) {
            date = date || t.kind == Kind::Year || t.kind == Kind::Month || t.kind == Kind::Day ||
                   t.kind == Kind::Weekday;
            time = time || t.kind == Kind::Hour || t.kind == Kind::Minute ||
                   t.kind == Kind::Second || t.kind == Kind::Elapsed ||
                   t.kind == Kind::SecondFraction;
        }
    }
    if (date && time)
        return DateTimeParts::DateAndTime;
    if (date)
        return DateTimeParts::Date;
    return time ? DateTimeParts::Time : DateTimeParts::None;
}
NumberFormat::NumberFormat(NumberFormat&&) noexcept = default;
NumberFormat& NumberFormat::operator=(NumberFormat&&) noexcept = default;

bool NumberFormat::isDateTime() const {
    return m_sections[0]->date;
}

bool NumberFormat::isGeneral() const {
    const auto& t = m_sections[0]->tokens;
    return m_sections.size() == 1 && t.size() == 1 && t[0].kind == Kind::General;
}

QString NumberFormat::format(double value, bool date1904, Colour* colour) const {
    // The section for the value: by the sections' conditions where the first has one, else
    // positive (and zero, with two sections); negative, shown without its sign; zero. A last
    // section with "@" (or a fourth) is for texts.
    std::size_t count = m_sections.size();
    if (count == 4 || (count > 1 && m_sections[count - 1]->text))
        --count;
    std::size_t index = 0;
    bool signShown = true;
    if (m_sections[0]->condition != 0) {
        if (!m_sections[0]->matches(value))
            index = count >= 2 && m_sections[1]->matches(value) ? 1 : count >= 3 ? 2 : 0;
        signShown = !(index == 1 && m_sections[1]->condition == 0);
    } else if (value < 0 && count >= 2) {
        index = 1;
        signShown = false;
    } else if (value == 0 && count >= 3) {
        index = 2;
    }
    const Section& s = *m_sections[index];
    if (colour)
        *colour = s.colour;
    if (s.date)
        return formatDateSection(s, value, date1904);
    const double magnitude = std::fabs(value);
    QString text = formatNumberSection(s, magnitude);
    if (value < 0 && signShown) {
        // No sign when what shows rounds to zero: a spreadsheet shows -0.001 as 0.00 too.
        bool nonZero = false;
        for (const QChar c : text)
            nonZero = nonZero || (c.isDigit() && c != u'0');
        if (nonZero)
            text.prepend(u'-');
    }
    return text;
}

QString NumberFormat::formatText(const QString& text, Colour* colour) const {
    const Section* s = nullptr;
    if (m_sections.size() >= 4)
        s = m_sections[3].get();
    else if (m_sections.back()->text && !m_sections.back()->date)
        s = m_sections.back().get();
    if (colour)
        *colour = s ? s->colour : Colour();
    if (!s)
        return text;
    QString out;
    for (const Token& t : s->tokens)
        out += t.kind == Kind::At ? text : literalText(t);
    return out;
}

} // namespace workbook
