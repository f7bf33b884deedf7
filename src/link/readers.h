#pragma once
// The indicator's frames turned into what the window shows: one read of the line (a chunk
// of bytes) scanned into the stored frame, and the outcome for the weight, the big display,
// its colour and the status line. No widgets: the window's read procedures apply the
// outcome to their controls.

#include "link/frame.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>

namespace indicator {

// Text colours of the big weight display, 24-bit with red in the low byte: red while no
// usable reading arrives, green while correct frames come in.
inline constexpr std::int32_t kDisplayRed = 255;
inline constexpr std::int32_t kDisplayGreen = 1376020; // red 20, green 255, blue 20

// The display's text while there is no usable reading.
QString noReadingText();

struct ReadOutcome {
    bool changed = false;               // the scanned frame differed from the stored one
    std::optional<double> weight;       // the new weight, when the frame carried one
    std::optional<QString> display;     // the display's new text; nullopt: it keeps its text
    std::int32_t color = kDisplayGreen; // the display's colour afterwards
    std::optional<QString> status;      // the status line's new text, if any
};

// Command mode: every chunk is scanned as a 14-byte reply frame. A frame whose check fails,
// that runs past the stored frame or whose digits leave the indicator's range gives the
// red "Load..."; a correct frame turns the display green, and a changed one also carries
// the weight, its text and "数据接收正常！".
class CommandReader {
public:
    explicit CommandReader(RecvBuffer& frame) : m_frame(frame) {}
    // `display` is the display's text now: a reply whose decimal places no text can show
    // keeps it (its sign still goes in front).
    ReadOutcome read(const QByteArray& chunk, const QString& display) const;

private:
    RecvBuffer& m_frame;
};

// Continuous mode: the first frame of each chunk. The display turns green after every
// read; a changed frame that carries a reading gives the weight and its text (`reading`),
// one that carries none changes nothing and counts as unchanged.
struct ContinuousOutcome : ReadOutcome {
    bool reading = false;
    QByteArray stored; // the bytes stored, in order, for the raw-frame line
};

class ContinuousReader {
public:
    explicit ContinuousReader(RecvBuffer& frame) : m_frame(frame) {}
    ContinuousOutcome read(const QByteArray& chunk) const;

private:
    RecvBuffer& m_frame;
};

} // namespace indicator
