#include "indicator_sim/frames.h"

#include <cmath>

namespace indicator_sim {

namespace {

constexpr std::array<char, 6> kQuery{kStart, 'A', 'B', '0', '3', kEnd};

char hexDigit(int value, bool upper) {
    if (value < 10)
        return static_cast<char>('0' + value);
    return static_cast<char>((upper ? 'A' : 'a') + value - 10);
}

} // namespace

std::int64_t Reading::counts() const {
    std::int64_t n = 0;
    for (char d : digits) {
        if (d < '0' || d > '9')
            return -1;
        n = n * 10 + (d - '0');
    }
    return n;
}

QString Reading::text() const {
    const int places = (decimals >= '0' && decimals <= '9') ? decimals - '0' : 0;
    QString all = QString::fromLatin1(digits.data(), static_cast<qsizetype>(digits.size()));
    if (places >= all.size())
        all = QString(places + 1 - all.size(), QLatin1Char('0')) + all;
    QString whole = all.left(all.size() - places);
    while (whole.size() > 1 && whole.front() == QLatin1Char('0'))
        whole.remove(0, 1);
    QString result = negative() ? QStringLiteral("-") : QString();
    result += whole;
    if (places > 0)
        result += QLatin1Char('.') + all.right(places);
    return result;
}

std::optional<Reading> readingForCounts(std::int64_t signedCounts, int decimals) {
    if (decimals < 0 || decimals > kMaxDecimals)
        return std::nullopt;
    const std::int64_t magnitude = signedCounts < 0 ? -signedCounts : signedCounts;
    if (magnitude > kMaxCounts)
        return std::nullopt;
    Reading r;
    r.sign = signedCounts < 0 ? '-' : '+';
    r.decimals = static_cast<char>('0' + decimals);
    std::int64_t rest = magnitude;
    for (int i = 5; i >= 0; --i) {
        r.digits[static_cast<std::size_t>(i)] = static_cast<char>('0' + rest % 10);
        rest /= 10;
    }
    return r;
}

std::optional<Reading> readingFor(double kg, int decimals) {
    if (!std::isfinite(kg) || decimals < 0 || decimals > kMaxDecimals)
        return std::nullopt;
    const double scaled = std::round(std::fabs(kg) * std::pow(10.0, decimals));
    if (scaled > static_cast<double>(kMaxCounts))
        return std::nullopt;
    auto r = readingForCounts(static_cast<std::int64_t>(scaled), decimals);
    if (r && kg < 0)
        r->sign = '-';
    return r;
}

std::uint8_t xorCheck(QByteArrayView bytes) {
    std::uint8_t x = 0;
    for (char b : bytes)
        x ^= static_cast<std::uint8_t>(b);
    return x;
}

std::array<char, 2> checkDigits(std::uint8_t value) {
    return {hexDigit(value >> 4, true), hexDigit(value & 0x0F, true)};
}

QByteArray commandReply(const Reading& reading, const ReplyOptions& options) {
    QByteArray f(kReplyLength, '\0');
    f[0] = kStart;
    f[1] = options.byte1;
    f[2] = options.byte2;
    f[3] = reading.sign;
    for (int i = 0; i < 6; ++i)
        f[4 + i] = reading.digits[static_cast<std::size_t>(i)];
    f[10] = reading.decimals;
    std::uint8_t check = xorCheck(QByteArrayView(f).sliced(1, 10));
    bool upper = true;
    switch (options.corruption) {
    case Corruption::None:
        break;
    case Corruption::WrongCheck:
        check ^= 0x01;
        break;
    case Corruption::LowerCaseCheck:
        upper = false;
        break;
    case Corruption::DamagedDigit:
        // The lowest digit moves by one; the check was taken over the undamaged frame.
        f[9] = f[9] == '9' ? '8' : static_cast<char>(f[9] + 1);
        break;
    }
    f[11] = hexDigit(check >> 4, upper);
    f[12] = hexDigit(check & 0x0F, upper);
    f[13] = kEnd;
    return f;
}

bool replyCheckPasses(QByteArrayView frame) {
    if (frame.size() != kReplyLength || frame[0] != kStart)
        return false;
    const auto expected = checkDigits(xorCheck(frame.sliced(1, 10)));
    return frame[11] == expected[0] && frame[12] == expected[1];
}

QByteArray continuousFrame(const Reading& reading, QByteArrayView extra) {
    QByteArray f;
    f.reserve(10 + extra.size());
    f.append(kStart);
    f.append(reading.sign);
    f.append(reading.digits.data(), static_cast<qsizetype>(reading.digits.size()));
    f.append(reading.decimals);
    f.append(extra);
    f.append(kEnd);
    return f;
}

QByteArray commandQuery() {
    return QByteArray(kQuery.data(), static_cast<qsizetype>(kQuery.size()));
}

bool isCommandQuery(QByteArrayView bytes) {
    return bytes == QByteArrayView(kQuery.data(), static_cast<qsizetype>(kQuery.size()));
}

int QueryScanner::feed(QByteArrayView bytes) {
    int found = 0;
    for (char b : bytes) {
        if (b == kQuery[static_cast<std::size_t>(m_matched)]) {
            ++m_matched;
        } else {
            // The start byte appears only at the head of the query, so a mismatch can only
            // restart a match at a start byte.
            m_matched = b == kStart ? 1 : 0;
        }
        if (m_matched == static_cast<int>(kQuery.size())) {
            ++found;
            m_matched = 0;
        }
    }
    return found;
}

QString hexBytes(QByteArrayView bytes) {
    QString s;
    s.reserve(bytes.size() * 3);
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (i > 0)
            s += QLatin1Char(' ');
        const auto v = static_cast<std::uint8_t>(bytes[i]);
        s += QLatin1Char(hexDigit(v >> 4, true));
        s += QLatin1Char(hexDigit(v & 0x0F, true));
    }
    return s;
}

} // namespace indicator_sim
