#pragma once
// The program started again by itself: a process of its own, not a child this one waits for,
// which goes on running when this one ends.

#include <QStringList>

namespace platform {

// Starts this program's own executable with `arguments`, detached. False when the system
// could not start it.
bool startOwnProgram(const QStringList& arguments);

} // namespace platform
