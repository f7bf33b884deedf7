#include "records/text_forms.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace records {

double leadingNumber(const QString& text) {
    QByteArray s;
    s.reserve(text.size());
    for (const QChar c : text) {
        // Blanks are spaces, tabs and line feeds; a carriage return ends the number.
        if (c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n'))
            continue;
        // Anything outside ASCII ends the number where it stands.
        s.append(c.unicode() < 128 ? static_cast<char>(c.unicode()) : '\x01');
    }
    qsizetype i = 0;
    const qsizetype n = s.size();
    bool negative = false;
    if (i < n && (s[i] == '+' || s[i] == '-'))
        negative = s[i++] == '-';
    QByteArray num;
    bool dot = false;
    int mantissaDigits = 0;
    int integerDigits = 0; // after leading zeros: where the value's magnitude starts
    for (; i < n; ++i) {
        if (s[i] >= '0' && s[i] <= '9') {
            num.append(s[i]);
            ++mantissaDigits;
            if (!dot && (integerDigits > 0 || s[i] != '0'))
                ++integerDigits;
        } else if (s[i] == '.' && !dot) {
            num.append('.');
            dot = true;
        } else {
            break;
        }
    }
    if (mantissaDigits == 0)
        return 0.0;
    long exponent = 0;
    if (i < n && (s[i] == 'e' || s[i] == 'E' || s[i] == 'd' || s[i] == 'D')) {
        qsizetype j = i + 1;
        QByteArray exp("e");
        if (j < n && (s[j] == '+' || s[j] == '-')) {
            if (s[j] == '-')
                exp.append('-');
            ++j;
        }
        const qsizetype firstDigit = j;
        while (j < n && s[j] >= '0' && s[j] <= '9')
            exp.append(s[j++]);
        if (j > firstDigit) {
            num.append(exp);
            // Clamped: only its sign and rough size matter when the value is out of range.
            exponent = std::clamp(std::strtol(exp.constData() + 1, nullptr, 10), -100000L, 100000L);
        }
    }
    // std::from_chars reads "." whatever the C library's locale (strtod would stop at "."
    // under a decimal-comma locale and read "1500.5" as 1500).
    double value = 0;
    const auto result = std::from_chars(num.constData(), num.constData() + num.size(), value);
    if (result.ec == std::errc::result_out_of_range)
        value = integerDigits + exponent > 0 ? HUGE_VAL : 0.0;
    return negative ? -value : value;
}

QString netText(double net) {
    if (!std::isfinite(net) || net < 0)
        return QStringLiteral("出错！");
    QString t = QString::number(net, 'f', 4);
    while (t.endsWith(QLatin1Char('0')) && t.indexOf(QLatin1Char('.')) < t.size() - 2)
        t.chop(1);
    return t + QStringLiteral("kg");
}

QString dateLine(const QDate& date) {
    return QStringLiteral("日期：%1年%2月%3日")
        .arg(date.year(), 4, 10, QLatin1Char('0'))
        .arg(date.month(), 2, 10, QLatin1Char('0'))
        .arg(date.day(), 2, 10, QLatin1Char('0'));
}

QString timeLine(const QTime& time) {
    return QStringLiteral("时间：%1时%2分%3秒")
        .arg(time.hour(), 2, 10, QLatin1Char('0'))
        .arg(time.minute(), 2, 10, QLatin1Char('0'))
        .arg(time.second(), 2, 10, QLatin1Char('0'));
}

QString dayFileName(const QString& dateText) {
    QString name = dateText;
    for (QChar& c : name) {
        if (c.unicode() < 0x20 || QStringView(u"/\\:*?\"<>|").contains(c))
            c = QLatin1Char('-');
    }
    // A name of dots alone would name a folder.
    if (name.isEmpty() || name.count(QLatin1Char('.')) == name.size())
        name = QStringLiteral("-") + name;
    return name;
}

} // namespace records
