#pragma once

// A deterministic sequence of indicator frames that imitates traffic over a weighbridge: a truck
// drives on (rising readings), settles (the same reading several times), drives off (falling
// readings), and the next one follows. Everything is drawn from one seeded generator, so the same
// options give the same frames on every machine.

#include "indicator_sim/frames.h"

#include <QByteArray>
#include <QList>

#include <cstdint>
#include <optional>
#include <random>

namespace indicator_sim {

enum class FrameKind {
    CommandReply, // 14-byte reply frames with their check
    Continuous,   // continuous-mode frames, no check
};

struct ScriptOptions {
    std::uint64_t seed = 1;
    FrameKind kind = FrameKind::CommandReply;
    int decimals = 0;              // 0..4
    bool negative = false;         // the empty scale sometimes reads slightly negative
    bool zero = false;             // the empty scale reads zero between trucks
    double badCheckPercent = 0;    // share of reply frames sent with a failing check
    double noisePercent = 0;       // share of frames preceded by a burst of random bytes
    std::optional<double> fixedKg; // every frame carries this weight instead of the traffic
};

// One piece of output: either a frame or a burst of line noise.
struct ScriptFrame {
    QByteArray bytes;
    Reading reading;        // for a frame: the reading the indicator meant to send
    bool corrupted = false; // a reply frame whose check fails at the receiver
    bool noise = false;     // random bytes, not a frame
};

class WeightScript {
public:
    // Fails (see valid()) for decimals outside 0..4 or a fixed weight out of range.
    explicit WeightScript(const ScriptOptions& options);

    bool valid() const { return m_valid; }
    // The next piece of output. A noise burst, when drawn, comes before the frame it precedes.
    ScriptFrame next();
    // A burst of `length` random bytes from the same generator.
    QByteArray randomBytes(int length);

private:
    std::int64_t uniform(std::int64_t low, std::int64_t high); // inclusive
    bool chance(double percent);
    std::int64_t nextCounts();
    void planTruck();
    ScriptFrame frameFor(std::int64_t signedCounts);

    ScriptOptions m_options;
    bool m_valid = true;
    std::mt19937_64 m_rng;
    std::int64_t m_range = 0;       // largest reading in counts of the last place
    std::int64_t m_fixedCounts = 0; // signed, for a fixed weight
    QList<std::int64_t> m_planned;  // readings still to come, in counts
    qsizetype m_plannedPos = 0;
    std::optional<ScriptFrame> m_pendingFrame; // a frame held back behind its noise burst
};

} // namespace indicator_sim
