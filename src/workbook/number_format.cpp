#include "workbook/number_format.h"

#include "workbook/book.h"
#include "workbook/number_format_parts.h"

#include <QDate>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>

namespace workbook {

using namespace format_parts;

namespace {

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
