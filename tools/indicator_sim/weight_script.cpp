#include "indicator_sim/weight_script.h"

#include <algorithm>
#include <cmath>

namespace indicator_sim {

namespace {

constexpr std::int64_t kScaleCapacityKg = 60000;
constexpr int kMaxNoiseBurst = 8;

std::int64_t powerOfTen(int exponent) {
    std::int64_t p = 1;
    for (int i = 0; i < exponent; ++i)
        p *= 10;
    return p;
}

} // namespace

WeightScript::WeightScript(const ScriptOptions& options) : m_options(options), m_rng(options.seed) {
    if (options.decimals < 0 || options.decimals > kMaxDecimals) {
        m_valid = false;
        return;
    }
    m_range = std::min(kScaleCapacityKg * powerOfTen(options.decimals), kMaxCounts);
    if (options.fixedKg) {
        const auto r = readingFor(*options.fixedKg, options.decimals);
        if (!r) {
            m_valid = false;
            return;
        }
        m_fixedCounts = r->negative() ? -r->counts() : r->counts();
    }
}

std::int64_t WeightScript::uniform(std::int64_t low, std::int64_t high) {
    // The raw generator output is fixed by the standard; the library's distributions are not.
    const auto span = static_cast<std::uint64_t>(high - low) + 1;
    return low + static_cast<std::int64_t>(m_rng() % span);
}

bool WeightScript::chance(double percent) {
    if (percent <= 0)
        return false;
    const double u = static_cast<double>(m_rng() >> 11) / 9007199254740992.0; // [0, 1)
    return u * 100.0 < percent;
}

void WeightScript::planTruck() {
    m_planned.clear();
    m_plannedPos = 0;

    // The indicator's division: a power of ten giving a few thousand steps over the capacity.
    std::int64_t division = 1;
    while (division * 10 <= m_range / 5000)
        division *= 10;
    const auto steps = [&](std::int64_t counts) {
        return std::max<std::int64_t>(1, counts / division);
    };

    // Empty scale between trucks: a slight negative drift and/or a settled zero.
    if (m_options.negative && chance(50)) {
        const std::int64_t drift = -uniform(1, 5) * division;
        for (std::int64_t i = uniform(1, 3); i > 0; --i)
            m_planned.append(drift);
    }
    if (m_options.zero) {
        for (std::int64_t i = uniform(2, 4); i > 0; --i)
            m_planned.append(0);
    }

    const std::int64_t target = uniform(steps(m_range / 20), steps(m_range * 19 / 20)) * division;

    // Driving on: strictly rising readings below the target.
    const std::int64_t rising = uniform(3, 7);
    std::int64_t last = 0;
    for (std::int64_t k = 1; k <= rising; ++k) {
        const std::int64_t base = target * k / (rising + 1);
        const std::int64_t jitter =
            uniform(-target / (4 * (rising + 1)), target / (4 * (rising + 1)));
        const std::int64_t v = (base + jitter) / division * division;
        if (v <= last || v >= target)
            continue;
        m_planned.append(v);
        last = v;
    }

    // Settling: the same reading several times.
    for (std::int64_t i = uniform(3, 8); i > 0; --i)
        m_planned.append(target);

    // Driving off: strictly falling readings, ending just above zero.
    const std::int64_t falling = uniform(2, 5);
    last = target;
    for (std::int64_t k = falling; k >= 1; --k) {
        std::int64_t v = target * k / (falling + 1) / division * division;
        if (v >= last || v <= 0)
            continue;
        m_planned.append(v);
        last = v;
    }
    const std::int64_t tail = uniform(1, std::max<std::int64_t>(1, steps(last) / 4)) * division;
    if (tail < last)
        m_planned.append(tail);
}

std::int64_t WeightScript::nextCounts() {
    if (m_options.fixedKg)
        return m_fixedCounts;
    if (m_plannedPos >= m_planned.size())
        planTruck();
    return m_planned[m_plannedPos++];
}

ScriptFrame WeightScript::frameFor(std::int64_t signedCounts) {
    ScriptFrame f;
    f.reading = *readingForCounts(signedCounts, m_options.decimals);
    if (m_options.fixedKg && *m_options.fixedKg < 0)
        f.reading.sign = '-'; // a fixed "-0" keeps its sign
    if (m_options.kind == FrameKind::Continuous) {
        f.bytes = continuousFrame(f.reading);
        return f;
    }
    Corruption corruption = Corruption::None;
    if (chance(m_options.badCheckPercent)) {
        corruption = static_cast<Corruption>(uniform(1, 3));
        // Lower-case digits spoil only a check that has a letter in it.
        if (corruption == Corruption::LowerCaseCheck &&
            replyCheckPasses(commandReply(f.reading, {'A', 'B', corruption})))
            corruption = Corruption::WrongCheck;
    }
    f.bytes = commandReply(f.reading, {'A', 'B', corruption});
    f.corrupted = !replyCheckPasses(f.bytes);
    return f;
}

QByteArray WeightScript::randomBytes(int length) {
    QByteArray bytes(length, '\0');
    for (char& b : bytes)
        b = static_cast<char>(m_rng() & 0xFF);
    return bytes;
}

ScriptFrame WeightScript::next() {
    if (m_pendingFrame) {
        ScriptFrame f = std::move(*m_pendingFrame);
        m_pendingFrame.reset();
        return f;
    }
    ScriptFrame f = frameFor(nextCounts());
    if (!chance(m_options.noisePercent))
        return f;
    m_pendingFrame = std::move(f);
    ScriptFrame noise;
    noise.noise = true;
    noise.bytes = randomBytes(static_cast<int>(uniform(1, kMaxNoiseBurst)));
    return noise;
}

} // namespace indicator_sim
