#pragma once

// The weighing indicator's frames, built byte for byte, for the simulator and for tests that
// need an indicator on the other end of the line.
//
// Command mode: the program sends the query 02 41 42 30 33 03 and the indicator answers with a
// 14-byte reply frame:
//
//   offset 0      0x02 start of frame
//   offset 1, 2   two bytes the receiver does not interpret ('A', 'B'), covered by the check
//   offset 3      sign: '-' negative, any other byte positive
//   offset 4..9   six ASCII weight digits, most significant first
//   offset 10     number of decimal places, ASCII '0'..'4'
//   offset 11, 12 check: XOR of offsets 1..10 as two upper-case hexadecimal digits
//   offset 13     0x03 end of frame
//
// Continuous mode: the indicator sends 02, sign, six digits, decimals digit, any extra bytes,
// 03, unasked and without a check.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>

namespace indicator_sim {

inline constexpr char kStart = 0x02;
inline constexpr char kEnd = 0x03;
inline constexpr int kReplyLength = 14;
inline constexpr int kMaxDecimals = 4;
inline constexpr std::int64_t kMaxCounts = 999999; // six digits

// One reading as the indicator puts it on the line.
struct Reading {
    char sign = '+';
    std::array<char, 6> digits{'0', '0', '0', '0', '0', '0'};
    char decimals = '0';

    bool negative() const { return sign == '-'; }
    // The six digits as a number; -1 when one of them is not an ASCII digit.
    std::int64_t counts() const;
    // The reading as the indicator shows it: "85.6", "-1.25", "0.000", "856". Leading zeros are
    // dropped down to one digit before the point. Meaningful for digit bytes only.
    QString text() const;

    friend bool operator==(const Reading&, const Reading&) = default;
};

// The reading for a weight in kilograms shown with `decimals` places (0..4): the weight is
// rounded to the last place and its magnitude must fit into six digits. The sign byte is '-' for
// a negative weight and '+' otherwise. Empty for a weight that is out of range or not finite.
std::optional<Reading> readingFor(double kg, int decimals);
// The same for a weight already counted in units of the last place (8560 at 2 places is 85.60).
std::optional<Reading> readingForCounts(std::int64_t signedCounts, int decimals);

// Ways to spoil a reply frame the way a disturbed line or a faulty indicator would.
enum class Corruption {
    None,
    WrongCheck,     // the check digits carry a different value
    LowerCaseCheck, // the check digits are written with 'a'..'f'; spoils only checks with a letter
    DamagedDigit,   // a weight digit changed after the check was computed
};

struct ReplyOptions {
    char byte1 = 'A';
    char byte2 = 'B';
    Corruption corruption = Corruption::None;
};

// The exclusive-or of the bytes, the indicator's check.
std::uint8_t xorCheck(QByteArrayView bytes);
// The two upper-case hexadecimal digits of a check value, high digit first.
std::array<char, 2> checkDigits(std::uint8_t value);

// The 14 bytes of a command-mode reply carrying the reading.
QByteArray commandReply(const Reading& reading, const ReplyOptions& options = {});
// Whether the reply frame would pass the receiver's check: 14 bytes starting with the start
// byte whose offsets 11 and 12 are the upper-case check of offsets 1..10.
bool replyCheckPasses(QByteArrayView frame);

// A continuous-mode frame: start, sign, six digits, decimals digit, `extra`, end.
QByteArray continuousFrame(const Reading& reading, QByteArrayView extra = {});

// The program's query, 02 41 42 30 33 03.
QByteArray commandQuery();
bool isCommandQuery(QByteArrayView bytes);

// Finds queries in a byte stream that arrives in arbitrary pieces.
class QueryScanner {
public:
    // Takes the next piece of the stream; returns how many complete queries it finished.
    int feed(QByteArrayView bytes);

private:
    int m_matched = 0; // bytes of the query matched so far
};

// Upper-case hexadecimal bytes separated by blanks: "02 41 42".
QString hexBytes(QByteArrayView bytes);

} // namespace indicator_sim
