#pragma once
// The one failure type of the platform pieces: an operation the outside world refused,
// with a reason an operator can read.

#include "platform/port_lock.h"

#include <stdexcept>

namespace platform {

class Failure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The port could not be opened because of a lock left by a program that no longer runs,
// which this account may not remove.
class StaleLockFailure : public Failure {
public:
    explicit StaleLockFailure(StaleLock lock)
        : Failure("the port is kept closed by a stale lock: " + lock.path.toStdString()),
          m_lock(std::move(lock)) {}
    const StaleLock& lock() const { return m_lock; }

private:
    StaleLock m_lock;
};

} // namespace platform
