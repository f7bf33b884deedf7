#pragma once
// The end of a run asked for by the system: SIGTERM when the desktop session ends or the
// machine shuts down, SIGHUP when its terminal goes, SIGINT, and the session manager's
// request to save before the session ends. Each runs `end` once on the UI thread, also
// while a modal box waits for an answer; `end` is expected not to return.

#include <functional>

class QObject;

namespace platform {

void endOnTermination(QObject* context, std::function<void()> end);

} // namespace platform
