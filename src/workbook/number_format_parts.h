#pragma once
// The parsed form of a number format code, shared by its parser (number_format.cpp) and what
// shows a number through one of its sections (number_format_show.cpp).

#include "workbook/number_format.h"

#include <QString>

#include <cstdint>
#include <vector>

namespace workbook::format_parts {

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

inline bool isPlaceholder(Kind k) {
    return k == Kind::Zero || k == Kind::Hash || k == Kind::Quest;
}

inline bool isDateToken(Kind k) {
    return k >= Kind::Year;
}

} // namespace workbook::format_parts

namespace workbook {

struct NumberFormat::Section {
    std::vector<format_parts::Token> tokens;
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

namespace format_parts {

using Section = NumberFormat::Section;

// A literal token's text ("%" and the fraction's "/" among them); empty for the others.
QString literalText(const Token& t);
// `v` (not negative: the sign is the caller's) through a section of digits, a fraction or
// scientific notation.
QString formatNumberSection(const Section& s, double v);
// `v` as a date or time through a section of date and time parts.
QString formatDateSection(const Section& s, double v, bool date1904);

} // namespace format_parts

} // namespace workbook
