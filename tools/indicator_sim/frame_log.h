#pragma once

// The simulator's log of what it put on the line: one line per frame or noise burst,
//
//   <sequence number> TAB <bytes as hex, blank-separated> TAB <weight> TAB <status>
//
// with the weight as the indicator shows it ("85.6", "-1.25"; "none" for noise) and the status
// "ok" (a frame the receiver can accept), "bad-check" (a reply frame whose check fails) or
// "noise". Lines starting with '#' are comments. Later proofs read the log back to match the
// program's saved rows against the frames it was sent.

#include "indicator_sim/weight_script.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace indicator_sim {

struct LogEntry {
    qint64 sequence = 0;
    QByteArray bytes;
    QString weight; // empty for noise
    bool corrupted = false;
    bool noise = false;
};

QString formatLogLine(qint64 sequence, const ScriptFrame& frame);
// Empty for a comment, a blank line or a malformed line.
std::optional<LogEntry> parseLogLine(QStringView line);

} // namespace indicator_sim
