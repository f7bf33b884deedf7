#include "link/frame.h"

namespace indicator {

std::uint8_t hexDigitCode(int value) {
    return static_cast<std::uint8_t>(value > 9 ? value + 55 : value + 48);
}

std::array<std::uint8_t, 6> commandQuery() {
    std::array<std::uint8_t, 6> q{};
    q[0] = kStx;
    q[1] = 'A';
    q[2] = 'B';
    const int c = q[1] ^ q[2];
    q[3] = hexDigitCode(c / 16);
    q[4] = hexDigitCode(c % 16);
    q[5] = kEtx;
    return q;
}

bool scanCommandReply(RecvBuffer& buf, const QByteArray& chunk, bool& changed) {
    bool started = false;
    std::size_t position = 0;
    for (const char c : chunk) {
        const auto byte = static_cast<std::uint8_t>(c);
        if (!started) {
            if (byte == kStx) {
                started = true;
                position = 1;
            }
            continue;
        }
        if (position >= buf.size())
            return false;
        if (buf[position] != byte) {
            changed = true;
            buf[position] = byte;
        }
        ++position;
        if (byte == kEtx)
            break;
    }
    return true;
}

bool commandCheckPasses(const RecvBuffer& buf) {
    int x = 0;
    for (std::size_t i = 1; i <= 10; ++i)
        x ^= buf[i];
    return buf[11] == hexDigitCode(x / 16) && buf[12] == hexDigitCode(x % 16);
}

std::optional<std::int32_t> commandDigits(const RecvBuffer& buf) {
    // Digit values and the three lower products are 16-bit, the two higher products and
    // the sum 32-bit; only the thousands product can leave its range.
    auto digit = [&](std::size_t i) { return static_cast<std::int16_t>(buf[i] - 48); };
    const std::int32_t thousands = digit(6) * 1000;
    if (thousands > INT16_MAX || thousands < INT16_MIN)
        return std::nullopt;
    return std::int32_t{digit(4)} * 100000 + std::int32_t{digit(5)} * 10000 + thousands +
           digit(7) * 100 + digit(8) * 10 + digit(9);
}

std::optional<QString> weightText(double weight, int decimals) {
    if (decimals < 0 || decimals > 4)
        return std::nullopt;
    return QString::number(weight, 'f', decimals) + QStringLiteral("kg");
}

ContinuousScan scanContinuousChunk(RecvBuffer& buf, const QByteArray& chunk) {
    ContinuousScan scan;
    bool inFrame = false;
    std::size_t position = 0;
    for (const char c : chunk) {
        const auto byte = static_cast<std::uint8_t>(c);
        if (byte == kStx) {
            inFrame = true;
            position = 0;
            scan.changed = false;
        }
        if (!inFrame)
            continue;
        if (position >= buf.size())
            break; // longer than any frame the buffer holds: cut here
        if (buf[position] != byte) {
            scan.changed = true;
            buf[position] = byte;
        }
        scan.stored.append(static_cast<char>(byte));
        ++position;
        if (byte == kEtx)
            break;
    }
    return scan;
}

std::optional<ContinuousReading> continuousReading(const RecvBuffer& buf) {
    for (std::size_t i = 2; i <= 8; ++i)
        if (buf[i] < '0' || buf[i] > '9')
            return std::nullopt;
    ContinuousReading r;
    for (std::size_t i = 2; i <= 7; ++i)
        r.counts = r.counts * 10 + (buf[i] - '0');
    r.decimals = buf[8] - '0';
    r.negative = buf[1] == '-';
    return r;
}

} // namespace indicator
