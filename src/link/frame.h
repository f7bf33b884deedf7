#pragma once
// The indicator's command-mode frames: the query, the reply check and the reading a reply
// carries. Pure functions over the stored frame, so they are tested without a port.

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>

namespace indicator {

// The stored frame shared by both protocol modes: indices 0 to 30.
using RecvBuffer = std::array<std::uint8_t, 31>;

inline constexpr std::uint8_t kStx = 0x02;
inline constexpr std::uint8_t kEtx = 0x03;
inline constexpr std::int16_t kCommandFrameLen = 14;
inline constexpr std::int16_t kContinuousFrameLen = 24;

// The code of a hexadecimal digit of value 0 to 15: '0'-'9', then upper-case 'A'-'F'.
std::uint8_t hexDigitCode(int value);

// The six bytes of the query: start, "A", "B", the two check digits of "A" XOR "B", end.
std::array<std::uint8_t, 6> commandQuery();

// Scans one read into the stored frame. Bytes before the first start byte are skipped; the
// start byte is not stored; later bytes are stored from index 1 on until the first end byte
// (stored too). `changed` becomes true when a stored byte differed. Returns false when a
// byte would land past index 30; the bytes stored up to there stay.
bool scanCommandReply(RecvBuffer& buf, const QByteArray& chunk, bool& changed);

// True when indices 11 and 12 hold the check digits of the XOR of indices 1 to 10.
bool commandCheckPasses(const RecvBuffer& buf);

// The six weight digits at indices 4 to 9 as an integer, each byte counting its code minus
// 48, with the indicator's 16- and 32-bit arithmetic: nullopt where the thousands place
// leaves the 16-bit range (the byte at index 6 below 16 or above 80).
std::optional<std::int32_t> commandDigits(const RecvBuffer& buf);

// The weight display text "0", "0.0" … "0.0000" followed by "kg" for 0 to 4 decimals;
// nullopt for any other number of decimals.
std::optional<QString> weightText(double weight, int decimals);

// One chunk of the continuous mode scanned into the stored frame: a start byte (re)starts the
// frame at index 0 and forgets earlier differences; bytes before the first start byte are
// skipped; the first end byte after a start byte ends the scan. `stored` lists the bytes
// stored in order (the raw-frame line), `changed` whether the frame last started differed.
struct ContinuousScan {
    bool changed = false;
    QByteArray stored;
};
ContinuousScan scanContinuousChunk(RecvBuffer& buf, const QByteArray& chunk);

// The reading a continuous-mode frame carries: the six digits at indices 2 to 7, the
// decimal places at 8, the sign at 1. nullopt when one of indices 2 to 8 is not an ASCII
// digit: such a frame carries no reading.
struct ContinuousReading {
    std::int32_t counts = 0;
    int decimals = 0;
    bool negative = false;
};
std::optional<ContinuousReading> continuousReading(const RecvBuffer& buf);

} // namespace indicator
