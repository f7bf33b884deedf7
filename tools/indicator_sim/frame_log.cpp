#include "indicator_sim/frame_log.h"

#include <QList>
#include <QStringView>

namespace indicator_sim {

namespace {

const QString kOk = QStringLiteral("ok");
const QString kBadCheck = QStringLiteral("bad-check");
const QString kNoise = QStringLiteral("noise");
const QString kNone = QStringLiteral("none");

} // namespace

QString formatLogLine(qint64 sequence, const ScriptFrame& frame) {
    const QString status = frame.noise ? kNoise : frame.corrupted ? kBadCheck : kOk;
    const QString weight = frame.noise ? kNone : frame.reading.text();
    return QStringLiteral("%1\t%2\t%3\t%4")
        .arg(sequence)
        .arg(hexBytes(frame.bytes), weight, status);
}

std::optional<LogEntry> parseLogLine(QStringView line) {
    line = line.trimmed();
    if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
        return std::nullopt;
    const auto fields = line.split(QLatin1Char('\t'));
    if (fields.size() != 4)
        return std::nullopt;
    LogEntry e;
    bool ok = false;
    e.sequence = fields[0].toLongLong(&ok);
    if (!ok)
        return std::nullopt;
    for (const auto hex : fields[1].split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const uint v = hex.toUInt(&ok, 16);
        if (!ok || hex.size() != 2)
            return std::nullopt;
        e.bytes.append(static_cast<char>(v));
    }
    const QStringView status = fields[3];
    e.noise = status == kNoise;
    e.corrupted = status == kBadCheck;
    if (!e.noise && !e.corrupted && status != kOk)
        return std::nullopt;
    if (!e.noise)
        e.weight = fields[2].toString();
    return e;
}

} // namespace indicator_sim
