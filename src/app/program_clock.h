#pragma once
// The clock the program runs on: the host's. The test build of the program has its own.

#include "platform/clock.h"

#include <memory>

namespace app {

std::unique_ptr<platform::Clock> programClock(const QString& programFolder);

} // namespace app
