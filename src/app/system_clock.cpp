#include "app/program_clock.h"

namespace app {

std::unique_ptr<platform::Clock> programClock(const QString&) {
    return std::make_unique<platform::SystemClock>();
}

} // namespace app
