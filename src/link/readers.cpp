#include "link/readers.h"

#include <cmath>

namespace indicator {

QString noReadingText() {
    return QStringLiteral("Load...");
}

namespace {

ReadOutcome noReading(bool changed) {
    ReadOutcome o;
    o.changed = changed;
    o.display = noReadingText();
    o.color = kDisplayRed;
    return o;
}

} // namespace

ReadOutcome CommandReader::read(const QByteArray& chunk, const QString& display) const {
    bool changed = false;
    if (!scanCommandReply(m_frame, chunk, changed) || !commandCheckPasses(m_frame))
        return noReading(changed);
    ReadOutcome o;
    o.changed = changed;
    if (changed) {
        const std::optional<std::int32_t> counts = commandDigits(m_frame);
        if (!counts)
            return noReading(changed);
        const int decimals = m_frame[10] - 48;
        o.weight = *counts / std::pow(10.0, decimals);
        o.display = weightText(*o.weight, decimals);
        if (m_frame[3] == '-')
            o.display = QLatin1Char('-') + o.display.value_or(display);
        o.status = QStringLiteral("数据接收正常！");
    }
    return o;
}

ContinuousOutcome ContinuousReader::read(const QByteArray& chunk) const {
    const ContinuousScan scan = scanContinuousChunk(m_frame, chunk);
    ContinuousOutcome o;
    o.stored = scan.stored;
    if (!scan.changed)
        return o;
    const std::optional<ContinuousReading> r = continuousReading(m_frame);
    if (!r)
        return o; // not a reading: the weight and everything shown from it stay
    o.changed = true;
    o.reading = true;
    o.weight = r->counts / std::pow(10.0, r->decimals);
    // A decimal-places digit outside 0 to 4 leaves the display's text as it was.
    if (const std::optional<QString> text = weightText(*o.weight, r->decimals))
        o.display = r->negative ? QLatin1Char('-') + *text : *text;
    return o;
}

} // namespace indicator
